#include "BidChunkCipher.h"

#include <openssl/evp.h>

namespace kelvane::bidx {

CChunkCipher::CChunkCipher(bool encrypt, const CKey& key)
    : ctx(EVP_CIPHER_CTX_new())
    , encrypting(encrypt)
{
    if (ctx
        && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr, encrypt ? 1 : 0)
            != 1) {
        ctx.reset();
    }
}

bool CChunkCipher::Start(uint64_t index, bool last)
{
    unsigned char nonce[12] = {};
    for (int i = 0; i < 8; ++i) {
        nonce[3 + i] = static_cast<unsigned char>(index >> (56 - 8 * i));
    }
    nonce[11] = last ? 1 : 0;
    return ctx && EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce, encrypting ? 1 : 0) == 1;
}

bool CChunkCipher::Seal(
    uint64_t index, bool last, unsigned char* data, size_t size, unsigned char tag[kTagSize])
{
    int len = 0;
    if (!Start(index, last)
        || (size > 0 && EVP_CipherUpdate(ctx.get(), data, &len, data, static_cast<int>(size)) != 1)) {
        return false;
    }
    return EVP_CipherFinal_ex(ctx.get(), data + len, &len) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
}

bool CChunkCipher::Open(uint64_t index, bool last, const unsigned char* in, unsigned char* out, size_t size,
    const unsigned char tag[kTagSize])
{
    int len = 0;
    if (!Start(index, last)
        || (size > 0 && EVP_CipherUpdate(ctx.get(), out, &len, in, static_cast<int>(size)) != 1)) {
        return false;
    }
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, const_cast<unsigned char*>(tag))
        == 1
        && EVP_CipherFinal_ex(ctx.get(), out + len, &len) == 1;
}

} // namespace kelvane::bidx
