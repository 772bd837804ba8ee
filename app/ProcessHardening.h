// The programs hold PINs and unwrapped keys in memory while they work. A core dump would write
// them to disk, where any later reader of the dump finds them.
#pragma once

// Switches core dumps off for this process, first thing in main: the process is made not
// dumpable (which also keeps the user's other processes from attaching to it or reading its
// memory through /proc) and its core size limit becomes 0, soft and hard. The process still
// reads its own /proc/self entries. False when either could not be set; the program goes on.
bool DisableCoreDumps();
