// The fixed key and initialisation vector of the rules documents. The rules server encrypts every
// rules document with them (SM4-CBC, PKCS#7 padding) and Quelvar decrypts with them, so both take
// them from here.
#pragma once

#include <cstddef>

namespace rules {

inline constexpr std::size_t kRulesKeyLength = 16;
inline constexpr std::size_t kRulesIvLength = 16;

// Fill the caller's storage byte by byte, so that neither value lies in the binary as one block.
// Callers wipe the storage with OPENSSL_cleanse once the cipher has been set up.
void BuildRulesKey(unsigned char (&key)[kRulesKeyLength]);
void BuildRulesIv(unsigned char (&iv)[kRulesIvLength]);

} // namespace rules
