#include "TokenLayer.h"

#include "Prompts.h"
#include "QuarnPKI.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <dlfcn.h>
#include <libp11.h>
#include <map>
#include <mutex>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <p11-kit/pkcs11.h>
#include <set>

namespace quarnpki {
namespace {

// PKCS#11 return values that libp11 leaves in OpenSSL's error queue as reasons.
constexpr int kCkrDeviceError = CKR_DEVICE_ERROR;
constexpr int kCkrDeviceRemoved = CKR_DEVICE_REMOVED;
constexpr int kCkrPinIncorrect = CKR_PIN_INCORRECT;
constexpr int kCkrPinLocked = CKR_PIN_LOCKED;
constexpr int kCkrPinInvalid = CKR_PIN_INVALID;
constexpr int kCkrPinLenRange = CKR_PIN_LEN_RANGE;
constexpr int kCkrSessionClosed = CKR_SESSION_CLOSED;
constexpr int kCkrSessionHandleInvalid = CKR_SESSION_HANDLE_INVALID;
constexpr int kCkrTokenNotPresent = CKR_TOKEN_NOT_PRESENT;
constexpr int kCkrUserNotLoggedIn = CKR_USER_NOT_LOGGED_IN;

// The PKCS#11 reasons in OpenSSL's error queue, which is emptied.
std::set<int> DrainTokenErrors()
{
    std::set<int> reasons;
    const int library = ERR_get_CKR_code();
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
        if (ERR_GET_LIB(e) == library) {
            reasons.insert(ERR_GET_REASON(e));
        }
    }
    return reasons;
}

bool LostSession(const std::set<int>& reasons)
{
    for (const int r : { kCkrDeviceError, kCkrDeviceRemoved, kCkrSessionClosed, kCkrSessionHandleInvalid,
             kCkrTokenNotPresent, kCkrUserNotLoggedIn }) {
        if (reasons.count(r) != 0) {
            return true;
        }
    }
    return false;
}

// How often a PIN prompt (the hook or the terminal) is asked in one login when it keeps giving a
// PIN that the token already refused.
constexpr int kMaxPromptsForRefusedPin = 3;

// The private keys of a token that a session can see, and whether that is all of them: a token
// hides private objects from a session that is not logged in.
struct CPrivateKeyIds
{
    std::set<std::vector<unsigned char>> ids;
    bool complete = false;
};

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// What the token's flags say of the tries left after a wrong PIN.
std::string TriesLeft(CK_FLAGS flags)
{
    if ((flags & CKF_USER_PIN_LOCKED) != 0) {
        return "; the token is now locked";
    }
    if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
        return "; one more wrong PIN locks the token";
    }
    if ((flags & CKF_USER_PIN_COUNT_LOW) != 0) {
        return "; few tries are left before the token locks";
    }
    return {};
}

std::mutex moduleMutex;
std::string modulePath; // empty: p11-kit-proxy.so

std::string ConfiguredModule()
{
    const std::lock_guard lock(moduleMutex);
    return modulePath.empty() ? std::string("p11-kit-proxy.so") : modulePath;
}

// Why libp11 could not load a module: the dynamic loader's reason, or, for a file that loads, its
// initialisation. The operator reads this to fix the module's path or its configuration.
std::string WhyNotLoaded(const std::string& module)
{
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        return reason != nullptr ? reason : "the file cannot be opened";
    }
    dlclose(handle);
    return "the file opens but its C_Initialize fails (is the module's own configuration readable?)";
}

std::string TokenKey(const PKCS11_TOKEN* token)
{
    return std::string(token->label != nullptr ? token->label : "") + '\n'
        + (token->serialnr != nullptr ? token->serialnr : "");
}

class CTokenLayer
{
public:
    static CTokenLayer& Instance()
    {
        // Never destroyed: unloading the module at exit, while other static objects or threads may
        // still hold keys of it, would finalise it under their feet.
        static CTokenLayer* layer = std::make_unique<CTokenLayer>().release();
        return *layer;
    }

    std::recursive_mutex mutex;

