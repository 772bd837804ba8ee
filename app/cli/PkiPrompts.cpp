#include "PkiPrompts.h"

#include "PkiPtr.h"
#include "QuarnPKI.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace kelvane {
namespace {

// The PIN file may name every token's PIN; more than this is not a PIN file.
constexpr size_t kMaxPinFile = 64 * 1024;

// The library's buffer for the PIN, which it wipes after use: the PIN is written nowhere else.
struct CPinBuffer
{
    char* data;
    size_t capacity;

    // False when the PIN and its terminator do not fit.
    bool Put(const char* text, size_t length) const
    {
        if (length >= capacity) {
            return false;
        }
        std::memcpy(data, text, length);
        data[length] = '\0';
        return true;
    }
};

constexpr char kPinTooLong[] = " is longer than the PKI library takes";

// Memory that is wiped when it goes: the PIN file's whole text passes through it.
class CWipedBuffer
{
public:
    explicit CWipedBuffer(size_t size)
        : bytes(size)
    {
    }
    ~CWipedBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    CWipedBuffer(const CWipedBuffer&) = delete;
    CWipedBuffer& operator=(const CWipedBuffer&) = delete;
    char* data() { return bytes.data(); }

private:
    std::vector<char> bytes;
};

struct CFdClose
{
    int fd;
    ~CFdClose() { close(fd); }
};

// The PIN of the token from KELVANE_PIN_FILE. 1 found, 0 not there (or no file named), -1 the file
// cannot be used: the reason is in `reason`. The file is opened without waiting (a FIFO
// would block the open or the read for ever) and must be a regular file of at most 64 KiB (a
// link to /dev/zero would be read without end).
int PinFromFile(const std::string& label, const CPinBuffer& pin, std::string& reason)
{
    const char* path = std::getenv("KELVANE_PIN_FILE");
    if (path == nullptr || *path == '\0') {
        return 0;
    }
    const std::string named = std::string("the PIN file ") + path;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = named + " cannot be opened: " + std::strerror(errno);
        return -1;
    }
    const CFdClose closer { fd };
    struct stat info
    {
    };
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = named + " is not a regular file (a FIFO, device or folder is refused)";
        return -1;
    }
    if (static_cast<unsigned long long>(info.st_size) > kMaxPinFile) {
        reason = named + " is larger than 64 KiB";
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
            reason = named + " cannot be read: " + std::strerror(errno);
            return -1;
        }
        if (got == 0) {
            break;
        }
        length += static_cast<size_t>(got);
    }
    if (length > kMaxPinFile) {
        reason = named + " is larger than 64 KiB";
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
        if (lineLength > label.size() && line[label.size()] == '\t'
            && std::memcmp(line, label.data(), label.size()) == 0) {
            if (!pin.Put(line + label.size() + 1, lineLength - label.size() - 1)) {
                reason = "the PIN of " + label + " in " + named + kPinTooLong;
                return -1;
            }
            return 1;
        }
    }
    return 0;
}

// 1 found, 0 not set, -1 too long: the reason is in `reason`.
int PinFromVariable(const std::string& label, const CPinBuffer& pin, std::string& reason)
{
    const std::string name = PinVariableName(label);
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return 0;
    }
    if (!pin.Put(value, std::strlen(value))) {
        reason = "the PIN in " + name + kPinTooLong;
        return -1;
    }
    return 1;
}

bool PinFromTerminal(const std::string& label, const CPinBuffer& pin)
{
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
    // PIN after the library wipes it.
    size_t length = 0;
    bool ended = false;
    while (length + 1 < pin.capacity) {
        char c = 0;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            ended = got == 1 || length > 0;
            break;
        }
        pin.data[length++] = c;
        c = 0;
    }
    if (canHide) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    std::fputc('\n', stderr);
    pin.data[length] = '\0';
    const bool answered = ended; // a PIN too long for the buffer is refused, not cut
    if (answered) {
        pin.data[std::strcspn(pin.data, "\r")] = '\0';
    } else {
        OPENSSL_cleanse(pin.data, pin.capacity);
    }
    return answered;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
    return text;
}

// A text attribute of a certificate handle, "" when it has none.
std::string Attribute(void* cert, int attribute)
{
    std::string text;
    return pki::GetCertText(cert, attribute, text) ? text : std::string();
}

