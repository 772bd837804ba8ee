#include "Prompts.h"

#include "PkiHandles.h"
#include "QuarnPKI.h"
#include "TokenLayer.h"

#include <nlohmann/json.hpp>
#include <openssl/x509v3.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>

namespace quarnpki {

bool CertAllowsPurpose(X509* cert, std::string_view purpose);
std::string CertFingerprint(X509* cert);
std::string CertCommonName(X509* cert);

namespace {

constexpr int kPinCapacity = 256;

std::mutex hookMutex;
QuarnPKIPinPromptHook pinHook = nullptr;
void* pinHookData = nullptr;
QuarnPKICertChooserHook chooserHook = nullptr;
void* chooserHookData = nullptr;
QuarnPKICertViewerHook viewerHook = nullptr;
void* viewerHookData = nullptr;

bool PinFromFile(const std::string& label, CSecretText& pin) {
    const char* path = std::getenv("KELVANE_PIN_FILE");
    if (path == nullptr || *path == '\0') {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::string line;
    bool found = false;
    while (!found && std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && line.compare(0, tab, label) == 0 && tab == label.size()) {
            pin.Assign(line.data() + tab + 1, line.size() - tab - 1);
            found = true;
        }
        OPENSSL_cleanse(line.data(), line.size());
    }
    return found;
}

bool PinFromVariable(const std::string& label, CSecretText& pin) {
    const char* value = std::getenv(PinVariableName(label).c_str());
    if (value == nullptr) {
        return false;
    }
    pin.Assign(value, std::strlen(value));
    return true;
}

bool PinFromTerminal(const std::string& label, CSecretText& pin) {
    if (isatty(STDIN_FILENO) == 0) {
        return false;
    }
    std::fprintf(stderr, "PIN for token \"%s\": ", label.c_str());
    std::fflush(stderr);
    termios saved {};
    const bool canHide = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (canHide) {
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    char buffer[kPinCapacity] = {};
    const bool read = std::fgets(buffer, sizeof buffer, stdin) != nullptr;
    if (canHide) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    std::fputc('\n', stderr);
    if (read) {
        pin.Assign(buffer, std::strcspn(buffer, "\r\n"));
    }
    OPENSSL_cleanse(buffer, sizeof buffer);
    return read;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
    return text;
}

// Whether a certificate answers to a name: its token's label, its object label, its
// commonName or its SHA-256 fingerprint (with or without colons, any case).
bool Named(const CTokenCertificate& entry, const std::string& name) {
    return name == entry.keypair->tokenLabel || name == entry.objectLabel ||
           name == CertCommonName(entry.cert.get()) || Lower(name) == Lower(CertFingerprint(entry.cert.get()));
}

bool ValidNow(X509* cert) {
    return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 && X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

void PrintCertificate(void* cert) {
    static const std::pair<int, const char*> fields[] = {
        {QUARNPKI_CERT_SUBJECT, "Subject"},         {QUARNPKI_CERT_ISSUER, "Issuer"},
        {QUARNPKI_CERT_SERIAL, "Serial number"},    {QUARNPKI_CERT_NOT_BEFORE, "Valid from"},
        {QUARNPKI_CERT_NOT_AFTER, "Valid to"},      {QUARNPKI_CERT_SHA256_FINGERPRINT, "SHA-256 fingerprint"}};
    for (const auto& [attribute, name] : fields) {
        char* value = nullptr;
        if (QuarnPKICertGetCertStringAttribute(cert, attribute, &value, nullptr) == QUARNPKI_OK) {
            std::printf("%s: %s\n", name, value);
            QuarnPKICryptoFreeMemory(value);
        }
    }
    int type = -1;
    int bits = 0;
    QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_TYPE, &type);
    QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_BITS, &bits);
    std::printf("Key: %s, %d bits\n", type == QUARNPKI_KEY_TYPE_RSA ? "RSA" : type == QUARNPKI_KEY_TYPE_EC ? "EC" : "other",
                bits);
    std::fflush(stdout);
}

}  // namespace

std::string PinVariableName(const std::string& tokenLabel) {
    std::string name = "KELVANE_PIN_";
    for (size_t i = 0; i < tokenLabel.size(); ++i) {
        const auto c = static_cast<unsigned char>(tokenLabel[i]);
        if (c >= 0x80) {
            // One "_" for a whole UTF-8 character: skip its continuation bytes.
            while (i + 1 < tokenLabel.size() && (static_cast<unsigned char>(tokenLabel[i + 1]) & 0xC0) == 0x80) {
                ++i;
            }
            name.push_back('_');
        } else if (std::isalnum(c) != 0) {
            name.push_back(static_cast<char>(std::toupper(c)));
        } else {
            name.push_back('_');
        }
    }
    return name;
}

int AskPin(const std::string& tokenLabel, int attemptsLeft, CSecretText& pin) {
    QuarnPKIPinPromptHook hook = nullptr;
    void* data = nullptr;
    {
        const std::lock_guard lock(hookMutex);
        hook = pinHook;
        data = pinHookData;
    }
    if (hook != nullptr) {
        char buffer[kPinCapacity] = {};
        const int answered = hook(data, tokenLabel.c_str(), attemptsLeft, buffer, kPinCapacity);
        buffer[kPinCapacity - 1] = '\0';
        if (answered == 1) {
            pin.Assign(buffer, std::strlen(buffer));
        }
        OPENSSL_cleanse(buffer, sizeof buffer);
        return answered == 1 ? QUARNPKI_OK : QUARNPKI_CANCELLED;
    }
    if (PinFromFile(tokenLabel, pin) || PinFromVariable(tokenLabel, pin) || PinFromTerminal(tokenLabel, pin)) {
        return QUARNPKI_OK;
    }
    return QUARNPKI_CANCELLED;
}

}  // namespace quarnpki

