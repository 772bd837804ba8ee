// The log service's reading of a submitted form body: any bytes must give a map or a refusal.
#include "CLogService.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto fields = ParseFormBody(std::string_view(reinterpret_cast<const char*>(data), size));
    if (fields) {
        for (const auto& [name, value] : *fields) {
            if (name.empty())
                __builtin_trap();
        }
    }
    return 0;
}
