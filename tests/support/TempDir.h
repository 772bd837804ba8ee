// The tests' one temporary folder: fresh under the system's temporary folder, removed with
// everything in it at the end (folders a test left without permissions included).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return path; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path / name; }

    // Writes bytes to a file below the folder, creating its folders; returns the file's path.
    std::filesystem::path WriteFile(const std::filesystem::path& name, const std::string& bytes) const;

private:
    std::filesystem::path path;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& file);
// Writes a whole file, creating its folders; throws std::runtime_error when it cannot.
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

// Sets (or, with nullptr, unsets) an environment variable for the life of the object.
class CScopedEnv
{
public:
    CScopedEnv(const char* name, const char* value);
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string name;
    bool hadValue;
    std::string oldValue;
};

// Sets TZ for the life of the object, with the C library's zone following at once, so that a
// test can show that the local zone does not matter.
class CScopedZone
{
public:
    explicit CScopedZone(const char* zone);
    ~CScopedZone();

private:
    std::optional<CScopedEnv> zone;
};
