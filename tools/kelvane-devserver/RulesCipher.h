// The rules server's side of the rules cipher.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Encrypts bytes with SM4-CBC, PKCS#7 padding and the rules key and IV, and encodes the result
// as Base64 on one line: a line break would end the data for the rules download. Nothing on an
// OpenSSL failure.
std::optional<std::string> EncryptRulesAnswer(std::string_view bytes);
