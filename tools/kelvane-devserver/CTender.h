// One tender of a tender folder, read from its tender.json.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// tender.json is one JSON object with these members, all required:
//
//   "project"       text: the project number, as bidders and the rules request give it. Letters,
//                   digits, ".", "_" and "-", at most 64, not starting with "." (it names files).
//   "packages"      array of texts: the package numbers, same characters as the project.
//   "projectName"   text: the project name, as in the rules document.
//   "organisation"  text: the opening organisation, as in the rules document.
//   "openingTime"   text: the opening time, RFC 3339 with an offset, e.g.
//                   "2026-12-08T09:30:00+08:00".
//   "releaseTime"   text: from this moment on the rules server hands out the rules; before it,
//                   it answers with the refusal. Same form as openingTime.
//   "m", "n"        integers: openers in all and openers who must take part, 1 <= n <= m <= 255.
//
// Other members are ignored. The rules document itself lies beside it in rules/<project>.xml.
struct CTender
{
    std::filesystem::path folder;
    std::string project;
    std::vector<std::string> packages;
    std::string projectName;
    std::string organisation;
    std::int64_t openingTime = 0; // seconds since 1970-01-01 UTC
    std::int64_t releaseTime = 0;
    int m = 0;
    int n = 0;

    std::filesystem::path RulesFile() const;
};

// Reads folder/tender.json as untrusted input and checks that the rules document exists. On
// failure returns nothing and puts the reason, naming the file and the member, into error.
std::optional<CTender> LoadTender(const std::filesystem::path& folder, std::string& error);

// Parses "YYYY-MM-DDThh:mm:ss" followed by "Z" or "+hh:mm"/"-hh:mm" into seconds since
// 1970-01-01 UTC. A blank may stand for the "T".
std::optional<std::int64_t> ParseRfc3339(const std::string& text);
