#include "TokenLayer.h"

#include "Prompts.h"
#include "QuarnPKI.h"

#include <dlfcn.h>
#include <libp11.h>
#include <p11-kit/pkcs11.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <set>

namespace quarnpki {
namespace {

// PKCS#11 return values that libp11 leaves in OpenSSL's error queue as reasons.
constexpr int kCkrDeviceError = CKR_DEVICE_ERROR;
constexpr int kCkrDeviceRemoved = CKR_DEVICE_REMOVED;
constexpr int kCkrPinIncorrect = CKR_PIN_INCORRECT;
constexpr int kCkrPinLocked = CKR_PIN_LOCKED;
constexpr int kCkrSessionClosed = CKR_SESSION_CLOSED;
constexpr int kCkrSessionHandleInvalid = CKR_SESSION_HANDLE_INVALID;
constexpr int kCkrTokenNotPresent = CKR_TOKEN_NOT_PRESENT;
constexpr int kCkrUserNotLoggedIn = CKR_USER_NOT_LOGGED_IN;

// The PKCS#11 reasons in OpenSSL's error queue, which is emptied.
std::set<int> DrainTokenErrors() {
    std::set<int> reasons;
    const int library = ERR_get_CKR_code();
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
        if (ERR_GET_LIB(e) == library) {
            reasons.insert(ERR_GET_REASON(e));
        }
    }
    return reasons;
}

bool LostSession(const std::set<int>& reasons) {
    for (const int r : {kCkrDeviceError, kCkrDeviceRemoved, kCkrSessionClosed, kCkrSessionHandleInvalid,
                        kCkrTokenNotPresent, kCkrUserNotLoggedIn}) {
        if (reasons.count(r) != 0) {
            return true;
        }
    }
    return false;
}

std::string TokenKey(const PKCS11_TOKEN* token) {
    return std::string(token->label != nullptr ? token->label : "") + '\n' +
           (token->serialnr != nullptr ? token->serialnr : "");
}

class CTokenLayer {
public:
    static CTokenLayer& Instance() {
        // Never destroyed: unloading the module at exit, while other static objects or threads may
        // still hold keys of it, would finalise it under their feet.
        static CTokenLayer* layer = std::make_unique<CTokenLayer>().release();
        return *layer;
    }

    std::recursive_mutex mutex;

    // Loads the module on first use and brings the slot list up to date; `fresh` makes a new
    // list even when the same tokens are present, to leave sessions lost to a removal behind.
    // False when the module cannot be loaded.
    bool Refresh(bool fresh = false) {
        if (ctx == nullptr && !Load()) {
            return false;
        }
        std::vector<std::string> present;
        if (!PresentTokens(present)) {
            SetError("the token module cannot list its tokens");
            return false;
        }
        if (slots == nullptr || fresh || present != lastPresent) {
            // libp11 keeps slot lists from the first listing: this version cannot update one in
            // place, and releasing one closes every session of the module, which would log out
            // every token. So a list is made afresh when a token comes or goes, and the old one
            // is kept (a few per run).
            PKCS11_SLOT* fresh = nullptr;
            unsigned int freshCount = 0;
            if (PKCS11_enumerate_slots(ctx, &fresh, &freshCount) != 0) {
                DrainTokenErrors();
                SetError("the token module cannot list its slots");
                return false;
            }
            if (slots != nullptr) {
                retired.emplace_back(slots, slotCount);
            }
            slots = fresh;
            slotCount = freshCount;
            lastPresent = present;
        }
        // A token that is not present any more is logged out, whatever libp11 remembers.
        for (auto it = loggedIn.begin(); it != loggedIn.end();) {
            const bool stillThere = std::any_of(present.begin(), present.end(), [&](const std::string& p) {
                return p.substr(p.find('\n') + 1) == *it;  // past the slot id
            });
            it = stillThere ? std::next(it) : loggedIn.erase(it);
        }
        return true;
    }

    std::vector<PKCS11_SLOT*> PresentSlots() {
        std::vector<PKCS11_SLOT*> present;
        for (unsigned int i = 0; i < slotCount; ++i) {
            if (slots[i].token != nullptr && slots[i].token->initialized) {
                present.push_back(&slots[i]);
            }
        }
        return present;
    }

    PKCS11_SLOT* FindSlot(const std::string& label, const std::string& serial) {
        for (PKCS11_SLOT* slot : PresentSlots()) {
            const PKCS11_TOKEN* token = slot->token;
            if (label == (token->label != nullptr ? token->label : "") &&
                serial == (token->serialnr != nullptr ? token->serialnr : "")) {
                return slot;
            }
        }
        return nullptr;
    }

