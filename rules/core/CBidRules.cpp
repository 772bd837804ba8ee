#include "CBidRules.h"

#include <new>

void COpenerCert::SetData(const char* text, const int length)
{
    if (text == nullptr || length <= 0) {
        return;
    }
    data.clear();
    try {
        data.assign(text, text + length);
    } catch (const std::bad_alloc&) {
        // An entry without bytes still passes the document check; QuelvarGetCert reports it.
        data = {};
    }
}
