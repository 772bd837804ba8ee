#include "tests/support/TempDir.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

CTempDir::CTempDir()
{
    std::string pattern = (fs::temp_directory_path() / "kelvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path = pattern;
}

CTempDir::~CTempDir()
{
    std::error_code error;
    // Tests may leave folders without permissions behind; give them back so removal succeeds.
    for (auto it
         = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(path, error);
}

fs::path CTempDir::WriteFile(const fs::path& name, const std::string& bytes) const
{
    const fs::path file = path / name;
    WriteFileBytes(file, bytes);
    return file;
}

void WriteFileBytes(const fs::path& file, const std::string& bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

std::string ReadFileBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CScopedEnv::CScopedEnv(const char* variable, const char* value)
    : name(variable)
{
    const char* old = std::getenv(variable);
    hadValue = old != nullptr;
    if (hadValue) {
        oldValue = old;
    }
    if (value != nullptr) {
        setenv(variable, value, 1);
    } else {
        unsetenv(variable);
    }
}

CScopedEnv::~CScopedEnv()
{
    if (hadValue) {
        setenv(name.c_str(), oldValue.c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

CScopedZone::CScopedZone(const char* name)
{
    zone.emplace("TZ", name);
    tzset();
}

CScopedZone::~CScopedZone()
{
    zone.reset();
    tzset();
}
