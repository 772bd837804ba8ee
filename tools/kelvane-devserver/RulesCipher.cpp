#include "RulesCipher.h"

#include "OpenSslPtr.h"
#include "core/RulesKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

// Wipes the key material when it leaves scope, on every path.
struct CRulesSecret
{
    unsigned char key[rules::kRulesKeyLength];
    unsigned char iv[rules::kRulesIvLength];
    CRulesSecret()
    {
        rules::BuildRulesKey(key);
        rules::BuildRulesIv(iv);
    }
    ~CRulesSecret()
    {
        OPENSSL_cleanse(key, sizeof key);
        OPENSSL_cleanse(iv, sizeof iv);
    }
    CRulesSecret(const CRulesSecret&) = delete;
    CRulesSecret& operator=(const CRulesSecret&) = delete;
};

} // namespace

std::optional<std::string> EncryptRulesAnswer(const std::string_view bytes)
{
    const kelvane::CipherCtxPtr context(EVP_CIPHER_CTX_new());
    if (!context || bytes.size() > (1u << 30)) {
        return std::nullopt;
    }
    std::string encrypted;
    {
        const CRulesSecret secret;
        if (EVP_EncryptInit_ex(context.get(), EVP_sm4_cbc(), nullptr, secret.key, secret.iv) != 1) {
            return std::nullopt;
        }
    }
    encrypted.resize(bytes.size() + 16);
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), reinterpret_cast<unsigned char*>(encrypted.data()), &written,
            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))
        != 1) {
        return std::nullopt;
    }
    int last = 0;
    if (EVP_EncryptFinal_ex(
            context.get(), reinterpret_cast<unsigned char*>(encrypted.data()) + written, &last)
        != 1) {
        return std::nullopt;
    }
    encrypted.resize(static_cast<size_t>(written + last));
    std::string encoded((encrypted.size() + 2) / 3 * 4 + 1, '\0');
    const int encodedLength = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
        reinterpret_cast<const unsigned char*>(encrypted.data()), static_cast<int>(encrypted.size()));
    encoded.resize(static_cast<size_t>(encodedLength));
    return encoded;
}
