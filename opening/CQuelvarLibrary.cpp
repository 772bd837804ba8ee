#include "opening/CQuelvarLibrary.h"

#include <dlfcn.h>
#include <filesystem>
#include <system_error>

namespace {

// The versioned name: an installation holds it, the unversioned link only comes for development.
constexpr char kLibraryName[] = "libquelvar.so.1";

// <folder of the program>/../lib/libquelvar.so.1, where the build and an installation put it.
std::string LibraryBesideProgram()
{
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return (program.parent_path() / ".." / "lib" / kLibraryName).lexically_normal().string();
}

template <typename Function> bool Bind(void* module, const char* name, Function& function, std::string& error)
{
    function = reinterpret_cast<Function>(dlsym(module, name));
    if (function == nullptr && error.empty())
        error = std::string(kLibraryName) + " lacks the export " + name;
    return function != nullptr;
}

} // namespace

CQuelvarLibrary& CQuelvarLibrary::Instance()
{
    static CQuelvarLibrary library;
    library.Load();
    return library;
}

CQuelvarLibrary::~CQuelvarLibrary()
{
    const std::lock_guard lock(mutex);
    UnbindLocked();
}

int CQuelvarLibrary::Load()
{
    const std::lock_guard lock(mutex);
    if (module != nullptr)
        return 0;
    if (attempted)
        return -1;
    attempted = true;
    const std::string beside = LibraryBesideProgram();
    std::error_code ec;
    if (!beside.empty() && std::filesystem::exists(beside, ec))
        return LoadLocked(beside);
    return LoadLocked(kLibraryName);
}

int CQuelvarLibrary::LoadFrom(const std::string& path)
{
    const std::lock_guard lock(mutex);
    if (module != nullptr)
        return loadedPath == path ? 0 : -1;
    attempted = true;
    return LoadLocked(path);
}

int CQuelvarLibrary::LoadLocked(const std::string& path)
{
    error.clear();
    dlerror();
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        error = "the rules library " + path
            + " could not be loaded: " + (reason != nullptr ? reason : "unknown reason");
        return -1;
    }
    if (BindLocked() != 0) {
        UnbindLocked();
        return -1;
    }
    loadedPath = path;
    return 0;
}

int CQuelvarLibrary::BindLocked()
{
    bool bound = true;
    bound &= Bind(module, "QuelvarCreateHandle", CreateHandle, error);
    bound &= Bind(module, "QuelvarReleaseHandle", ReleaseHandle, error);
    bound &= Bind(module, "QuelvarSetTargetUrl", SetTargetUrl, error);
    bound &= Bind(module, "QuelvarSetProxy", SetProxy, error);
    bound &= Bind(module, "QuelvarGetRules", GetRules, error);
    bound &= Bind(module, "QuelvarGetTotalNum", GetTotalNum, error);
    bound &= Bind(module, "QuelvarGetMinNum", GetMinNum, error);
    bound &= Bind(module, "QuelvarGetCertCount", GetCertCount, error);
    bound &= Bind(module, "QuelvarGetCertLen", GetCertLen, error);
    bound &= Bind(module, "QuelvarGetCert", GetCert, error);
    bound &= Bind(module, "QuelvarGetOpenTime", GetOpenTime, error);
    bound &= Bind(module, "QuelvarGetOpenOrg", GetOpenOrg, error);
    bound &= Bind(module, "QuelvarGetProjectName", GetProjectName, error);
    bound &= Bind(module, "QuelvarGetEncAlgo", GetEncAlgo, error);
    bound &= Bind(module, "QuelvarGetHashAlgo", GetHashAlgo, error);
    bound &= Bind(module, "QuelvarGetFileLen", GetFileLen, error);
    bound &= Bind(module, "QuelvarGetFileData", GetFileData, error);
    bound &= Bind(module, "QuelvarCompareFile", CompareFile, error);
    return bound ? 0 : -1;
}

void CQuelvarLibrary::UnbindLocked()
{
    CreateHandle = nullptr;
    ReleaseHandle = nullptr;
    SetTargetUrl = nullptr;
    SetProxy = nullptr;
    GetRules = nullptr;
    GetTotalNum = nullptr;
    GetMinNum = nullptr;
    GetCertCount = nullptr;
    GetCertLen = nullptr;
    GetCert = nullptr;
    GetOpenTime = nullptr;
    GetOpenOrg = nullptr;
    GetProjectName = nullptr;
    GetEncAlgo = nullptr;
    GetHashAlgo = nullptr;
    GetFileLen = nullptr;
    GetFileData = nullptr;
    CompareFile = nullptr;
    if (module != nullptr)
        dlclose(module);
    module = nullptr;
}

bool CQuelvarLibrary::IsLoaded() const
{
    const std::lock_guard lock(mutex);
    return module != nullptr;
}

std::string CQuelvarLibrary::Error() const
{
    const std::lock_guard lock(mutex);
    return error;
}

std::string CQuelvarLibrary::LoadedPath() const
{
    const std::lock_guard lock(mutex);
    return loadedPath;
}