    // Loads the module on first use and brings the slot list up to date; `relist` makes a new
    // list even when the same tokens are present, to leave sessions lost to a removal behind.
    // False when the module cannot be loaded.
    bool Refresh(bool relist = false)
    {
        if (ctx == nullptr && !Load()) {
            return false;
        }
        std::vector<CK_SLOT_ID> ids;
        if (!PresentSlotIds(ids)) {
            SetError("the token module cannot list its tokens");
            return false;
        }
        // The tokens' labels and serial numbers are asked again only when the slots that hold a
        // token changed, or when the last answers are older than kIdentitiesKeptFor: SoftHSM reads
        // its token files for each answer (about 150 us) and a reader may ask the card. A token
        // put in the place of another within that time shows when its key is used: the old
        // sessions are lost and the operation lists afresh (`relist`).
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::string> present;
        if (!relist && slots != nullptr && ids == lastIds && now - identitiesRead < kIdentitiesKeptFor) {
            present = lastPresent;
        } else {
            present = TokenIdentities(ids);
            lastIds = ids;
            identitiesRead = now;
        }
        if (slots == nullptr || relist || present != lastPresent) {
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
            usedKeys.clear(); // found through the old list's sessions
            listings.clear();
        }
        // A token that is not present any more is logged out, whatever libp11 remembers.
        for (auto it = loggedIn.begin(); it != loggedIn.end();) {
            const bool stillThere = std::any_of(present.begin(), present.end(), [&](const std::string& p) {
                return p.substr(p.find('\n') + 1) == *it; // past the slot id
            });
            if (!stillThere) {
                ForgetKeysOf(*it);
                listings.erase(*it);
            }
            it = stillThere ? std::next(it) : loggedIn.erase(it);
        }
        return true;
    }

    // Whether the token of a key pair is present now, by one question to its slot in the present
    // list; a token that is not where it was is looked for in a fresh list. False also when the
    // module cannot be loaded.
    bool IsPresent(const std::string& label, const std::string& serial)
    {
        if (ctx == nullptr && !Refresh()) {
            return false;
        }
        if (PKCS11_SLOT* slot = FindSlot(label, serial); slot != nullptr && StillHolds(slot, label, serial)) {
            return true;
        }
        return Refresh() && FindSlot(label, serial) != nullptr;
    }

    // The private key used last with this key pair while its token stays logged in in the same
    // slot, after checking only that this token is still there; null otherwise. The key stays
    // usable with the sessions it was found through: a token pulled and put back meanwhile shows
    // in a lost session when the key is used.
    PkeyPtr UsedKey(const CKeyMaterial& key, PKCS11_SLOT*& slot)
    {
        const std::string token = key.tokenLabel + '\n' + key.tokenSerial;
        const auto it = std::find_if(usedKeys.begin(), usedKeys.end(),
            [&](const CUsedKey& used) { return used.token == token && used.keyId == key.keyId; });
        if (it == usedKeys.end()) {
            return nullptr;
        }
        if (loggedIn.count(token) == 0 || !StillHolds(it->slot, key.tokenLabel, key.tokenSerial)
            || EVP_PKEY_up_ref(it->key.get()) != 1) {
            usedKeys.erase(it);
            return nullptr;
        }
        slot = it->slot;
        return PkeyPtr(it->key.get());
    }

    void KeepUsedKey(const CKeyMaterial& key, PKCS11_SLOT* slot, EVP_PKEY* privateKey)
    {
        if (EVP_PKEY_up_ref(privateKey) != 1) {
            return;
        }
        PkeyPtr kept(privateKey);
        const std::string token = key.tokenLabel + '\n' + key.tokenSerial;
        for (CUsedKey& used : usedKeys) {
            if (used.token == token && used.keyId == key.keyId) {
                used.slot = slot;
                used.key = std::move(kept);
                return;
            }
        }
        usedKeys.push_back({ token, key.keyId, slot, std::move(kept) });
    }

    std::vector<PKCS11_SLOT*> PresentSlots()
    {
        std::vector<PKCS11_SLOT*> present;
        for (unsigned int i = 0; i < slotCount; ++i) {
            if (slots[i].token != nullptr && slots[i].token->initialized) {
                present.push_back(&slots[i]);
            }
        }
        return present;
    }

