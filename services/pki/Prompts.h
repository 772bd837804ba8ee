// The PIN prompt, the certificate chooser and the viewer: hooks of the window, with headless
// defaults.
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <vector>

namespace quarnpki {

// A PIN or other secret text, wiped when it goes.
class CSecretText {
public:
    CSecretText() = default;
    ~CSecretText() { Wipe(); }
    CSecretText(const CSecretText&) = delete;
    CSecretText& operator=(const CSecretText&) = delete;

    void Assign(const char* data, size_t length) {
        Wipe();
        text.assign(data, length);
    }
    void Wipe() {
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

// Where a PIN came from. The hook and the terminal are a person who can type another one; the
// file and the variable give the same PIN again at every ask.
enum class PinSource { Hook, File, Variable, Terminal };

// Asks for the PIN of a token: the registered hook, else the PIN file, the variable and the
// terminal. QUARNPKI_OK with the PIN and its source, QUARNPKI_CANCELLED, or QUARNPKI_FAILED when
// the PIN file cannot be used (the reason is the error text).
int AskPin(const std::string& tokenLabel, int attemptsLeft, CSecretText& pin, PinSource& source);

// Words for a PIN source in messages: "the PIN file /path", "KELVANE_PIN_X", ...
std::string PinSourceName(PinSource source, const std::string& tokenLabel);

// Tells the operator something that does not fail the current call on its own (a token that
// refused a PIN): the message hook, else standard error.
void Notify(const std::string& message);

// The name of the PIN variable for a label: KELVANE_PIN_ and the label upper-cased, with every
// character other than A-Z and 0-9 turned into "_".
std::string PinVariableName(const std::string& tokenLabel);

}  // namespace quarnpki
