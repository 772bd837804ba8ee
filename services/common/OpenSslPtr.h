// Owners for the OpenSSL handles the libraries and programs hold.
#pragma once

#include "FreeWith.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace kelvane {

// OPENSSL_free is a macro that records the caller's file and line, so it cannot be a template
// argument; this is its function form.
inline void FreeOpenSslMemory(void* memory) noexcept
{
    OPENSSL_free(memory);
}

using BioPtr = FreedPtr<BIO, BIO_free_all>;
using BignumPtr = FreedPtr<BIGNUM, BN_free>;
using X509Ptr = FreedPtr<X509, X509_free>;
using X509StorePtr = FreedPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = FreedPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using PkeyPtr = FreedPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = FreedPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = FreedPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtxPtr = FreedPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using CmsPtr = FreedPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using TsReqPtr = FreedPtr<TS_REQ, TS_REQ_free>;
using TsRespPtr = FreedPtr<TS_RESP, TS_RESP_free>;
using TsVerifyCtxPtr = FreedPtr<TS_VERIFY_CTX, TS_VERIFY_CTX_free>;
using KdfPtr = FreedPtr<EVP_KDF, EVP_KDF_free>;
using KdfCtxPtr = FreedPtr<EVP_KDF_CTX, EVP_KDF_CTX_free>;
using DecoderCtxPtr = FreedPtr<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;

// The stack functions are macros too. A stack that holds borrowed certificates frees only itself;
// one handed out by a get1 call owns its entries as well.
inline void FreeX509Stack(STACK_OF(X509) * stack) noexcept
{
    sk_X509_free(stack);
}
inline void FreeX509StackAndEntries(STACK_OF(X509) * stack) noexcept
{
    sk_X509_pop_free(stack, X509_free);
}
inline void FreeX509CrlStackAndEntries(STACK_OF(X509_CRL) * stack) noexcept
{
    sk_X509_CRL_pop_free(stack, X509_CRL_free);
}
using X509StackPtr = FreedPtr<STACK_OF(X509), FreeX509Stack>;
using X509StackOwningPtr = FreedPtr<STACK_OF(X509), FreeX509StackAndEntries>;
using X509CrlStackOwningPtr = FreedPtr<STACK_OF(X509_CRL), FreeX509CrlStackAndEntries>;

// Bytes and texts that OpenSSL hands out (i2d_*, X509_NAME_oneline, ...).
template <typename T> using OpenSslMemoryPtr = FreedPtr<T, FreeOpenSslMemory>;

} // namespace kelvane
