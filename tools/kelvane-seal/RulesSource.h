// Where kelvane-seal takes the tender's rules from: a file, byte for byte, or the rules server
// through the rules library, so that the embedded bytes are exactly those the opening will compare.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvane::seal {

// A whole file's bytes; nothing when it cannot be read.
std::optional<std::vector<unsigned char>> ReadFile(const std::string& path);

// The rules of project from the rules server at url, through libquelvar loaded at run time; on
// failure nothing, and error says why.
std::optional<std::vector<unsigned char>> FetchRules(
    const std::string& url, const std::string& project, std::string& error);

} // namespace kelvane::seal