    // Logs the token in once per insertion. A wrong PIN is reported, never retried.
    // `justNow` tells whether this call logged in.
    int EnsureLoggedIn(PKCS11_SLOT* slot, bool& justNow) {
        PKCS11_TOKEN* token = slot->token;
        const std::string key = TokenKey(token);
        justNow = false;
        if (loggedIn.count(key) != 0) {
            return QUARNPKI_OK;
        }
        justNow = true;
        if (token->userPinLocked) {
            SetError("the token is locked after too many wrong PINs");
            return QUARNPKI_PIN_LOCKED;
        }
        // libp11 remembers a login across a removal; switching the session mode makes it start
        // from fresh sessions and forget it.
        PKCS11_open_session(slot, 1);
        PKCS11_open_session(slot, 0);
        const std::string label = token->label != nullptr ? token->label : "";
        int rc = QUARNPKI_OK;
        if (token->secureLogin) {
            // The PIN is entered on the token's own keypad.
            rc = PKCS11_login(slot, 0, nullptr) == 0 ? QUARNPKI_OK : QUARNPKI_FAILED;
        } else if (!token->loginRequired) {
            loggedIn.insert(key);
            return QUARNPKI_OK;
        } else {
            CSecretText pin;
            const int asked = AskPin(label, token->userPinFinalTry ? 1 : -1, pin);
            if (asked != QUARNPKI_OK) {
                SetError("no PIN was given for token " + label);
                return asked;
            }
            rc = PKCS11_login(slot, 0, pin.c_str()) == 0 ? QUARNPKI_OK : QUARNPKI_FAILED;
        }
        if (rc != QUARNPKI_OK) {
            const std::set<int> reasons = DrainTokenErrors();
            if (reasons.count(kCkrPinIncorrect) != 0) {
                SetError("token " + label + " refused the PIN");
                return QUARNPKI_PIN_INCORRECT;
            }
            if (reasons.count(kCkrPinLocked) != 0) {
                SetError("token " + label + " is locked after too many wrong PINs");
                return QUARNPKI_PIN_LOCKED;
            }
            SetError("login to token " + label + " failed");
            return LostSession(reasons) ? QUARNPKI_TOKEN_ABSENT : QUARNPKI_FAILED;
        }
        loggedIn.insert(key);
        return QUARNPKI_OK;
    }

    void ForgetLogin(PKCS11_SLOT* slot) { loggedIn.erase(TokenKey(slot->token)); }

private:
    bool Load() {
        const char* configured = std::getenv("KELVANE_PKCS11_MODULE");
        const std::string module = configured != nullptr && *configured != '\0' ? configured : "p11-kit-proxy.so";
        PKCS11_CTX* created = PKCS11_CTX_new();
        if (created == nullptr) {
            SetError("out of memory");
            return false;
        }
        if (PKCS11_CTX_load(created, module.c_str()) != 0) {
            DrainTokenErrors();
            PKCS11_CTX_free(created);
            SetError("the token module " + module + " cannot be loaded");
            return false;
        }
        // The module is already initialised by libp11; its function list answers which tokens
        // are present without disturbing libp11's sessions.
        module_ = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList = module_ != nullptr
                           ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"))
                           : nullptr;
        if (getList == nullptr || getList(&functions) != CKR_OK) {
            PKCS11_CTX_unload(created);
            PKCS11_CTX_free(created);
            SetError("the token module " + module + " has no function list");
            return false;
        }
        ctx = created;
        return true;
    }

    // "slot id, label, serial" of every slot with a token, each ending in label and serial as
    // TokenKey writes them.
    bool PresentTokens(std::vector<std::string>& present) const {
        CK_ULONG count = 0;
        if (functions->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) {
            return false;
        }
        std::vector<CK_SLOT_ID> ids(count);
        if (count > 0 && functions->C_GetSlotList(CK_TRUE, ids.data(), &count) != CKR_OK) {
            return false;
        }
        ids.resize(count);
        for (const CK_SLOT_ID id : ids) {
            CK_TOKEN_INFO info {};
            if (functions->C_GetTokenInfo(id, &info) != CKR_OK) {
                continue;
            }
            present.push_back(std::to_string(id) + '\n' + Trimmed(info.label, sizeof info.label) + '\n' +
                              Trimmed(info.serialNumber, sizeof info.serialNumber));
        }
        return true;
    }

    static std::string Trimmed(const unsigned char* text, size_t size) {
        std::string value(reinterpret_cast<const char*>(text), size);
        value.erase(value.find_last_not_of(' ') + 1);
        return value;
    }

