#include "Prompts.h"

#include "PkiHandles.h"
#include "PkiPtr.h"
#include "QuarnPKI.h"
#include "TokenLayer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <openssl/x509v3.h>
#include <optional>
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

// What the hook running on this thread said of its answer: the reason of a refusal, and where
// a PIN came from.
thread_local std::optional<std::string> hookError;
thread_local CPinSource* answeringSource = nullptr;

// The reason a hook gave for a refusal, else `fallback`.
std::string HookError(const char* fallback)
{
    std::string reason = hookError.value_or(fallback);
    hookError.reset();
    return reason;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
    return text;
}

// Whether a certificate answers to a name: its token's label, its object label, its
// commonName or its SHA-256 fingerprint (with or without colons, any case).
bool Named(const CTokenCertificate& entry, const std::string& name)
{
    return name == entry.keypair->tokenLabel || name == entry.objectLabel
        || name == CertCommonName(entry.cert.get())
        || Lower(name) == Lower(CertFingerprint(entry.cert.get()));
}

bool ValidNow(X509* cert)
{
    return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0
        && X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

void PrintCertificate(void* cert)
{
    static const std::pair<int, const char*> fields[] = { { QUARNPKI_CERT_SUBJECT, "Subject" },
        { QUARNPKI_CERT_ISSUER, "Issuer" }, { QUARNPKI_CERT_SERIAL, "Serial number" },
        { QUARNPKI_CERT_NOT_BEFORE, "Valid from" }, { QUARNPKI_CERT_NOT_AFTER, "Valid to" },
        { QUARNPKI_CERT_SHA256_FINGERPRINT, "SHA-256 fingerprint" } };
    for (const auto& [attribute, name] : fields) {
        char* value = nullptr;
        const int result = QuarnPKICertGetCertStringAttribute(cert, attribute, &value, nullptr);
        const kelvane::pki::TextPtr owned(value);
        if (result == QUARNPKI_OK) {
            std::printf("%s: %s\n", name, value);
        }
    }
    int type = -1;
    int bits = 0;
    QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_TYPE, &type);
    QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_BITS, &bits);
    std::printf("Key: %s, %d bits\n",
        type == QUARNPKI_KEY_TYPE_RSA      ? "RSA"
            : type == QUARNPKI_KEY_TYPE_EC ? "EC"
                                           : "other",
        bits);
    std::fflush(stdout);
}

} // namespace

int AskPin(const std::string& tokenLabel, int attemptsLeft, CSecretText& pin, CPinSource& source)
{
    QuarnPKIPinPromptHook hook = nullptr;
    void* data = nullptr;
    {
        const std::lock_guard lock(hookMutex);
        hook = pinHook;
        data = pinHookData;
    }
    if (hook == nullptr) {
        // Without a prompt of the program there is nobody to ask.
        return QUARNPKI_CANCELLED;
    }
    source = CPinSource();
    char buffer[kPinCapacity] = {};
    hookError.reset();
    answeringSource = &source;
    const int answered = hook(data, tokenLabel.c_str(), attemptsLeft, buffer, kPinCapacity);
    answeringSource = nullptr;
    buffer[kPinCapacity - 1] = '\0';
    if (answered == 1 || answered == 2) {
        pin.Assign(buffer, std::strlen(buffer));
        source.repeats = answered == 2;
    }
    OPENSSL_cleanse(buffer, sizeof buffer);
    if (answered < 0) {
        // Every bid would fail for the same reason: the operator hears it once.
        static std::set<std::string> told;
        const std::string reason = HookError("the PIN cannot be had");
        bool first = false;
        {
            const std::lock_guard lock(hookMutex);
            first = told.insert(reason).second;
        }
        if (first) {
            Notify(reason);
        }
        SetError(reason);
        return QUARNPKI_FAILED;
    }
    hookError.reset();
    return answered == 1 || answered == 2 ? QUARNPKI_OK : QUARNPKI_CANCELLED;
}

void Notify(const std::string& message)
{
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

} // namespace quarnpki

using namespace quarnpki;

