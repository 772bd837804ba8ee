// What the development services share over OpenSSL: owners for its handles and its error text.
#pragma once

#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <string>

template <auto Free>
struct CFreeWith
{
    template <typename T>
    void operator()(T* p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, CFreeWith<BIO_free>>;

// The oldest error on this thread's OpenSSL queue as text; the queue is emptied.
inline std::string OpenSslError()
{
    const unsigned long code = ERR_get_error();
    char text[256] = "no detail from OpenSSL";
    if (code)
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}
