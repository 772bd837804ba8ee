// The software device: hashes, the SM4 cipher and Base64.
#include "PkiHandles.h"
#include "PkiPtr.h"
#include "QuarnPKI.h"

#include <array>
#include <cstring>
#include <openssl/crypto.h>

using namespace quarnpki;

namespace {

constexpr const char* kPseudoSerial = "pseudo";

class CHashHandle final : public CHandle
{
public:
    CHashHandle()
        : CHandle(HandleKind::Hash)
        , ctx(EVP_MD_CTX_new())
    {
    }

    MdCtxPtr ctx;
    bool finished = false;
};

class CCipherHandle final : public CHandle
{
public:
    CCipherHandle()
        : CHandle(HandleKind::Cipher)
        , ctx(EVP_CIPHER_CTX_new())
    {
    }
    ~CCipherHandle() override
    {
        OPENSSL_cleanse(key.data(), key.size());
        OPENSSL_cleanse(iv.data(), iv.size());
    }

    CipherCtxPtr ctx;
    std::array<unsigned char, 16> key {};
    std::array<unsigned char, 16> iv {};
    bool encrypt = false;
    bool padding = true;
    bool started = false;
    bool finished = false;
};

class CBase64Handle final : public CHandle
{
public:
    CBase64Handle(bool encoding, bool singleLine)
        : CHandle(HandleKind::Base64)
        , encode(encoding)
        , oneLine(singleLine)
    {
    }

    const bool encode;
    const bool oneLine;
    std::string pending; // bytes (encoding) or characters (decoding) not yet a whole group
    size_t lineUsed = 0; // characters on the current output line
    int padding = 0; // "=" seen so far (decoding)
    bool closed = false; // a padded group ended the text (decoding)
    bool finished = false;
};

constexpr size_t kLineLength = 64;

// Encodes whole 3-byte groups of `in`, keeping the rest for later.
std::string EncodeGroups(CBase64Handle& b64, const unsigned char* in, size_t length, bool last)
{
    b64.pending.append(reinterpret_cast<const char*>(in), length);
    const size_t whole = last ? b64.pending.size() : b64.pending.size() / 3 * 3;
    std::string encoded(4 * ((whole + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
        reinterpret_cast<const unsigned char*>(b64.pending.data()), static_cast<int>(whole));
    encoded.resize(static_cast<size_t>(n));
    b64.pending.erase(0, whole);
    if (b64.oneLine) {
        return encoded;
    }
    std::string lines;
    for (const char c : encoded) {
        lines.push_back(c);
        if (++b64.lineUsed == kLineLength) {
            lines.push_back('\n');
            b64.lineUsed = 0;
        }
    }
    if (last && b64.lineUsed > 0) {
        lines.push_back('\n');
        b64.lineUsed = 0;
    }
    return lines;
}

// Decodes whole 4-character groups; blanks and line breaks are skipped, and padding ("=" or
// "==") may only close the text.
bool DecodeGroups(
    CBase64Handle& b64, const unsigned char* in, size_t length, bool last, std::vector<unsigned char>& out)
{
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(in[i]);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '+' || c == '/';
        if (b64.closed) {
            SetError("Base64 data after the padding");
            return false;
        }
        if (c == '=') {
            if (++b64.padding > 2) {
                SetError("misplaced Base64 padding");
                return false;
            }
        } else if (!alphabet || b64.padding > 0) {
            SetError(alphabet ? "Base64 data after the padding" : "character outside the Base64 alphabet");
            return false;
        }
        b64.pending.push_back(c);
        if (b64.padding > 0 && b64.pending.size() % 4 == 0) {
            b64.closed = true;
        }
    }
    const size_t whole = b64.pending.size() / 4 * 4;
    if (last && whole != b64.pending.size()) {
        SetError("Base64 text ends inside a group");
        return false;
    }
    if (whole == 0) {
        return true;
    }
    const size_t padding = b64.closed && whole == b64.pending.size() ? static_cast<size_t>(b64.padding) : 0;
    std::vector<unsigned char> decoded(whole / 4 * 3);
    const int n = EVP_DecodeBlock(
        decoded.data(), reinterpret_cast<const unsigned char*>(b64.pending.data()), static_cast<int>(whole));
    if (n < 0) {
        SetError("invalid Base64 text");
        return false;
    }
    decoded.resize(static_cast<size_t>(n) - padding);
    out.insert(out.end(), decoded.begin(), decoded.end());
    b64.pending.erase(0, whole);
    return true;
}

} // namespace

extern "C" {

// ---- Devices -------------------------------------------------------------------------------

void* QuarnPKICryptoGetPseudoDevice(void)
{
    return Guarded<void*>(nullptr,
        [] { return Publish(std::make_unique<CDeviceHandle>(QUARNPKI_DEVICE_PSEUDO, "", kPseudoSerial)); });
}

void QuarnPKICryptoFreeDevice(void* device)
{
    Release(device, HandleKind::Device);
}

int QuarnPKICryptoGetType(void* device)
{
    return Guarded(QUARNPKI_INVALID_ARGUMENT, [&] {
        const auto* d = LookupAs<CDeviceHandle>(device, HandleKind::Device);
        return d == nullptr ? QUARNPKI_INVALID_ARGUMENT : d->type;
    });
}

int QuarnPKICryptoGetSerialNumber(void* device, char** serial)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* d = LookupAs<CDeviceHandle>(device, HandleKind::Device);
        return d == nullptr ? QUARNPKI_INVALID_ARGUMENT : HandOutText(d->serial, serial);
    });
}

