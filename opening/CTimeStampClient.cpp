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

void LogFailure(const std::string& url, const char* step)
{
    WriteLocalLog(2, "time-stamp authority \"%s\": %s failed: %s\n", EscapeControlCharacters(url).c_str(),
        step, EscapeControlCharacters(std::string_view(QuarnPKIGetLastError())).c_str());
}

} // namespace

int CTimeStampClient::GetTimeStamp(std::int64_t* time) const
{
    std::vector<std::wstring> authorities;
    SplitString(CSettingFile::Instance().GetTimeStampUrl(), L';', authorities);
    if (authorities.empty())
        return GetTimeStampFromTSA(kDefaultAuthority, time);
    int result = 0;
    for (const std::wstring& authority : authorities) {
        result = GetTimeStampFromTSA(WideToAnsi(authority), time);
        if (result == 1)
            break;
    }
    return result;
}

int CTimeStampClient::GetTimeStampFromTSA(std::string url, std::int64_t* time) const
{
    if (time == nullptr)
        return 0;
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

    const TimeStampPtr request(QuarnPKIMsgNewTimeStamp());
    if (request == nullptr || QuarnPKIMsgTimeStampSetTSA(request.get(), url.c_str()) != 1
        || QuarnPKIMsgTimeStampSetHashAlgorithm(request.get(), QUARNPKI_HASH_SHA256) != 1
        || QuarnPKIMsgTimeStampSetMessageImprint(request.get(), digest.get(), digestLength) != 1)
        return 0;
    digest.reset();

    int status = -1;
    if (QuarnPKIMsgTimeStampGetResponse(request.get(), &status) != 1) {
        // The library refuses a response it cannot verify; the reason belongs in the log.
        LogFailure(url, "the exchange");
        return 0;
    }
    if (status != kGranted && status != kGrantedWithMods) {
        WriteLocalLog(2, "time-stamp authority \"%s\" refused with status %d\n",
            EscapeControlCharacters(url).c_str(), status);
        return 0;
    }

    char* rawTime = nullptr;
    const int timeResult = QuarnPKIMsgTimeStampGetTime(request.get(), &rawTime);
    const TextPtr timeText(rawTime);
    if (timeResult == 1 && timeText != nullptr) {
        // A time that is no calendar date would decide the opening on garbage.
        const auto beijing = ParseTimeStampTime(timeText.get());
        if (!beijing) {
            WriteLocalLog(2, "time-stamp authority \"%s\" gave an unreadable time \"%s\"\n",
                EscapeControlCharacters(url).c_str(),
                EscapeControlCharacters(std::string_view(timeText.get())).c_str());
            return 0;
        }
        *time = *beijing;
    }

    unsigned char* rawToken = nullptr;
    int tokenLength = 0;
    const int tokenResult = QuarnPKIMsgTimeStampGetTimeStampToken(request.get(), &rawToken, &tokenLength);
    const BytesPtr token(rawToken);
    return tokenResult == 1 ? 1 : 0;
}
