// What a killed import or opening leaves behind: an import's temporary copy
// (<package>/.kelvane-import-XXXXXX) and an opening's staging folder (<package>/Open/.kvopen-XXXXXX),
// both partial and under names no bid has. The programs remove them at start; a temporary that
// a running program still writes is locked by it and left alone.
#pragma once

#include <string>

// Removes the leftovers in every package folder below workingDir (two levels: project, package),
// each named in the local log. Returns how many were removed.
int RemoveCrashLeftovers(const std::wstring& workingDir);
