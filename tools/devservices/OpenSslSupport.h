// What the development services share over OpenSSL: owners for its handles and its error text.
#pragma once

#include "OpenSslPtr.h"

#include <openssl/err.h>
#include <string>

using kelvane::BioPtr;
using kelvane::FreedPtr;
using kelvane::OpenSslMemoryPtr;

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