extern "C" {

void QuarnPKISetPinPromptHook(QuarnPKIPinPromptHook hook, void* userData)
{
    const std::lock_guard lock(hookMutex);
    pinHook = hook;
    pinHookData = userData;
}

void QuarnPKISetCertChooserHook(QuarnPKICertChooserHook hook, void* userData)
{
    const std::lock_guard lock(hookMutex);
    chooserHook = hook;
    chooserHookData = userData;
}

void QuarnPKISetCertViewerHook(QuarnPKICertViewerHook hook, void* userData)
{
    const std::lock_guard lock(hookMutex);
    viewerHook = hook;
    viewerHookData = userData;
}

void QuarnPKISetMessageHook(QuarnPKIMessageHook hook, void* userData)
{
    const std::lock_guard lock(hookMutex);
    messageHook = hook;
    messageHookData = userData;
}

void QuarnPKISetHookError(const char* reason)
{
    try {
        hookError = reason != nullptr ? reason : "";
    } catch (...) {
        hookError.reset(); // out of memory: the library's own words are used
    }
}

void QuarnPKISetPinSource(const char* name)
{
    try {
        if (answeringSource != nullptr && name != nullptr && *name != '\0') {
            answeringSource->name = name;
        }
    } catch (...) {
        // The default name stays.
    }
}

int QuarnPKISelectCert(const char* filterJson, int flags, void** cert)
{
    (void)flags;
    return Guarded(QUARNPKI_FAILED, [&] {
        if (cert == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        *cert = nullptr;
        const nlohmann::json filter
            = nlohmann::json::parse(filterJson != nullptr ? filterJson : "{}", nullptr, false);
        if (!filter.is_object()) {
            SetError("the certificate filter is not a JSON object");
            return QUARNPKI_INVALID_ARGUMENT;
        }
        const bool validNow = filter.value("InValidity", false);
        const std::string type = filter.value("Type", std::string("any"));
        const std::string value = filter.value("Value", std::string("any"));

        std::vector<CTokenCertificate> candidates;
        for (auto& entry : TokenCertificates()) {
            if ((validNow && !ValidNow(entry.cert.get())) || !CertAllowsPurpose(entry.cert.get(), type)
                || (value != "any" && !Named(entry, value))) {
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
        if (hook == nullptr) {
            // Without a chooser of the program there is nobody to choose.
            SetError("the certificate choice was cancelled");
            return QUARNPKI_CANCELLED;
        }
        std::vector<kelvane::pki::CertPtr> owners;
        std::vector<void*> handles;
        for (const auto& entry : candidates) {
            auto handle = std::make_unique<CCertHandle>(X509Ptr(X509_dup(entry.cert.get())));
            handle->keypair = entry.keypair;
            handle->objectLabel = entry.objectLabel;
            owners.emplace_back(Publish(std::move(handle)));
            handles.push_back(owners.back().get());
        }
        int index = -1;
        hookError.reset();
        const int answered = hook(data, handles.data(), static_cast<int>(handles.size()), &index);
        if (answered == 0) {
            hookError.reset();
            SetError("the certificate choice was cancelled");
            return QUARNPKI_CANCELLED;
        }
        if (answered < 0) {
            SetError(HookError("the certificate choice failed"));
            return answered == QUARNPKI_CERT_AMBIGUOUS ? QUARNPKI_CERT_AMBIGUOUS : QUARNPKI_FAILED;
        }
        hookError.reset();
        if (index < 0 || index >= static_cast<int>(candidates.size())) {
            SetError("the chooser gave no certificate");
            return QUARNPKI_FAILED;
        }
        const auto chosen = static_cast<size_t>(index);
        auto handle = std::make_unique<CCertHandle>(std::move(candidates[chosen].cert));
        handle->keypair = candidates[chosen].keypair;
        handle->objectLabel = candidates[chosen].objectLabel;
        *cert = Publish(std::move(handle));
        return QUARNPKI_OK;
    });
}

int QuarnPKIUIDisplayCert(void* owner, void* cert)
{
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

} // extern "C"