int QuarnPKICryptoGetDeviceLabel(void* device, char** label)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        const auto* d = LookupAs<CDeviceHandle>(device, HandleKind::Device);
        return d == nullptr ? QUARNPKI_INVALID_ARGUMENT : HandOutText(d->label, label);
    });
}

// ---- Hash ----------------------------------------------------------------------------------

void* QuarnPKICryptoNewHash(void* device, int algorithm)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        if (LookupAs<CDeviceHandle>(device, HandleKind::Device) == nullptr) {
            return nullptr;
        }
        const EVP_MD* md = DigestForAlgorithm(algorithm);
        if (md == nullptr) {
            SetError("unknown hash algorithm");
            return nullptr;
        }
        auto hash = std::make_unique<CHashHandle>();
        if (!hash->ctx || EVP_DigestInit_ex(hash->ctx.get(), md, nullptr) != 1) {
            SetOpenSslError("hash initialisation failed");
            return nullptr;
        }
        return Publish(std::move(hash));
    });
}

int QuarnPKICryptoHashUpdate(void* hash, const unsigned char* data, int length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* h = LookupAs<CHashHandle>(hash, HandleKind::Hash);
        if (h == nullptr || length < 0 || (data == nullptr && length > 0)) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (h->finished) {
            SetError("hash already finished");
            return QUARNPKI_FAILED;
        }
        return EVP_DigestUpdate(h->ctx.get(), data, static_cast<size_t>(length)) == 1 ? QUARNPKI_OK
                                                                                      : QUARNPKI_FAILED;
    });
}

int QuarnPKICryptoHashFinal(void* hash, unsigned char** digest, int* length)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* h = LookupAs<CHashHandle>(hash, HandleKind::Hash);
        if (h == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (h->finished) {
            SetError("hash already finished");
            return QUARNPKI_FAILED;
        }
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int mdLength = 0;
        if (EVP_DigestFinal_ex(h->ctx.get(), md, &mdLength) != 1) {
            SetOpenSslError("hash failed");
            return QUARNPKI_FAILED;
        }
        h->finished = true;
        return HandOut(md, mdLength, digest, length);
    });
}

void QuarnPKICryptoFreeHash(void* hash)
{
    Release(hash, HandleKind::Hash);
}

// ---- Cipher --------------------------------------------------------------------------------

void* QuarnPKICryptoGetCipherHandle(
    void* device, int algorithm, const unsigned char* key, int keyLength, const unsigned char* iv)
{
    return Guarded<void*>(nullptr, [&]() -> void* {
        // The workstation passes 0 for the software device; a device handle is accepted too.
        if (device != nullptr && LookupAs<CDeviceHandle>(device, HandleKind::Device) == nullptr) {
            return nullptr;
        }
        if (algorithm != QUARNPKI_CIPHER_SM4_CBC) {
            SetError("unknown cipher algorithm");
            return nullptr;
        }
        if (key == nullptr || iv == nullptr || keyLength != 16) {
            SetError("SM4-CBC needs a 16-byte key and a 16-byte IV");
            return nullptr;
        }
        auto cipher = std::make_unique<CCipherHandle>();
        if (!cipher->ctx) {
            SetError("out of memory");
            return nullptr;
        }
        std::memcpy(cipher->key.data(), key, cipher->key.size());
        std::memcpy(cipher->iv.data(), iv, cipher->iv.size());
        return Publish(std::move(cipher));
    });
}

int QuarnPKICryptoCipherSetPadding(void* cipher, int mode)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* c = LookupAs<CCipherHandle>(cipher, HandleKind::Cipher);
        if (c == nullptr || (mode != QUARNPKI_PADDING_PKCS7 && mode != QUARNPKI_PADDING_NONE)) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (c->started) {
            SetError("padding must be set before the first update");
            return QUARNPKI_FAILED;
        }
        c->padding = mode == QUARNPKI_PADDING_PKCS7;
        return QUARNPKI_OK;
    });
}

int QuarnPKICryptoCipherSetEncrypt(void* cipher, int encrypt)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* c = LookupAs<CCipherHandle>(cipher, HandleKind::Cipher);
        if (c == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (c->started) {
            SetError("direction must be set before the first update");
            return QUARNPKI_FAILED;
        }
        c->encrypt = encrypt != 0;
        return QUARNPKI_OK;
    });
}