    PKCS11_SLOT* FindSlot(const std::string& label, const std::string& serial)
    {
        for (PKCS11_SLOT* slot : PresentSlots()) {
            const PKCS11_TOKEN* token = slot->token;
            if (label == (token->label != nullptr ? token->label : "")
                && serial == (token->serialnr != nullptr ? token->serialnr : "")) {
                return slot;
            }
        }
        return nullptr;
    }

    // Logs the token in once per insertion. A wrong PIN is reported, never retried, and never
    // sent to the same token again in this process. `justNow` tells whether this call logged in.
    int EnsureLoggedIn(PKCS11_SLOT* slot, bool& justNow)
    {
        PKCS11_TOKEN* token = slot->token;
        const std::string key = TokenKey(token);
        justNow = false;
        if (loggedIn.count(key) != 0) {
            return QUARNPKI_OK;
        }
        justNow = true;
        ForgetKeysOf(key); // the sessions they were found through are closed below
        listings.erase(key); // a login may show private keys that were hidden
        const std::string label = token->label != nullptr ? token->label : "";
        const std::string serial = token->serialnr != nullptr ? token->serialnr : "";
        const std::string named = "token " + Quoted(label) + " (serial " + serial + ")";
        // libp11's flags are those of the slot listing; the token's own are current.
        if ((TokenFlags(slot) & CKF_USER_PIN_LOCKED) != 0) {
            SetError(named + " is locked after too many wrong PINs");
            return QUARNPKI_PIN_LOCKED;
        }
        // libp11 remembers a login across a removal; switching the session mode makes it start
        // from fresh sessions and forget it.
        // A write-protected token refuses the read-write session; the read-only one must open.
        const bool readWrite = PKCS11_open_session(slot, 1) == 0;
        if (PKCS11_open_session(slot, 0) != 0) {
            const std::set<int> reasons = DrainTokenErrors();
            SetError("no session can be opened on " + named);
            return LostSession(reasons) ? QUARNPKI_TOKEN_ABSENT : QUARNPKI_FAILED;
        }
        if (!readWrite) {
            DrainTokenErrors();
        }
        int rc = QUARNPKI_OK;
        CSecretText pin;
        CPinSource source;
        if (token->secureLogin) {
            // The PIN is entered on the token's own keypad.
            rc = PKCS11_login(slot, 0, nullptr) == 0 ? QUARNPKI_OK : QUARNPKI_FAILED;
        } else if (!token->loginRequired) {
            loggedIn.insert(key);
            return QUARNPKI_OK;
        } else {
            for (int asked = 1;; ++asked) {
                const int answer
                    = AskPin(label, (TokenFlags(slot) & CKF_USER_PIN_FINAL_TRY) != 0 ? 1 : -1, pin, source);
                if (answer == QUARNPKI_CANCELLED) {
                    SetError("no PIN was given for " + named);
                }
                if (answer != QUARNPKI_OK) {
                    return answer;
                }
                if (!Refused(key, pin)) {
                    break;
                }
                const std::string text = named + " already refused the PIN from " + source.name
                    + "; it is not sent to the token again";
                const bool person = !source.repeats;
                if (person && asked < kMaxPromptsForRefusedPin) {
                    Notify(text + ": enter the right PIN");
                    continue;
                }
                SetError(person ? text : text + ", and the token is left out until that PIN is corrected");
                return QUARNPKI_PIN_INCORRECT;
            }
            rc = PKCS11_login(slot, 0, pin.c_str()) == 0 ? QUARNPKI_OK : QUARNPKI_FAILED;
        }
        if (rc != QUARNPKI_OK) {
            const std::set<int> reasons = DrainTokenErrors();
            const bool wrong = reasons.count(kCkrPinIncorrect) != 0;
            if (wrong || reasons.count(kCkrPinLenRange) != 0 || reasons.count(kCkrPinInvalid) != 0) {
                if (!pin.empty()) {
                    Remember(key, pin);
                }
                const CK_FLAGS flags = TokenFlags(slot);
                std::string text = named + " refused the PIN from "
                    + (token->secureLogin ? std::string("its keypad") : source.name)
                    + (wrong ? "" : " (not a PIN of the length or characters it takes)") + TriesLeft(flags);
                if (source.repeats) {
                    text += ". That PIN is not sent to it again: the token is left out until the PIN is "
                            "corrected";
                }
                Notify(text);
                SetError(text);
                return (flags & CKF_USER_PIN_LOCKED) != 0 ? QUARNPKI_PIN_LOCKED : QUARNPKI_PIN_INCORRECT;
            }
            if (reasons.count(kCkrPinLocked) != 0) {
                SetError(named + " is locked after too many wrong PINs");
                return QUARNPKI_PIN_LOCKED;
            }
            SetError("login to " + named + " failed");
            return LostSession(reasons) ? QUARNPKI_TOKEN_ABSENT : QUARNPKI_FAILED;
        }
        loggedIn.insert(key);
        return QUARNPKI_OK;
    }

