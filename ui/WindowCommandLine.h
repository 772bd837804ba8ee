// The window's command line: --help and --version are answered on standard output without a
// window (so without a display), and the bid files given are offered for import once the window
// is up (the desktop's "open with" and the file manager's double click).
#pragma once

#include <QStringList>
#include <optional>
#include <string>
#include <vector>

struct CWindowCommandLine
{
    // Set when the program must end without a window: 0 after --help or --version, 2 after a
    // usage error (written to standard error).
    std::optional<int> exitStatus;
    // The bid files to import, as absolute paths.
    std::vector<std::wstring> files;
};

// Reads arguments (the program's name first). With allowUnknownOptions, a command line that holds
// options of the window framework (-platform, -style, ...) is left for the framework to take them
// out, and gives no files; any other unknown option is a usage error.
CWindowCommandLine ParseWindowCommandLine(const QStringList& arguments, bool allowUnknownOptions);