    PKCS11_CTX* ctx = nullptr;
    void* module_ = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    PKCS11_SLOT* slots = nullptr;
    unsigned int slotCount = 0;
    std::vector<std::pair<PKCS11_SLOT*, unsigned int>> retired;
    std::vector<std::string> lastPresent;
    std::set<std::string> loggedIn;  // label and serial number of the tokens logged in
};

PkeyPtr PublicKeyOf(PKCS11_KEY* key) {
    return PkeyPtr(PKCS11_get_public_key(key));
}

std::shared_ptr<CKeyMaterial> MakeMaterial(const PKCS11_TOKEN* token, const unsigned char* id, size_t idLength,
                                           PkeyPtr publicKey) {
    auto material = std::make_shared<CKeyMaterial>();
    material->publicKey = std::move(publicKey);
    material->tokenLabel = token->label != nullptr ? token->label : "";
    material->tokenSerial = token->serialnr != nullptr ? token->serialnr : "";
    material->keyId.assign(id, id + idLength);
    return material;
}

// The key pairs of a token as seen without a login: its public-key objects, then the
// certificates whose key has no public-key object.
std::vector<std::shared_ptr<CKeyMaterial>> KeypairsOf(PKCS11_SLOT* slot, bool& lost) {
    std::vector<std::shared_ptr<CKeyMaterial>> found;
    PKCS11_TOKEN* token = slot->token;
    PKCS11_KEY* keys = nullptr;
    unsigned int keyCount = 0;
    // libp11 may list an object twice once the token is logged in; each key pair counts once.
    const auto known = [&found](EVP_PKEY* key) {
        return std::any_of(found.begin(), found.end(),
                           [key](const auto& k) { return EVP_PKEY_eq(k->publicKey.get(), key) == 1; });
    };
    if (PKCS11_enumerate_public_keys(token, &keys, &keyCount) == 0) {
        for (unsigned int i = 0; i < keyCount; ++i) {
            PkeyPtr pub = PublicKeyOf(&keys[i]);
            if (pub && !known(pub.get())) {
                found.push_back(MakeMaterial(token, keys[i].id, keys[i].id_len, std::move(pub)));
            }
        }
    }
    PKCS11_CERT* certs = nullptr;
    unsigned int certCount = 0;
    if (PKCS11_enumerate_certs(token, &certs, &certCount) == 0) {
        for (unsigned int i = 0; i < certCount; ++i) {
            EVP_PKEY* certKey = certs[i].x509 != nullptr ? X509_get0_pubkey(certs[i].x509) : nullptr;
            if (certKey == nullptr) {
                continue;
            }
            if (!known(certKey) && EVP_PKEY_up_ref(certKey) == 1) {
                found.push_back(MakeMaterial(token, certs[i].id, certs[i].id_len, PkeyPtr(certKey)));
            }
        }
    }
    lost = LostSession(DrainTokenErrors());
    return found;
}

// The key pairs of every present token (or of one), listing afresh once when a session turns
// out to be lost.
std::vector<std::pair<PKCS11_SLOT*, std::vector<std::shared_ptr<CKeyMaterial>>>> AllKeypairs(
    CTokenLayer& layer, const std::string* label, const std::string* serial) {
    std::vector<std::pair<PKCS11_SLOT*, std::vector<std::shared_ptr<CKeyMaterial>>>> all;
    for (int attempt = 0; attempt < 2; ++attempt) {
        all.clear();
        if (!layer.Refresh(attempt > 0)) {
            return all;
        }
        bool anyLost = false;
        for (PKCS11_SLOT* slot : layer.PresentSlots()) {
            const PKCS11_TOKEN* token = slot->token;
            if ((label != nullptr && *label != (token->label != nullptr ? token->label : "")) ||
                (serial != nullptr && *serial != (token->serialnr != nullptr ? token->serialnr : ""))) {
                continue;
            }
            bool lost = false;
            auto keypairs = KeypairsOf(slot, lost);
            if (lost) {
                layer.ForgetLogin(slot);
                anyLost = true;
            }
            all.emplace_back(slot, std::move(keypairs));
        }
        if (!anyLost) {
            break;
        }
    }
    return all;
}

}  // namespace