struct COffered
{
    std::string tokenLabel;
    std::string objectLabel;
    std::string commonName;
    std::string fingerprint;
};

// Whether a certificate answers to a name: its token's label, its object label, its
// commonName or its SHA-256 fingerprint (with or without colons, any case).
bool Named(const COffered& offered, const std::string& name)
{
    return name == offered.tokenLabel || name == offered.objectLabel || name == offered.commonName
        || Lower(name) == Lower(offered.fingerprint);
}

} // namespace

std::string PinVariableName(const std::string& tokenLabel)
{
    std::string name = "KELVANE_PIN_";
    for (size_t i = 0; i < tokenLabel.size(); ++i) {
        const auto c = static_cast<unsigned char>(tokenLabel[i]);
        if (c >= 0x80) {
            // One "_" for a whole UTF-8 character: skip its continuation bytes.
            while (
                i + 1 < tokenLabel.size() && (static_cast<unsigned char>(tokenLabel[i + 1]) & 0xC0) == 0x80) {
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

int TerminalPinPrompt(void*, const char* tokenLabel, int, char* pin, int pinCapacity)
{
    if (tokenLabel == nullptr || pin == nullptr || pinCapacity <= 0) {
        return 0;
    }
    const std::string label = tokenLabel;
    const CPinBuffer buffer { pin, static_cast<size_t>(pinCapacity) };
    std::string reason;
    int found = PinFromFile(label, buffer, reason);
    if (found > 0) {
        const char* path = std::getenv("KELVANE_PIN_FILE");
        QuarnPKISetPinSource((std::string("the PIN file ") + (path != nullptr ? path : "")).c_str());
        return 2; // the same PIN at every ask
    }
    if (found == 0) {
        found = PinFromVariable(label, buffer, reason);
        if (found > 0) {
            QuarnPKISetPinSource(PinVariableName(label).c_str());
            return 2;
        }
    }
    if (found < 0) {
        QuarnPKISetHookError(reason.c_str());
        return -1;
    }
    if (!PinFromTerminal(label, buffer)) {
        return 0;
    }
    QuarnPKISetPinSource("the terminal");
    return 1;
}

int HeadlessCertChooser(void*, void* const* certs, int count, int* chosen)
{
    if (certs == nullptr || count <= 0 || chosen == nullptr) {
        return 0;
    }
    std::vector<COffered> offered;
    for (int i = 0; i < count; ++i) {
        offered.push_back({ Attribute(certs[i], QUARNPKI_CERT_TOKEN_LABEL),
            Attribute(certs[i], QUARNPKI_CERT_TOKEN_OBJECT_LABEL),
            Attribute(certs[i], QUARNPKI_CERT_COMMON_NAME),
            Attribute(certs[i], QUARNPKI_CERT_SHA256_FINGERPRINT) });
    }
    const char* named = std::getenv("KELVANE_OPERATOR_CERT");
    const bool hasName = named != nullptr && *named != '\0';
    std::vector<size_t> matching;
    for (size_t i = 0; i < offered.size(); ++i) {
        if (!hasName || Named(offered[i], named)) {
            matching.push_back(i);
        }
    }
    if (matching.empty()) {
        QuarnPKISetHookError("no matching certificate is the one named by KELVANE_OPERATOR_CERT");
        return -1; // none fits
    }
    if (matching.size() > 1) {
        // Signing with whichever comes first in slot order would sign as someone the operator
        // did not choose.
        std::string text = hasName
            ? "several certificates match KELVANE_OPERATOR_CERT=" + std::string(named) + ":"
            : "several certificates match and KELVANE_OPERATOR_CERT names none:";
        for (const size_t i : matching) {
            text += "\n  token \"" + offered[i].tokenLabel + "\", certificate \"" + offered[i].objectLabel
                + "\", SHA-256 " + offered[i].fingerprint;
        }
        text += "\nname one with KELVANE_OPERATOR_CERT=<SHA-256 fingerprint>";
        QuarnPKISetHookError(text.c_str());
        return QUARNPKI_CERT_AMBIGUOUS;
    }
    *chosen = static_cast<int>(matching.front());
    return 1;
}

void InstallTerminalPkiPrompts()
{
    QuarnPKISetPinPromptHook(&TerminalPinPrompt, nullptr);
    QuarnPKISetCertChooserHook(&HeadlessCertChooser, nullptr);
}

} // namespace kelvane
