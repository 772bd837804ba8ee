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
    bool empty() const { return text.empty(); }

private:
    std::string text;
};

// Asks for the PIN of a token: the registered hook, else the PIN file, the variable and the
// terminal. QUARNPKI_OK with the PIN, or QUARNPKI_CANCELLED.
int AskPin(const std::string& tokenLabel, int attemptsLeft, CSecretText& pin);

// The name of the PIN variable for a label: KELVANE_PIN_ and the label upper-cased, with every
// character other than A-Z and 0-9 turned into "_".
std::string PinVariableName(const std::string& tokenLabel);

}  // namespace quarnpki
