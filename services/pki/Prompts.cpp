#include "Prompts.h"

#include "PkiHandles.h"
#include "QuarnPKI.h"
#include "TokenLayer.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

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
QuarnPKIMessageHook messageHook = nullptr;
void* messageHookData = nullptr;

// The PIN file may name every token's PIN; more than this is not a PIN file.
constexpr size_t kMaxPinFile = 64 * 1024;

// Memory that is wiped when it goes: the PIN file's whole text passes through it.
class CWipedBuffer {
public:
    explicit CWipedBuffer(size_t size) : bytes(size) {}
    ~CWipedBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    CWipedBuffer(const CWipedBuffer&) = delete;
    CWipedBuffer& operator=(const CWipedBuffer&) = delete;
    char* data() { return bytes.data(); }

private:
    std::vector<char> bytes;
};

struct CFdClose {
    int fd;
    ~CFdClose() { close(fd); }
};

// The PIN of the token from KELVANE_PIN_FILE. 1 found, 0 not there (or no file named), -1 the file
// cannot be used: the reason is the error text. The file is opened without waiting (a FIFO
// would block the open or the read for ever) and must be a regular file of at most 64 KiB (a
// link to /dev/zero would be read without end).
int PinFromFile(const std::string& label, CSecretText& pin) {
    const char* path = std::getenv("KELVANE_PIN_FILE");
    if (path == nullptr || *path == '\0') {
        return 0;
    }
    const std::string named = std::string("the PIN file ") + path;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        SetError(named + " cannot be opened: " + std::strerror(errno));
        return -1;
    }
    const CFdClose closer {fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        SetError(named + " is not a regular file (a FIFO, device or folder is refused)");
        return -1;
    }
    if (static_cast<unsigned long long>(info.st_size) > kMaxPinFile) {
        SetError(named + " is larger than 64 KiB");
        return -1;
    }
    // One byte more than allowed: a file that grew since fstat is refused, not cut.
    CWipedBuffer text(kMaxPinFile + 1);
    size_t length = 0;
    while (length <= kMaxPinFile) {
        const ssize_t got = read(fd, text.data() + length, kMaxPinFile + 1 - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            SetError(named + " cannot be read: " + std::strerror(errno));
            return -1;
        }
        if (got == 0) {
            break;
        }
        length += static_cast<size_t>(got);
    }
    if (length > kMaxPinFile) {
        SetError(named + " is larger than 64 KiB");
        return -1;
    }
    // Lines "label<TAB>PIN", read in place: no copy of a PIN but the one handed out.
    for (size_t start = 0; start < length;) {
        const char* line = text.data() + start;
        const char* end = static_cast<const char*>(std::memchr(line, '\n', length - start));
        size_t lineLength = end != nullptr ? static_cast<size_t>(end - line) : length - start;
        start += lineLength + 1;
        if (lineLength > 0 && line[lineLength - 1] == '\r') {
            --lineLength;
        }
        if (lineLength > label.size() && line[label.size()] == '\t' &&
            std::memcmp(line, label.data(), label.size()) == 0) {
            pin.Assign(line + label.size() + 1, lineLength - label.size() - 1);
            return 1;
        }
    }
    return 0;
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
    // Read from the descriptor a byte at a time, not through stdin's buffer, which would keep the
    // PIN after it is wiped here.
    char buffer[kPinCapacity] = {};
    size_t length = 0;
    bool ended = false;
    while (length < sizeof buffer - 1) {
        char c = 0;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            ended = got == 1 || length > 0;
            break;
        }
        buffer[length++] = c;
        c = 0;
    }
    if (canHide) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    std::fputc('\n', stderr);
    const bool answered = ended;  // a PIN too long for the buffer is refused, not cut
    if (answered) {
        pin.Assign(buffer, std::strcspn(buffer, "\r"));
    }
    OPENSSL_cleanse(buffer, sizeof buffer);
    return answered;
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