int QuarnPKICryptoCipherUpdate(
    void* cipher, const unsigned char* in, int inLength, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* c = LookupAs<CCipherHandle>(cipher, HandleKind::Cipher);
        if (c == nullptr || inLength < 0 || (in == nullptr && inLength > 0) || out == nullptr
            || outLength == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (c->finished) {
            SetError("cipher already finished");
            return QUARNPKI_FAILED;
        }
        if (!c->started) {
            if (EVP_CipherInit_ex(
                    c->ctx.get(), EVP_sm4_cbc(), nullptr, c->key.data(), c->iv.data(), c->encrypt ? 1 : 0)
                    != 1
                || EVP_CIPHER_CTX_set_padding(c->ctx.get(), c->padding ? 1 : 0) != 1) {
                SetOpenSslError("SM4-CBC initialisation failed");
                return QUARNPKI_FAILED;
            }
            c->started = true;
        }
        std::vector<unsigned char> buffer(static_cast<size_t>(inLength) + 16);
        int produced = 0;
        if (EVP_CipherUpdate(c->ctx.get(), buffer.data(), &produced, in, inLength) != 1) {
            SetOpenSslError("SM4-CBC update failed");
            return QUARNPKI_FAILED;
        }
        const int rc = HandOut(buffer.data(), static_cast<size_t>(produced), out, outLength);
        OPENSSL_cleanse(buffer.data(), buffer.size());
        return rc;
    });
}

int QuarnPKICryptoCipherFinal(void* cipher, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* c = LookupAs<CCipherHandle>(cipher, HandleKind::Cipher);
        if (c == nullptr || out == nullptr || outLength == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (c->finished) {
            SetError("cipher already finished");
            return QUARNPKI_FAILED;
        }
        if (!c->started) {
            // Nothing was fed: an encryption still yields one block of padding, a decryption
            // of no data fails like OpenSSL's own.
            unsigned char* none = nullptr;
            int noneLength = 0;
            const int updated = QuarnPKICryptoCipherUpdate(cipher, nullptr, 0, &none, &noneLength);
            const kelvane::pki::BytesPtr nothing(none);
            if (updated != QUARNPKI_OK) {
                return QUARNPKI_FAILED;
            }
        }
        c->finished = true;
        std::array<unsigned char, 32> buffer {};
        int produced = 0;
        if (EVP_CipherFinal_ex(c->ctx.get(), buffer.data(), &produced) != 1) {
            SetOpenSslError(c->encrypt ? "SM4-CBC encryption failed" : "SM4-CBC decryption failed (padding)");
            return QUARNPKI_FAILED;
        }
        const int rc = HandOut(buffer.data(), static_cast<size_t>(produced), out, outLength);
        OPENSSL_cleanse(buffer.data(), buffer.size());
        return rc;
    });
}

void QuarnPKICryptoFreeCipher(void* cipher)
{
    Release(cipher, HandleKind::Cipher);
}

// ---- Base64 --------------------------------------------------------------------------------

void* QuarnPKICryptoNewBase64(int encode, int flags)
{
    return Guarded<void*>(
        nullptr, [&] { return Publish(std::make_unique<CBase64Handle>(encode == 1, flags == 1)); });
}

int QuarnPKICryptoBase64Update(
    void* base64, const unsigned char* in, int inLength, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* b = LookupAs<CBase64Handle>(base64, HandleKind::Base64);
        if (b == nullptr || inLength < 0 || (in == nullptr && inLength > 0)) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (b->finished) {
            SetError("Base64 already finished");
            return QUARNPKI_FAILED;
        }
        if (b->encode) {
            const std::string text = EncodeGroups(*b, in, static_cast<size_t>(inLength), false);
            return HandOut(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, outLength);
        }
        std::vector<unsigned char> bytes;
        if (!DecodeGroups(*b, in, static_cast<size_t>(inLength), false, bytes)) {
            return QUARNPKI_FAILED;
        }
        return HandOut(bytes, out, outLength);
    });
}

int QuarnPKICryptoBase64Final(void* base64, unsigned char** out, int* outLength)
{
    return Guarded(QUARNPKI_FAILED, [&] {
        auto* b = LookupAs<CBase64Handle>(base64, HandleKind::Base64);
        if (b == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        if (b->finished) {
            SetError("Base64 already finished");
            return QUARNPKI_FAILED;
        }
        b->finished = true;
        if (b->encode) {
            const std::string text = EncodeGroups(*b, nullptr, 0, true);
            return HandOut(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, outLength);
        }
        std::vector<unsigned char> bytes;
        if (!DecodeGroups(*b, nullptr, 0, true, bytes)) {
            return QUARNPKI_FAILED;
        }
        return HandOut(bytes, out, outLength);
    });
}

void QuarnPKICryptoFreeBase64(void* base64)
{
    Release(base64, HandleKind::Base64);
}

} // extern "C"
