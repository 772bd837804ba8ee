// The rules-file library Quelvar, loaded at run time and bound by name.
//
// The programs do not link libquelvar: they load it at run time, beside the program first
// (<folder of the program>/../lib/libquelvar.so.1) and then by its plain name through the loader's
// search path, and bind its 18 exports. The workstation loads it once at start (Instance());
// kelvane-seal only when it fetches rules. A missing library or export is one clear error that
// names it; the front ends show it at start, and every rules fetch then fails.
#pragma once

#include "Quelvar.h"

#include <mutex>
#include <string>

class CQuelvarLibrary
{
public:
    // The process's one binding. It loads the library on first use.
    static CQuelvarLibrary& Instance();

    CQuelvarLibrary() = default;
    ~CQuelvarLibrary();
    CQuelvarLibrary(const CQuelvarLibrary&) = delete;
    CQuelvarLibrary& operator=(const CQuelvarLibrary&) = delete;

    // Loads the library from the default places; 0 when it is bound (also when it was before),
    // -1 otherwise with the reason in Error(). A failure is final for this object: the loader is
    // not asked again on every fetch.
    int Load();
    // Loads the library from path only.
    int LoadFrom(const std::string& path);

    bool IsLoaded() const;
    // The reason the library is not bound, naming the file or the export; empty when it is.
    std::string Error() const;
    // The file that was loaded.
    std::string LoadedPath() const;

    // The exports, null until bound.
    decltype(&QuelvarCreateHandle) CreateHandle = nullptr;
    decltype(&QuelvarReleaseHandle) ReleaseHandle = nullptr;
    decltype(&QuelvarSetTargetUrl) SetTargetUrl = nullptr;
    decltype(&QuelvarSetProxy) SetProxy = nullptr;
    decltype(&QuelvarGetRules) GetRules = nullptr;
    decltype(&QuelvarGetTotalNum) GetTotalNum = nullptr;
    decltype(&QuelvarGetMinNum) GetMinNum = nullptr;
    decltype(&QuelvarGetCertCount) GetCertCount = nullptr;
    decltype(&QuelvarGetCertLen) GetCertLen = nullptr;
    decltype(&QuelvarGetCert) GetCert = nullptr;
    decltype(&QuelvarGetOpenTime) GetOpenTime = nullptr;
    decltype(&QuelvarGetOpenOrg) GetOpenOrg = nullptr;
    decltype(&QuelvarGetProjectName) GetProjectName = nullptr;
    decltype(&QuelvarGetEncAlgo) GetEncAlgo = nullptr;
    decltype(&QuelvarGetHashAlgo) GetHashAlgo = nullptr;
    decltype(&QuelvarGetFileLen) GetFileLen = nullptr;
    decltype(&QuelvarGetFileData) GetFileData = nullptr;
    decltype(&QuelvarCompareFile) CompareFile = nullptr;

private:
    int LoadLocked(const std::string& path);
    int BindLocked();
    void UnbindLocked();

    mutable std::mutex mutex;
    void* module = nullptr;
    bool attempted = false;
    std::string error;
    std::string loadedPath;
};
