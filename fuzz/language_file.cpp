// The language-file reader over arbitrary bytes, and the lookup the catalogue makes after it.
#include "services/language/LanguageFile.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    LanguageTable table;
    ParseLanguageFile(std::string_view(reinterpret_cast<const char*>(data), size), table);
    for (const char* key : { "title", "try_goon", "" }) {
        table.find(key);
    }
    return 0;
}
