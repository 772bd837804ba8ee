// The settings file reader over arbitrary bytes. Beyond not crashing, it checks the round trip
// that the settings accessor relies on: after a value is set, reading gives back that value.
#include "app/IniFile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view kEntries[][3] = {
        { "WorkingDir", "path", "/home/operator/BidFiles/" },
        { "common", "freespace ", "500MB" },
        { "LocalLog", "IsWriteLocalLog", "false" },
    };
    for (const auto& [section, key, value] : kEntries) {
        FindIniValue(content, section, key);
        const auto updated = SetIniValue(content, section, key, value);
        if (!updated || FindIniValue(*updated, section, key) != value) {
            std::abort();
        }
    }
    return 0;
}
