#include "opening/CTimeStampClient.h"

#include "PkiPtr.h"
#include "app/LocalLog.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "opening/OpeningTime.h"

#include <vector>

using namespace kelvane::pki;

namespace {

// The imprint of every request is the digest of this fixed message: the time is asked for, and
// nothing of the bids leaves the workstation.
constexpr int kMessageLength = 80;
constexpr unsigned char kMessageByte = 0x01;

// RFC 3161 PKIStatus: granted, grantedWithMods.
constexpr int kGranted = 0;
constexpr int kGrantedWithMods = 1;

} // namespace

void CTimeStampClient::Fail(const std::string& url, const std::string& reason) const
{
    failure = EscapeControlCharacters(url.empty() ? std::string("\"\"") : url) + ": "
        + EscapeControlCharacters(std::string_view(reason));
    WriteLocalLog(2, "time-stamp authority %s\n", failure.c_str());
}

int CTimeStampClient::AskAuthorities(const std::function<int(const std::string& url)>& request) const
{
    std::vector<std::wstring> authorities;
    SplitString(CSettingFile::Instance().GetTimeStampUrl(), L';', authorities);
    if (authorities.empty())
        return request(kDefaultAuthority);
    int result = 0;
    std::string failures; // every authority's, not only the last one's
    for (const std::wstring& authority : authorities) {
        result = request(WideToAnsi(authority));
        if (result == 1)
            break;
        failures += (failures.empty() ? "" : "; ") + failure;
    }
    failure = result == 1 ? std::string() : failures;
    return result;
}

int CTimeStampClient::GetTimeStamp(std::int64_t* time) const
{
    return AskAuthorities([this, time](const std::string& url) { return GetTimeStampFromTSA(url, time); });
}

int CTimeStampClient::GetTimeStampToken(
    const std::vector<unsigned char>& digest, std::vector<unsigned char>& token) const
{
    std::int64_t time = 0;
    const int result = AskAuthorities(
        [this, &digest, &time](const std::string& url) { return Request(url, digest, &time); });
    token = result == 1 ? lastToken : std::vector<unsigned char>();
    return result;
}

int CTimeStampClient::GetTimeStampFromTSA(std::string url, std::int64_t* time) const
{
    if (time == nullptr)
        return 0;
    failure.clear();
    const std::vector<unsigned char> message(kMessageLength, kMessageByte);

    BytesPtr digest;
    int digestLength = 0;
    {
        HashPtr hash;
        {
            const DevicePtr device(QuarnPKICryptoGetPseudoDevice());
            if (device == nullptr)
                return 0;
            hash.reset(QuarnPKICryptoNewHash(device.get(), QUARNPKI_HASH_SHA256));
        }
        if (hash == nullptr || QuarnPKICryptoHashUpdate(hash.get(), message.data(), kMessageLength) != 1)
            return 0;
        unsigned char* rawDigest = nullptr;
        const int result = QuarnPKICryptoHashFinal(hash.get(), &rawDigest, &digestLength);
        digest.reset(rawDigest);
        if (result != 1 || digest == nullptr)
            return 0;
    }
    return Request(url, std::vector<unsigned char>(digest.get(), digest.get() + digestLength), time);
}

int CTimeStampClient::Request(
    const std::string& url, const std::vector<unsigned char>& digest, std::int64_t* time) const
{
    failure.clear();
    const TimeStampPtr request(QuarnPKIMsgNewTimeStamp());
    if (request == nullptr || QuarnPKIMsgTimeStampSetTSA(request.get(), url.c_str()) != 1
        || QuarnPKIMsgTimeStampSetHashAlgorithm(request.get(), QUARNPKI_HASH_SHA256) != 1
        || QuarnPKIMsgTimeStampSetMessageImprint(
               request.get(), digest.data(), static_cast<int>(digest.size()))
            != 1)
        return 0;

    int status = -1;
    if (QuarnPKIMsgTimeStampGetResponse(request.get(), &status) != 1) {
        // The library refuses a response it cannot verify (or none came); the operator reads why.
        Fail(url, QuarnPKIGetLastError());
        return 0;
    }
    if (status != kGranted && status != kGrantedWithMods) {
        Fail(url, "the authority refused with status " + std::to_string(status));
        return 0;
    }

    char* rawTime = nullptr;
    const int timeResult = QuarnPKIMsgTimeStampGetTime(request.get(), &rawTime);
    const TextPtr timeText(rawTime);
    if (timeResult == 1 && timeText != nullptr) {
        // A time that is no calendar date would decide the opening on garbage.
        const auto beijing = ParseTimeStampTime(timeText.get());
        if (!beijing) {
            Fail(url, "the authority gave an unreadable time \"" + std::string(timeText.get()) + "\"");
            return 0;
        }
        *time = *beijing;
    }

    unsigned char* rawToken = nullptr;
    int tokenLength = 0;
    const int tokenResult = QuarnPKIMsgTimeStampGetTimeStampToken(request.get(), &rawToken, &tokenLength);
    const BytesPtr token(rawToken);
    if (tokenResult != 1)
        Fail(url, "the response carries no time-stamp token");
    else if (token != nullptr && tokenLength > 0)
        lastToken.assign(token.get(), token.get() + tokenLength);
    return tokenResult == 1 ? 1 : 0;
}