using namespace quarnpki;

extern "C" {

void QuarnPKISetPinPromptHook(QuarnPKIPinPromptHook hook, void* userData) {
    const std::lock_guard lock(hookMutex);
    pinHook = hook;
    pinHookData = userData;
}

void QuarnPKISetCertChooserHook(QuarnPKICertChooserHook hook, void* userData) {
    const std::lock_guard lock(hookMutex);
    chooserHook = hook;
    chooserHookData = userData;
}

void QuarnPKISetCertViewerHook(QuarnPKICertViewerHook hook, void* userData) {
    const std::lock_guard lock(hookMutex);
    viewerHook = hook;
    viewerHookData = userData;
}

int QuarnPKISelectCert(const char* filterJson, int flags, void** cert) {
    (void)flags;
    return Guarded(QUARNPKI_FAILED, [&] {
        if (cert == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        *cert = nullptr;
        const nlohmann::json filter =
            nlohmann::json::parse(filterJson != nullptr ? filterJson : "{}", nullptr, false);
        if (!filter.is_object()) {
            SetError("the certificate filter is not a JSON object");
            return QUARNPKI_INVALID_ARGUMENT;
        }
        const bool validNow = filter.value("InValidity", false);
        const std::string type = filter.value("Type", std::string("any"));
        const std::string value = filter.value("Value", std::string("any"));

        std::vector<CTokenCertificate> candidates;
        for (auto& entry : TokenCertificates()) {
            if ((validNow && !ValidNow(entry.cert.get())) || !CertAllowsPurpose(entry.cert.get(), type) ||
                (value != "any" && !Named(entry, value))) {
                continue;
            }
            candidates.push_back(std::move(entry));
        }
        if (candidates.empty()) {
            SetError("no certificate on the present tokens matches");
            return QUARNPKI_FAILED;
        }

        QuarnPKICertChooserHook hook = nullptr;
        void* data = nullptr;
        {
            const std::lock_guard lock(hookMutex);
            hook = chooserHook;
            data = chooserHookData;
        }
        int chosen = -1;
        if (hook != nullptr) {
            std::vector<void*> handles;
            for (const auto& entry : candidates) {
                auto handle = std::make_unique<CCertHandle>(X509Ptr(X509_dup(entry.cert.get())));
                handle->keypair = entry.keypair;
                handles.push_back(Publish(std::move(handle)));
            }
            int index = -1;
            const int answered = hook(data, handles.data(), static_cast<int>(handles.size()), &index);
            for (void* h : handles) {
                QuarnPKICertFreeCert(h);
            }
            if (answered != 1) {
                SetError("the certificate choice was cancelled");
                return QUARNPKI_CANCELLED;
            }
            if (index < 0 || index >= static_cast<int>(candidates.size())) {
                SetError("the chooser gave no certificate");
                return QUARNPKI_FAILED;
            }
            chosen = index;
        } else {
            const char* named = std::getenv("KELVANE_OPERATOR_CERT");
            if (named != nullptr && *named != '\0') {
                for (size_t i = 0; i < candidates.size() && chosen < 0; ++i) {
                    if (Named(candidates[i], named)) {
                        chosen = static_cast<int>(i);
                    }
                }
                if (chosen < 0) {
                    SetError("no matching certificate is the one named by KELVANE_OPERATOR_CERT");
                    return QUARNPKI_FAILED;
                }
            } else if (candidates.size() == 1) {
                chosen = 0;
            } else {
                SetError("several certificates match; name one with KELVANE_OPERATOR_CERT");
                return QUARNPKI_CANCELLED;
            }
        }
        auto handle = std::make_unique<CCertHandle>(std::move(candidates[static_cast<size_t>(chosen)].cert));
        handle->keypair = candidates[static_cast<size_t>(chosen)].keypair;
        *cert = Publish(std::move(handle));
        return QUARNPKI_OK;
    });
}

int QuarnPKIUIDisplayCert(void* owner, void* cert) {
    return Guarded(QUARNPKI_FAILED, [&] {
        if (LookupAs<CCertHandle>(cert, HandleKind::Cert) == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        QuarnPKICertViewerHook hook = nullptr;
        void* data = nullptr;
        {
            const std::lock_guard lock(hookMutex);
            hook = viewerHook;
            data = viewerHookData;
        }
        if (hook != nullptr) {
            return hook(data, owner, cert) == 1 ? QUARNPKI_OK : QUARNPKI_FAILED;
        }
        PrintCertificate(cert);
        return QUARNPKI_OK;
    });
}

}  // extern "C"
