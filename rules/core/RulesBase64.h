// Base64 decoding as the rules download does it.
#pragma once

#include <string>
#include <string_view>

namespace rules {

// Decodes text with the standard alphabet (A-Z, a-z, 0-9, "+", "/"). Decoding stops at the first
// "=" or any other character outside the alphabet, so a line break ends the data there; what
// follows is ignored. A last group of 2 or 3 characters gives 1 or 2 bytes, a single one nothing.
// The result may hold zero bytes. Throws std::bad_alloc only.
std::string DecodeRulesBase64(std::string_view text);

} // namespace rules
