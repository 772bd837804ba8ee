// The opening's readers of outside input: the opening time of the rules server's document, the
// time-stamp authority's time text, and the embedded rules header of a bid's custom data.
#include "opening/CBidFileHolder.h"
#include "opening/OpeningTime.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto opening = ParseOpeningTime(text)) {
        // Whatever reads as a time must format back to the same instant.
        const std::wstring shown = FormatWallClock(*opening);
        if (ParseOpeningTime(std::string(shown.begin(), shown.end())) != opening)
            std::abort();
    }
    if (const auto stamped = ParseTimeStampTime(text); stamped && *stamped < kBeijingOffsetSeconds)
        std::abort();

    bool found = false;
    int length = -1;
    const int result = FindEmbeddedRules(data, size, found, length);
    if (result == 0 && found && (length < 0 || static_cast<size_t>(length) > size - 8))
        std::abort();
    if (result != 0 && found)
        std::abort();
    return 0;
}
