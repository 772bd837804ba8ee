#include "RulesSource.h"

#include "opening/CQuelvarLibrary.h"

#include <fstream>
#include <iterator>
#include <memory>

namespace kelvane::seal {

std::optional<std::vector<unsigned char>> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::vector<unsigned char>> FetchRules(
    const std::string& url, const std::string& project, std::string& error)
{
    CQuelvarLibrary lib;
    if (lib.Load() != 0) {
        error = "cannot load the rules library libquelvar.so";
        return std::nullopt;
    }
    CQuelvar* handle = nullptr;
    if (lib.CreateHandle(&handle) != 0) {
        error = "cannot create a rules handle";
        return std::nullopt;
    }
    const std::unique_ptr<CQuelvar, decltype(&QuelvarReleaseHandle)> owned(handle, lib.ReleaseHandle);
    if (lib.SetTargetUrl(handle, url.c_str()) != 0) {
        error = "not a URL: " + url;
        return std::nullopt;
    }
    const std::string query = "projectid=" + project;
    if (const int rc = lib.GetRules(handle, query.data(), static_cast<int>(query.size())); rc != 0) {
        error = "the rules of project " + project + " could not be fetched from " + url + " (code "
            + std::to_string(rc) + (rc == 26 ? ": not released yet)" : ")");
        return std::nullopt;
    }
    long length = 0;
    if (lib.GetFileLen(handle, &length) != 0 || length <= 0) {
        error = "the rules server sent an empty rules document";
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    if (lib.GetFileData(handle, reinterpret_cast<char*>(bytes.data())) != 0) {
        error = "cannot read the fetched rules document";
        return std::nullopt;
    }
    return bytes;
}

} // namespace kelvane::seal
