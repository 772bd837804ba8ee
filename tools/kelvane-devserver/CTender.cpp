#include "CTender.h"

#include <ctime>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

namespace {

constexpr std::uintmax_t kMaxTenderFileBytes = 1 << 20;
constexpr int kMaxOpeners = 255; // a share number is one byte

bool IsNameCharacter(const char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_'
        || c == '-';
}

// Project and package numbers name files and folders, so they must not be able to leave them.
bool IsSafeName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name.front() == '.') {
        return false;
    }
    for (const char c : name) {
        if (!IsNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

bool ReadDigits(const std::string& text, const size_t at, const size_t count, int& value)
{
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

class CTenderReader
{
public:
    CTenderReader(const nlohmann::json& json, std::string& failure)
        : document(json)
        , error(failure)
    {
    }

    const nlohmann::json* Member(const char* name)
    {
        const auto found = document.find(name);
        if (found == document.end()) {
            Fail(name, "is missing");
            return nullptr;
        }
        return &*found;
    }

    bool Text(const char* name, std::string& value)
    {
        const nlohmann::json* member = Member(name);
        if (member == nullptr) {
            return false;
        }
        if (!member->is_string()) {
            return Fail(name, "must be a text");
        }
        value = member->get<std::string>();
        return true;
    }

    bool Name(const char* name, std::string& value)
    {
        if (!Text(name, value)) {
            return false;
        }
        return IsSafeName(value)
            || Fail(name, "must be 1 to 64 letters, digits, '.', '_' or '-', not starting with '.'");
    }

    bool Time(const char* name, std::int64_t& value)
    {
        std::string text;
        if (!Text(name, text)) {
            return false;
        }
        const std::optional<std::int64_t> seconds = ParseRfc3339(text);
        if (!seconds) {
            return Fail(name, "must be a time like 2026-12-08T09:30:00+08:00");
        }
        value = *seconds;
        return true;
    }

    bool Count(const char* name, int& value)
    {
        const nlohmann::json* member = Member(name);
        if (member == nullptr) {
            return false;
        }
        if (!member->is_number_integer() || member->get<long long>() < 1
            || member->get<long long>() > kMaxOpeners) {
            return Fail(name, "must be a whole number from 1 to 255");
        }
        value = member->get<int>();
        return true;
    }

    bool Packages(std::vector<std::string>& packages)
    {
        const nlohmann::json* member = Member("packages");
        if (member == nullptr) {
            return false;
        }
        if (!member->is_array()) {
            return Fail("packages", "must be an array of package numbers");
        }
        for (const nlohmann::json& package : *member) {
            if (!package.is_string() || !IsSafeName(package.get<std::string>())) {
                return Fail("packages", "must hold package numbers of letters, digits, '.', '_' or '-'");
            }
            packages.push_back(package.get<std::string>());
        }
        return true;
    }

    bool Fail(const char* name, const char* problem)
    {
        error = std::string("member \"") + name + "\" " + problem;
        return false;
    }

private:
    const nlohmann::json& document;
    std::string& error;
};

} // namespace

std::filesystem::path CTender::RulesFile() const
{
    return folder / "rules" / (project + ".xml");
}

std::optional<std::int64_t> ParseRfc3339(const std::string& text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() < 20 || !ReadDigits(text, 0, 4, year) || text[4] != '-' || !ReadDigits(text, 5, 2, month)
        || text[7] != '-' || !ReadDigits(text, 8, 2, day) || (text[10] != 'T' && text[10] != ' ')
        || !ReadDigits(text, 11, 2, hour) || text[13] != ':' || !ReadDigits(text, 14, 2, minute)
        || text[16] != ':' || !ReadDigits(text, 17, 2, second)) {
        return std::nullopt;
    }
    int offset = 0;
    if (text.size() == 20 && text[19] == 'Z') {
        offset = 0;
    } else if (text.size() == 25 && (text[19] == '+' || text[19] == '-') && text[22] == ':') {
        int offsetHours = 0, offsetMinutes = 0;
        if (!ReadDigits(text, 20, 2, offsetHours) || !ReadDigits(text, 23, 2, offsetMinutes)
            || offsetHours > 23 || offsetMinutes > 59) {
            return std::nullopt;
        }
        offset = (offsetHours * 60 + offsetMinutes) * 60 * (text[19] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    std::tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    const std::tm given = fields;
    const std::time_t seconds = timegm(&fields);
    // timegm normalises out-of-range fields; a date that moved was not a real one.
    if (fields.tm_year != given.tm_year || fields.tm_mon != given.tm_mon || fields.tm_mday != given.tm_mday
        || fields.tm_hour != given.tm_hour || fields.tm_min != given.tm_min
        || fields.tm_sec != given.tm_sec) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds) - offset;
}

std::optional<CTender> LoadTender(const std::filesystem::path& folder, std::string& error)
{
    const std::filesystem::path file = folder / "tender.json";
    std::error_code failure;
    const std::uintmax_t size = std::filesystem::file_size(file, failure);
    if (failure) {
        error = file.string() + ": " + failure.message();
        return std::nullopt;
    }
    if (size > kMaxTenderFileBytes) {
        error = file.string() + ": larger than 1 MiB";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = file.string() + ": cannot be read";
        return std::nullopt;
    }
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        error = file.string() + ": not valid JSON";
        return std::nullopt;
    }
    if (!document.is_object()) {
        error = file.string() + ": must hold one JSON object";
        return std::nullopt;
    }
    CTender tender;
    tender.folder = folder;
    std::string problem;
    CTenderReader reader(document, problem);
    const bool read = reader.Name("project", tender.project) && reader.Packages(tender.packages)
        && reader.Text("projectName", tender.projectName) && reader.Text("organisation", tender.organisation)
        && reader.Time("openingTime", tender.openingTime) && reader.Time("releaseTime", tender.releaseTime)
        && reader.Count("m", tender.m) && reader.Count("n", tender.n)
        && (tender.n <= tender.m || reader.Fail("n", "must not be above m"));
    if (!read) {
        error = file.string() + ": " + problem;
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(tender.RulesFile(), failure)) {
        error = tender.RulesFile().string() + ": the rules document is missing";
        return std::nullopt;
    }
    return tender;
}
