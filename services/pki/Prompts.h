// The PIN prompt, the certificate chooser and the viewer: hooks that the program registers. Without
// them there is no PIN and no choice; the viewer prints the fields.
#pragma once

#include <openssl/crypto.h>
#include <string>
#include <vector>

namespace quarnpki {

// A PIN or other secret text, wiped when it goes.
class CSecretText
{
public:
    CSecretText() = default;
    ~CSecretText() { Wipe(); }
    CSecretText(const CSecretText&) = delete;
    CSecretText& operator=(const CSecretText&) = delete;

    void Assign(const char* data, size_t length)
    {
        Wipe();
        text.assign(data, length);
    }
    void Wipe()
    {
        if (!text.empty()) {
            OPENSSL_cleanse(text.data(), text.size());
        }
        text.clear();
    }
    const char* c_str() const { return text.c_str(); }
    size_t size() const { return text.size(); }
    bool empty() const { return text.empty(); }

private:
    std::string text;
};

// Where a PIN came from: its name in messages ("the PIN prompt", "the PIN file /path", ...), and
// whether asking again gives the same PIN (a file, a variable) rather than a person who can type
// another.
struct CPinSource
{
    std::string name = "the PIN prompt";
    bool repeats = false;
};

// Asks the program's PIN prompt hook for the PIN of a token. QUARNPKI_OK with the PIN and its
// source, QUARNPKI_CANCELLED (also when no hook is registered), or QUARNPKI_FAILED when the
// hook's source cannot be used (the reason is the error text, and the operator is told it once).
int AskPin(const std::string& tokenLabel, int attemptsLeft, CSecretText& pin, CPinSource& source);

// Tells the operator something that does not fail the current call on its own (a token that
// refused a PIN): the message hook, else standard error.
void Notify(const std::string& message);

} // namespace quarnpki
