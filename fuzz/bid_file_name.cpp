// Bid-file names as they arrive from bidders' media and the bid-server folder, through the import
// dialogs' name rule and OK checks. Beyond not crashing: a name that gives numbers gives pieces
// without "_" (they are pieces of a split on it), and the OK checks answer trimmed numbers.
#include "app/TextConversion.h"
#include "workspace/ImportInput.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::wstring path = Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
    std::wstring project = L"unchanged";
    std::wstring package = L"unchanged";
    if (ParseBidFileName(path, project, package)) {
        if (project.find(L'_') != std::wstring::npos || package.find(L'_') != std::wstring::npos)
            std::abort();
    } else if (project != L"unchanged" || package != L"unchanged") {
        std::abort();
    }
    CheckImportInput(project, package, 1);
    if (project != TrimBlanks(project) || package != TrimBlanks(package))
        std::abort();
    return 0;
}
