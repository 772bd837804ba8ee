// The PIN prompt and certificate chooser of a workstation without a window (kelvane-cli,
// kelvane-seal, the end-to-end tests): hooks of the PKI library, registered the way the window
// registers its dialogs.
#pragma once

#include <string>

namespace kelvane {

// A QuarnPKIPinPromptHook. The PIN of the token comes from the file named by KELVANE_PIN_FILE
// (lines "label<TAB>PIN"), else from the variable PinVariableName(label), else from the terminal
// when standard input is one. The file must be a regular file of at most 64 KiB; any other (a
// FIFO, a device) fails the login with the reason. The file and the variable give the same PIN
// at every ask, so the library leaves out a token that refused it; the terminal is a person.
int TerminalPinPrompt(void* userData, const char* tokenLabel, int attemptsLeft, char* pin, int pinCapacity);

// A QuarnPKICertChooserHook without a person to ask: it takes the only certificate offered, or
// the only one named by KELVANE_OPERATOR_CERT (a token label, certificate label, commonName or
// SHA-256 fingerprint). With several it refuses with QUARNPKI_CERT_AMBIGUOUS and lists them.
int HeadlessCertChooser(void* userData, void* const* certs, int count, int* chosen);

// Registers both with the PKI library.
void InstallTerminalPkiPrompts();

// KELVANE_PIN_ and the label upper-cased, with every character other than A-Z and 0-9 (a whole
// UTF-8 character counting as one) turned into "_".
std::string PinVariableName(const std::string& tokenLabel);

} // namespace kelvane
