#include "QuarnJson.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// An item is a JSON value of its own until an object adopts it; adopting moves the value into
// the object's tree and frees the wrapper. ordered_json keeps members in the order they were added.
struct quarn_json
{
    nlohmann::ordered_json value;
};

namespace {

std::string_view Bytes(const char* text, int length)
{
    return length < 0 ? std::string_view(text) : std::string_view(text, static_cast<size_t>(length));
}

bool IsValidUtf8(std::string_view text)
{
    try {
        // dump() checks the encoding of every string it writes and throws on invalid UTF-8.
        (void)nlohmann::json(std::string(text)).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

quarn_json* NewItem(nlohmann::ordered_json value)
{
    return new (std::nothrow) quarn_json { std::move(value) };
}

} // namespace

extern "C" {

quarn_json* quarn_json_newobject(void)
{
    return NewItem(nlohmann::ordered_json::object());
}

quarn_json* quarn_json_newnumber(double value)
{
    if (!std::isfinite(value))
        return nullptr;
    // A record type of 1 must read "1": keep whole numbers integral when they fit.
    if (std::trunc(value) == value && value >= -9.2e18 && value <= 9.2e18)
        return NewItem(static_cast<int64_t>(value));
    return NewItem(value);
}

quarn_json* quarn_json_newstring(const char* utf8, int length)
{
    if (!utf8)
        return nullptr;
    const std::string_view bytes = Bytes(utf8, length);
    if (!IsValidUtf8(bytes))
        return nullptr;
    try {
        return NewItem(std::string(bytes));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int quarn_json_addobjectitem(quarn_json* object, const char* name, int nameLength, quarn_json* item)
{
    if (!object || !name || !item || object == item || !object->value.is_object())
        return 0;
    const std::string key(Bytes(name, nameLength));
    if (!IsValidUtf8(key) || object->value.contains(key))
        return 0;
    try {
        object->value[key] = std::move(item->value);
    } catch (const std::exception&) {
        return 0;
    }
    std::unique_ptr<quarn_json> adopted(item);
    return 1;
}

int quarn_json_encode(const quarn_json* object, unsigned int options, char** text, int* length)
{
    if (!object || !text || !length)
        return 0;
    try {
        const int indent = (options & QUARN_JSON_COMPACT) ? -1 : 2;
        const bool asciiOnly = !(options & QUARN_JSON_UTF8);
        const std::string encoded = object->value.dump(indent, ' ', asciiOnly);
        if (encoded.size() > static_cast<size_t>(INT32_MAX - 1))
            return 0;
        auto buffer = std::make_unique<char[]>(encoded.size() + 1);
        std::memcpy(buffer.get(), encoded.c_str(), encoded.size() + 1);
        *text = buffer.release();
        *length = static_cast<int>(encoded.size());
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

void quarn_json_free(quarn_json* item)
{
    std::unique_ptr<quarn_json> owned(item);
}

void quarn_json_freetext(char* text)
{
    std::unique_ptr<char[]> owned(text);
}

} // extern "C"