    // The private-key objects of a token as a session of its own sees them, found by the raw
    // function list so that libp11's cached object lists play no part. A token logged in (by
    // this process, whichever session did it) shows them all.
    CPrivateKeyIds PrivateKeyIds(PKCS11_SLOT* slot)
    {
        CPrivateKeyIds found;
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (functions->C_OpenSession(
                PKCS11_get_slotid_from_slot(slot), CKF_SERIAL_SESSION, nullptr, nullptr, &session)
            != CKR_OK) {
            return found;
        }
        CK_SESSION_INFO info {};
        const bool userSession = functions->C_GetSessionInfo(session, &info) == CKR_OK
            && (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
        CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE pattern[] = { { CKA_CLASS, &privateClass, sizeof privateClass } };
        bool listed = functions->C_FindObjectsInit(session, pattern, 1) == CKR_OK;
        if (listed) {
            CK_OBJECT_HANDLE objects[64];
            CK_ULONG count = 0;
            while ((listed = functions->C_FindObjects(session, objects, 64, &count) == CKR_OK) && count > 0) {
                for (CK_ULONG i = 0; i < count; ++i) {
                    unsigned char id[256];
                    CK_ATTRIBUTE attribute = { CKA_ID, id, sizeof id };
                    if (functions->C_GetAttributeValue(session, objects[i], &attribute, 1) == CKR_OK
                        && attribute.ulValueLen <= sizeof id) {
                        found.ids.emplace(id, id + attribute.ulValueLen);
                    }
                }
            }
            functions->C_FindObjectsFinal(session);
        }
        // This process's other sessions hold the login: closing this one keeps it.
        functions->C_CloseSession(session);
        found.complete = listed && (userSession || !slot->token->loginRequired);
        return found;
    }

    void ForgetLogin(PKCS11_SLOT* slot)
    {
        loggedIn.erase(TokenKey(slot->token));
        ForgetKeysOf(TokenKey(slot->token));
        listings.erase(TokenKey(slot->token));
    }

    // The key pairs listed on the token in this slot since the slot list was made and the token
    // was logged in (or not), or null: objects are listed once per insertion and login, not at
    // every search. A token's objects do not change while it sits in its slot unless a program
    // writes to it; pulling and inserting it again shows such a change.
    const std::vector<std::shared_ptr<CKeyMaterial>>* Listing(PKCS11_SLOT* slot) const
    {
        const auto it = listings.find(TokenKey(slot->token));
        return it != listings.end() ? &it->second : nullptr;
    }

    void KeepListing(PKCS11_SLOT* slot, const std::vector<std::shared_ptr<CKeyMaterial>>& keypairs)
    {
        listings[TokenKey(slot->token)] = keypairs;
    }

    // Before libp11 lists a token's private keys again: the list it replaces may hold the keys
    // kept here.
    void ForgetKeysOf(PKCS11_SLOT* slot) { ForgetKeysOf(TokenKey(slot->token)); }

    // What the token's own flags say of its PIN now (QUARNPKI_PIN_STATE_...).
    int PinState(PKCS11_SLOT* slot) const
    {
        const CK_FLAGS flags = TokenFlags(slot);
        return ((flags & CKF_USER_PIN_COUNT_LOW) != 0 ? QUARNPKI_PIN_STATE_COUNT_LOW : 0)
            | ((flags & CKF_USER_PIN_FINAL_TRY) != 0 ? QUARNPKI_PIN_STATE_FINAL_TRY : 0)
            | ((flags & CKF_USER_PIN_LOCKED) != 0 ? QUARNPKI_PIN_STATE_LOCKED : 0);
    }

private:
    bool Load()
    {
        const std::string module = ConfiguredModule();
        PKCS11_CTX* created = PKCS11_CTX_new();
        if (created == nullptr) {
            SetError("out of memory");
            return false;
        }
        if (PKCS11_CTX_load(created, module.c_str()) != 0) {
            DrainTokenErrors();
            PKCS11_CTX_free(created);
            SetError("the PKCS#11 module " + module + " cannot be loaded: " + WhyNotLoaded(module));
            return false;
        }
        // The module is already initialised by libp11; its function list answers which tokens
        // are present without disturbing libp11's sessions.
        moduleHandle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList = moduleHandle != nullptr
            ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(moduleHandle, "C_GetFunctionList"))
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
    // The slots that hold a token.
    bool PresentSlotIds(std::vector<CK_SLOT_ID>& ids) const
    {
        CK_ULONG count = 0;
        if (functions->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) {
            return false;
        }
        ids.resize(count);
        if (count > 0 && functions->C_GetSlotList(CK_TRUE, ids.data(), &count) != CKR_OK) {
            return false;
        }
        ids.resize(count);
        return true;
    }

    // Slot id, label and serial number of the token in each slot.
    std::vector<std::string> TokenIdentities(const std::vector<CK_SLOT_ID>& ids) const
    {
        std::vector<std::string> present;
        for (const CK_SLOT_ID id : ids) {
            CK_TOKEN_INFO info {};
            if (functions->C_GetTokenInfo(id, &info) != CKR_OK) {
                continue;
            }
            present.push_back(std::to_string(id) + '\n' + Trimmed(info.label, sizeof info.label) + '\n'
                + Trimmed(info.serialNumber, sizeof info.serialNumber));
        }
        return present;
    }

    static std::string Trimmed(const unsigned char* text, size_t size)
    {
        std::string value(reinterpret_cast<const char*>(text), size);
        value.erase(value.find_last_not_of(' ') + 1);
        return value;
    }

    PKCS11_CTX* ctx = nullptr;
    void* moduleHandle = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    PKCS11_SLOT* slots = nullptr;
    unsigned int slotCount = 0;
    std::vector<std::pair<PKCS11_SLOT*, unsigned int>> retired;
    std::vector<std::string> lastPresent;
    std::vector<CK_SLOT_ID> lastIds;
    std::chrono::steady_clock::time_point identitiesRead {};
    static constexpr std::chrono::milliseconds kIdentitiesKeptFor { 1000 };
    std::set<std::string> loggedIn; // label and serial number of the tokens logged in
    // Private keys that an operation used, by token (label and serial number) and key id, with
    // the slot they were found in: kept while their token stays logged in in that slot list.
    struct CUsedKey
    {
        std::string token;
        std::vector<unsigned char> keyId;
        PKCS11_SLOT* slot = nullptr;
        PkeyPtr key;
    };
    std::vector<CUsedKey> usedKeys;
    // The key pairs of each token (label and serial number) as listed in the present slot list.
    std::map<std::string, std::vector<std::shared_ptr<CKeyMaterial>>> listings;
    // Per token (label and serial number), keyed digests of the PINs it refused; the key is made
    // afresh for each process, so the digests tell nothing outside it.
    std::map<std::string, std::vector<std::array<unsigned char, 32>>> refused;
    std::array<unsigned char, 32> refusedKey {};
    bool refusedKeyMade = false;

    // Whether the slot holds the token with this label and serial number now.
    bool SlotHolds(PKCS11_SLOT* slot, const std::string& label, const std::string& serial) const
    {
        CK_TOKEN_INFO info {};
        return functions->C_GetTokenInfo(PKCS11_get_slotid_from_slot(slot), &info) == CKR_OK
            && Trimmed(info.label, sizeof info.label) == label
            && Trimmed(info.serialNumber, sizeof info.serialNumber) == serial;
    }

    // Whether the slot still holds the token. A logged-in token is checked by asking only whether
    // the slot has a token, which readers answer without the token (SoftHSM reads its token files
    // for the token's own information: about 150 us against 7): a token put in its place is not
    // logged in, so a private-key operation through the old sessions fails and the key is looked
    // for afresh. Any other token is asked its label and serial.
    bool StillHolds(PKCS11_SLOT* slot, const std::string& label, const std::string& serial) const
    {
        if (loggedIn.count(label + '\n' + serial) == 0) {
            return SlotHolds(slot, label, serial);
        }
        CK_SLOT_INFO info {};
        return functions->C_GetSlotInfo(PKCS11_get_slotid_from_slot(slot), &info) == CKR_OK
            && (info.flags & CKF_TOKEN_PRESENT) != 0;
    }

    void ForgetKeysOf(const std::string& token)
    {
        usedKeys.erase(std::remove_if(usedKeys.begin(), usedKeys.end(),
                           [&](const CUsedKey& used) { return used.token == token; }),
            usedKeys.end());
    }

    CK_FLAGS TokenFlags(PKCS11_SLOT* slot) const
    {
        CK_TOKEN_INFO info {};
        return functions->C_GetTokenInfo(PKCS11_get_slotid_from_slot(slot), &info) == CKR_OK ? info.flags : 0;
    }

    std::array<unsigned char, 32> PinDigest(const CSecretText& pin)
    {
        if (!refusedKeyMade) {
            refusedKeyMade = RAND_bytes(refusedKey.data(), static_cast<int>(refusedKey.size())) == 1;
        }
        std::array<unsigned char, 32> digest {};
        unsigned int length = 0;
        HMAC(EVP_sha256(), refusedKey.data(), static_cast<int>(refusedKey.size()),
            reinterpret_cast<const unsigned char*>(pin.c_str()), pin.size(), digest.data(), &length);
        return digest;
    }

    bool Refused(const std::string& key, const CSecretText& pin)
    {
        const auto it = refused.find(key);
        return it != refused.end()
            && std::find(it->second.begin(), it->second.end(), PinDigest(pin)) != it->second.end();
    }

    void Remember(const std::string& key, const CSecretText& pin) { refused[key].push_back(PinDigest(pin)); }
};

PkeyPtr PublicKeyOf(PKCS11_KEY* key)
{
    return PkeyPtr(PKCS11_get_public_key(key));
}

std::shared_ptr<CKeyMaterial> MakeMaterial(
    const PKCS11_TOKEN* token, const unsigned char* id, size_t idLength, PkeyPtr publicKey)
{
    auto material = std::make_shared<CKeyMaterial>();
    material->publicKey = std::move(publicKey);
    material->tokenLabel = token->label != nullptr ? token->label : "";
    material->tokenSerial = token->serialnr != nullptr ? token->serialnr : "";
    material->keyId.assign(id, id + idLength);
    return material;
}

// The key pairs of a token as seen without a login: its public-key objects, then the
// certificates whose key has no public-key object. Those whose private key the token shows to
// be missing are marked.
std::vector<std::shared_ptr<CKeyMaterial>> KeypairsOf(CTokenLayer& layer, PKCS11_SLOT* slot, bool& lost)
{
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
    // A certificate alone is no key pair. A token that hides private keys until login cannot
    // tell before it; such a key pair is checked again when its private key is used.
    const CPrivateKeyIds privateKeys = layer.PrivateKeyIds(slot);
    for (auto& material : found) {
        material->privateKeyMissing
            = privateKeys.complete && !material->keyId.empty() && privateKeys.ids.count(material->keyId) == 0;
    }
    return found;
}

// The key pairs of every present token (or of one), listing afresh once when a session turns
// out to be lost.
std::vector<std::pair<PKCS11_SLOT*, std::vector<std::shared_ptr<CKeyMaterial>>>> AllKeypairs(
    CTokenLayer& layer, const std::string* label, const std::string* serial)
{
    std::vector<std::pair<PKCS11_SLOT*, std::vector<std::shared_ptr<CKeyMaterial>>>> all;
    for (int attempt = 0; attempt < 2; ++attempt) {
        all.clear();
        if (!layer.Refresh(attempt > 0)) {
            return all;
        }
        bool anyLost = false;
        for (PKCS11_SLOT* slot : layer.PresentSlots()) {
            const PKCS11_TOKEN* token = slot->token;
            if ((label != nullptr && *label != (token->label != nullptr ? token->label : ""))
                || (serial != nullptr && *serial != (token->serialnr != nullptr ? token->serialnr : ""))) {
                continue;
            }
            if (const auto* listed = layer.Listing(slot)) {
                all.emplace_back(slot, *listed);
                continue;
            }
            bool lost = false;
            auto keypairs = KeypairsOf(layer, slot, lost);
            if (lost) {
                layer.ForgetLogin(slot);
                anyLost = true;
            } else {
                layer.KeepListing(slot, keypairs);
            }
            all.emplace_back(slot, std::move(keypairs));
        }
        if (!anyLost) {
            break;
        }
    }
    return all;
}

} // namespace