int WithPrivateKey(const CKeyMaterial& key, const std::function<int(EVP_PKEY*)>& operation) {
    if (!key.OnToken()) {
        return operation(key.softwareKey.get());
    }
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    // A session lost to a removal that nobody noticed shows only now; the second attempt starts
    // from a fresh slot list and logs in again, so that the token works for the rest of the run.
    for (int attempt = 0;; ++attempt) {
        const bool lastAttempt = attempt > 0;
        if (!layer.Refresh(lastAttempt)) {
            return QUARNPKI_FAILED;
        }
        PKCS11_SLOT* slot = layer.FindSlot(key.tokenLabel, key.tokenSerial);
        if (slot == nullptr) {
            SetError("token " + key.tokenLabel + " is not present");
            return QUARNPKI_TOKEN_ABSENT;
        }
        bool justLoggedIn = false;
        const int login = layer.EnsureLoggedIn(slot, justLoggedIn);
        if (login != QUARNPKI_OK) {
            return login;
        }
        PKCS11_KEY* keys = nullptr;
        unsigned int count = 0;
        PKCS11_KEY* privateKey = nullptr;
        if (PKCS11_enumerate_keys(slot->token, &keys, &count) == 0) {
            for (unsigned int i = 0; i < count && privateKey == nullptr; ++i) {
                if (keys[i].id_len == key.keyId.size() && std::equal(key.keyId.begin(), key.keyId.end(), keys[i].id)) {
                    privateKey = &keys[i];
                }
            }
        }
        const std::set<int> listing = DrainTokenErrors();
        if (privateKey == nullptr) {
            // Private keys are visible only to a logged-in session: missing ones after an
            // earlier login mean that the login was lost.
            if (!lastAttempt && (LostSession(listing) || !justLoggedIn)) {
                layer.ForgetLogin(slot);
                continue;
            }
            SetError("token " + key.tokenLabel + " holds no private key for this key pair");
            return QUARNPKI_FAILED;
        }
        PkeyPtr pkey(PKCS11_get_private_key(privateKey));
        if (!pkey) {
            DrainTokenErrors();
            SetError("the token's private key cannot be used");
            return QUARNPKI_FAILED;
        }
        const int rc = operation(pkey.get());
        if (rc != QUARNPKI_OK && LostSession(DrainTokenErrors())) {
            layer.ForgetLogin(slot);
            if (!lastAttempt) {
                continue;
            }
            SetError("token " + key.tokenLabel + " lost its session");
            return QUARNPKI_TOKEN_ABSENT;
        }
        return rc;
    }
}

std::shared_ptr<CKeyMaterial> FindTokenKeypair(EVP_PKEY* publicKey, const CDeviceHandle* device) {
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    if (publicKey == nullptr) {
        return nullptr;
    }
    for (auto& [slot, keypairs] : AllKeypairs(layer, device ? &device->label : nullptr, device ? &device->serial : nullptr)) {
        for (auto& material : keypairs) {
            if (EVP_PKEY_eq(material->publicKey.get(), publicKey) == 1) {
                return material;
            }
        }
    }
    SetError("no present token holds the key");
    return nullptr;
}

std::vector<std::shared_ptr<CKeyMaterial>> TokenKeypairs(const CDeviceHandle& device) {
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    auto all = AllKeypairs(layer, &device.label, &device.serial);
    if (all.empty()) {
        SetError("token " + device.label + " is not present");
        return {};
    }
    return std::move(all.front().second);
}

std::vector<CTokenCertificate> TokenCertificates() {
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    std::vector<CTokenCertificate> found;
    for (auto& [slot, keypairs] : AllKeypairs(layer, nullptr, nullptr)) {
        PKCS11_CERT* certs = nullptr;
        unsigned int count = 0;
        if (PKCS11_enumerate_certs(slot->token, &certs, &count) != 0) {
            continue;
        }
        std::set<std::string> seen;  // fingerprints: libp11 may list a certificate twice
        for (unsigned int i = 0; i < count; ++i) {
            if (certs[i].x509 == nullptr) {
                continue;
            }
            unsigned char md[EVP_MAX_MD_SIZE];
            unsigned int mdLength = 0;
            if (X509_digest(certs[i].x509, EVP_sha256(), md, &mdLength) != 1 ||
                !seen.insert(std::string(reinterpret_cast<char*>(md), mdLength)).second) {
                continue;
            }
            for (const auto& material : keypairs) {
                if (EVP_PKEY_eq(material->publicKey.get(), X509_get0_pubkey(certs[i].x509)) == 1) {
                    CTokenCertificate entry;
                    entry.cert.reset(X509_dup(certs[i].x509));
                    entry.keypair = material;
                    entry.objectLabel = certs[i].label != nullptr ? certs[i].label : "";
                    if (entry.cert) {
                        found.push_back(std::move(entry));
                    }
                    break;
                }
            }
        }
    }
    DrainTokenErrors();
    return found;
}

bool FindPresentToken(const std::string& serial, std::string& label) {
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    if (!layer.Refresh()) {
        return false;
    }
    for (PKCS11_SLOT* slot : layer.PresentSlots()) {
        if (serial == (slot->token->serialnr != nullptr ? slot->token->serialnr : "")) {
            label = slot->token->label != nullptr ? slot->token->label : "";
            return true;
        }
    }
    SetError("no present token has that serial number");
    return false;
}

}  // namespace quarnpki