int AskPin(const std::string& tokenLabel, int attemptsLeft, CSecretText& pin, PinSource& source) {
    QuarnPKIPinPromptHook hook = nullptr;
    void* data = nullptr;
    {
        const std::lock_guard lock(hookMutex);
        hook = pinHook;
        data = pinHookData;
    }
    if (hook != nullptr) {
        source = PinSource::Hook;
        char buffer[kPinCapacity] = {};
        const int answered = hook(data, tokenLabel.c_str(), attemptsLeft, buffer, kPinCapacity);
        buffer[kPinCapacity - 1] = '\0';
        if (answered == 1) {
            pin.Assign(buffer, std::strlen(buffer));
        }
        OPENSSL_cleanse(buffer, sizeof buffer);
        return answered == 1 ? QUARNPKI_OK : QUARNPKI_CANCELLED;
    }
    const int fromFile = PinFromFile(tokenLabel, pin);
    if (fromFile < 0) {
        // Every bid would fail for the same reason: the operator hears it once.
        static std::set<std::string> told;
        const std::string reason = QuarnPKIGetLastError();
        bool first = false;
        {
            const std::lock_guard lock(hookMutex);
            first = told.insert(reason).second;
        }
        if (first) {
            Notify(reason);
        }
        return QUARNPKI_FAILED;
    }
    source = fromFile > 0 ? PinSource::File : PinSource::Variable;
    if (fromFile > 0 || PinFromVariable(tokenLabel, pin)) {
        return QUARNPKI_OK;
    }
    source = PinSource::Terminal;
    return PinFromTerminal(tokenLabel, pin) ? QUARNPKI_OK : QUARNPKI_CANCELLED;
}

std::string PinSourceName(PinSource source, const std::string& tokenLabel) {
    switch (source) {
        case PinSource::Hook: return "the PIN prompt";
        case PinSource::File: {
            const char* path = std::getenv("KELVANE_PIN_FILE");
            return std::string("the PIN file ") + (path != nullptr ? path : "");
        }
        case PinSource::Variable: return PinVariableName(tokenLabel);
        case PinSource::Terminal: return "the terminal";
    }
    return {};
}

void Notify(const std::string& message) {
    QuarnPKIMessageHook hook = nullptr;
    void* data = nullptr;
    {
        const std::lock_guard lock(hookMutex);
        hook = messageHook;
        data = messageHookData;
    }
    if (hook != nullptr) {
        hook(data, message.c_str());
        return;
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
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

void QuarnPKISetMessageHook(QuarnPKIMessageHook hook, void* userData) {
    const std::lock_guard lock(hookMutex);
    messageHook = hook;
    messageHookData = userData;
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
            const bool hasName = named != nullptr && *named != '\0';
            std::vector<size_t> matching;
            for (size_t i = 0; i < candidates.size(); ++i) {
                if (!hasName || Named(candidates[i], named)) {
                    matching.push_back(i);
                }
            }
            if (matching.empty()) {
                SetError("no matching certificate is the one named by KELVANE_OPERATOR_CERT");
                return QUARNPKI_FAILED;
            }
            if (matching.size() > 1) {
                // Signing with whichever comes first in slot order would sign as someone the
                // operator did not choose.
                std::string text = hasName ? "several certificates match KELVANE_OPERATOR_CERT=" + std::string(named) + ":"
                                           : "several certificates match and KELVANE_OPERATOR_CERT names none:";
                for (const size_t i : matching) {
                    text += "\n  token \"" + candidates[i].keypair->tokenLabel + "\", certificate \"" +
                            candidates[i].objectLabel + "\", SHA-256 " + CertFingerprint(candidates[i].cert.get());
                }
                text += "\nname one with KELVANE_OPERATOR_CERT=<SHA-256 fingerprint>";
                SetError(text);
                return QUARNPKI_CERT_AMBIGUOUS;
            }
            chosen = static_cast<int>(matching.front());
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