int WithPrivateKey(const CKeyMaterial& key, const std::function<int(EVP_PKEY*)>& operation)
{
    if (!key.OnToken()) {
        return operation(key.softwareKey.get());
    }
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    // A session lost to a removal that nobody noticed shows only now; the second attempt starts
    // from a fresh slot list and logs in again, so that the token works for the rest of the run.
    int firstAttempt = 0;
    // The key used last, when its token is still there: no listing of tokens or objects.
    PKCS11_SLOT* usedSlot = nullptr;
    if (PkeyPtr used = layer.UsedKey(key, usedSlot)) {
        const int rc = operation(used.get());
        if (rc == QUARNPKI_OK) {
            return rc;
        }
        // Any failure is tried again through the listing of the token's keys, which shows a
        // session lost meanwhile even when the operation's own error did not say so.
        layer.ForgetKeysOf(usedSlot);
        if (LostSession(DrainTokenErrors())) {
            layer.ForgetLogin(usedSlot);
            firstAttempt = 1;
        }
    }
    for (int attempt = firstAttempt;; ++attempt) {
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
        layer.ForgetKeysOf(slot);
        if (PKCS11_enumerate_keys(slot->token, &keys, &count) == 0) {
            for (unsigned int i = 0; i < count && privateKey == nullptr; ++i) {
                if (keys[i].id_len == key.keyId.size()
                    && std::equal(key.keyId.begin(), key.keyId.end(), keys[i].id)) {
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
            SetError("token " + Quoted(key.tokenLabel) + " holds the certificate but not its private key");
            return QUARNPKI_NO_PRIVATE_KEY;
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
        if (rc == QUARNPKI_OK) {
            layer.KeepUsedKey(key, slot, pkey.get());
        }
        return rc;
    }
}

std::shared_ptr<CKeyMaterial> FindTokenKeypair(
    EVP_PKEY* publicKey, const CDeviceHandle* device, bool* privateKeyMissing)
{
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    if (publicKey == nullptr) {
        return nullptr;
    }
    std::string withoutPrivateKey;
    for (auto& [slot, keypairs] :
        AllKeypairs(layer, device ? &device->label : nullptr, device ? &device->serial : nullptr)) {
        for (auto& material : keypairs) {
            if (EVP_PKEY_eq(material->publicKey.get(), publicKey) == 1) {
                if (!material->privateKeyMissing) {
                    return material;
                }
                withoutPrivateKey = material->tokenLabel;
            }
        }
    }
    if (privateKeyMissing != nullptr) {
        *privateKeyMissing = !withoutPrivateKey.empty();
    }
    SetError(withoutPrivateKey.empty()
            ? "no present token holds the key"
            : "token " + Quoted(withoutPrivateKey) + " holds the certificate but not its private key");
    return nullptr;
}

std::vector<std::shared_ptr<CKeyMaterial>> TokenKeypairs(const CDeviceHandle& device)
{
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    auto all = AllKeypairs(layer, &device.label, &device.serial);
    if (all.empty()) {
        SetError("token " + device.label + " is not present");
        return {};
    }
    auto& keypairs = all.front().second;
    keypairs.erase(
        std::remove_if(keypairs.begin(), keypairs.end(), [](const auto& k) { return k->privateKeyMissing; }),
        keypairs.end());
    return std::move(keypairs);
}

std::vector<CTokenCertificate> TokenCertificates()
{
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    std::vector<CTokenCertificate> found;
    for (auto& [slot, keypairs] : AllKeypairs(layer, nullptr, nullptr)) {
        PKCS11_CERT* certs = nullptr;
        unsigned int count = 0;
        if (PKCS11_enumerate_certs(slot->token, &certs, &count) != 0) {
            continue;
        }
        std::set<std::string> seen; // fingerprints: libp11 may list a certificate twice
        for (unsigned int i = 0; i < count; ++i) {
            if (certs[i].x509 == nullptr) {
                continue;
            }
            unsigned char md[EVP_MAX_MD_SIZE];
            unsigned int mdLength = 0;
            if (X509_digest(certs[i].x509, EVP_sha256(), md, &mdLength) != 1
                || !seen.insert(std::string(reinterpret_cast<char*>(md), mdLength)).second) {
                continue;
            }
            for (const auto& material : keypairs) {
                if (!material->privateKeyMissing
                    && EVP_PKEY_eq(material->publicKey.get(), X509_get0_pubkey(certs[i].x509)) == 1) {
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

int CertificateOnTokens(X509* cert, std::string& tokenLabel, int& pinState)
{
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    EVP_PKEY* publicKey = X509_get0_pubkey(cert);
    int best = QUARNPKI_CERT_NOT_ON_TOKEN;
    for (auto& [slot, keypairs] : AllKeypairs(layer, nullptr, nullptr)) {
        int found = QUARNPKI_CERT_NOT_ON_TOKEN;
        for (const auto& material : keypairs) {
            if (publicKey != nullptr && EVP_PKEY_eq(material->publicKey.get(), publicKey) == 1) {
                found = std::max(
                    found, material->privateKeyMissing ? QUARNPKI_CERT_WITHOUT_KEY : QUARNPKI_CERT_WITH_KEY);
            }
        }
        // Not the certificate, but one under its subject: issued since to a new key.
        PKCS11_CERT* certs = nullptr;
        unsigned int count = 0;
        if (found == QUARNPKI_CERT_NOT_ON_TOKEN && PKCS11_enumerate_certs(slot->token, &certs, &count) == 0) {
            for (unsigned int i = 0; i < count; ++i) {
                if (certs[i].x509 != nullptr
                    && X509_NAME_cmp(X509_get_subject_name(certs[i].x509), X509_get_subject_name(cert))
                        == 0) {
                    found = QUARNPKI_CERT_SUBJECT_ONLY;
                }
            }
        }
        if (found > best) {
            best = found;
            tokenLabel = slot->token->label != nullptr ? slot->token->label : "";
            pinState = layer.PinState(slot);
        }
    }
    DrainTokenErrors();
    return best;
}

bool IsTokenPresent(const CKeyMaterial& key)
{
    if (!key.OnToken()) {
        return true;
    }
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    return layer.IsPresent(key.tokenLabel, key.tokenSerial);
}

bool PresentTokenLabels(std::vector<std::string>& labels)
{
    CTokenLayer& layer = CTokenLayer::Instance();
    const std::lock_guard lock(layer.mutex);
    if (!layer.Refresh()) {
        return false;
    }
    for (PKCS11_SLOT* slot : layer.PresentSlots()) {
        labels.emplace_back(slot->token->label != nullptr ? slot->token->label : "");
    }
    return true;
}

bool FindPresentToken(const std::string& serial, std::string& label)
{
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

} // namespace quarnpki

extern "C" {

int QuarnPKICryptoListTokens(char** labels, int* count)
{
    return quarnpki::Guarded(QUARNPKI_FAILED, [&] {
        if (labels == nullptr || count == nullptr) {
            return QUARNPKI_INVALID_ARGUMENT;
        }
        std::vector<std::string> present;
        if (!quarnpki::PresentTokenLabels(present)) {
            return QUARNPKI_FAILED;
        }
        std::string text;
        for (const std::string& label : present) {
            text += label + '\n';
        }
        *count = static_cast<int>(present.size());
        return quarnpki::HandOutText(text, labels);
    });
}

void QuarnPKISetPkcs11Module(const char* path)
{
    const std::lock_guard lock(quarnpki::moduleMutex);
    quarnpki::modulePath = path != nullptr ? path : "";
}

} // extern "C"
