#include "BidderKey.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/ui.h>
#include <optional>

namespace kelvane::seal {
namespace {

// Bytes that are wiped when they go.
struct CWipedBytes
{
    std::vector<char> bytes;
    ~CWipedBytes()
    {
        if (!bytes.empty()) {
            OPENSSL_cleanse(bytes.data(), bytes.size());
        }
    }
};

// The passphrase is obtained at most once per run, however often the decoders ask for it.
struct CPassphraseSource
{
    std::string keyFile;
    std::string passphraseFile;
    bool asked = false;
    bool failed = false;
    std::string failure;
    CWipedBytes value;

    bool Obtain()
    {
        if (asked) {
            return !failed;
        }
        asked = true;
        if (!passphraseFile.empty()) {
            std::ifstream in(passphraseFile, std::ios::binary);
            if (!in) {
                failure = "cannot read the passphrase file " + passphraseFile;
                failed = true;
                return false;
            }
            value.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            const auto end = std::find(value.bytes.begin(), value.bytes.end(), '\n');
            size_t length = static_cast<size_t>(end - value.bytes.begin());
            if (length > 0 && value.bytes[length - 1] == '\r') {
                --length;
            }
            std::fill(value.bytes.begin() + static_cast<std::ptrdiff_t>(length), value.bytes.end(), '\0');
            value.bytes.resize(length);
            return true;
        }
        // OpenSSL's prompt reads /dev/tty with echo off, or standard input when there is no
        // terminal, and gives the terminal back as it was when interrupted.
        value.bytes.assign(1024, '\0');
        const std::string prompt = "passphrase of " + keyFile + ": ";
        if (UI_UTIL_read_pw_string(
                value.bytes.data(), static_cast<int>(value.bytes.size()), prompt.c_str(), 0)
            != 0) {
            ERR_clear_error();
            failure = "no passphrase was given for " + keyFile;
            failed = true;
            return false;
        }
        value.bytes.resize(std::strlen(value.bytes.data()));
        return true;
    }
};

int PassphraseCallback(char* buffer, int size, int /*writing*/, void* user)
{
    auto* source = static_cast<CPassphraseSource*>(user);
    if (!source->Obtain() || source->value.bytes.size() > static_cast<size_t>(size)) {
        return -1;
    }
    std::memcpy(buffer, source->value.bytes.data(), source->value.bytes.size());
    return static_cast<int>(source->value.bytes.size());
}

} // namespace

CBidderKeyResult LoadBidderKey(const std::string& keyFile, const std::string& passphraseFile)
{
    CBidderKeyResult result;
    CWipedBytes bytes;
    {
        std::ifstream in(keyFile, std::ios::binary);
        if (!in) {
            result.error = "cannot read the private key " + keyFile;
            return result;
        }
        bytes.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    CPassphraseSource passphrase;
    passphrase.keyFile = keyFile;
    passphrase.passphraseFile = passphraseFile;

    EVP_PKEY* key = nullptr;
    const DecoderCtxPtr decoder(
        OSSL_DECODER_CTX_new_for_pkey(&key, nullptr, nullptr, nullptr, EVP_PKEY_KEYPAIR, nullptr, nullptr));
    if (!decoder
        || OSSL_DECODER_CTX_set_pem_password_cb(decoder.get(), PassphraseCallback, &passphrase) != 1) {
        ERR_clear_error();
        result.error = "out of memory";
        return result;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.bytes.data());
    size_t length = bytes.bytes.size();
    const bool decoded = OSSL_DECODER_from_data(decoder.get(), &data, &length) == 1 && key != nullptr;
    ERR_clear_error();
    result.key.reset(key);
    if (decoded) {
        return result;
    }
    result.key.reset();
    if (passphrase.failed) {
        result.error = passphrase.failure;
    } else if (passphrase.asked) {
        result.error = "wrong passphrase for the private key " + keyFile;
    } else {
        result.error = "cannot read the private key " + keyFile + " (PEM or DER)";
    }
    return result;
}

bool KeyBelongsTo(const EVP_PKEY* key, const X509* certificate)
{
    const EVP_PKEY* certified = X509_get0_pubkey(certificate);
    const bool equal = certified != nullptr && EVP_PKEY_eq(certified, key) == 1;
    ERR_clear_error();
    return equal;
}

} // namespace kelvane::seal
