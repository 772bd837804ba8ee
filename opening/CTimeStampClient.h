// The present time for the opening decision, taken from an RFC 3161 time-stamp authority rather
// than from the workstation's clock. The authorities are the ";"-separated list of the settings,
// tried in order until one answers; with an empty list the built-in one is asked.
//
// Responses are verified by the PKI library before their time is read (signature, imprint,
// nonce, and an authority certificate with the timeStamping usage that chains to the trust
// anchors): a time that anyone on the network could forge would let bids open early.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CTimeStampClient
{
public:
    // The authority asked when the settings name none.
    static constexpr char kDefaultAuthority[] = "https://localhost/tsa.asp";

    // 1 when an authority answered with a usable time-stamp, else 0. On success time holds the
    // authority's time as Beijing wall-clock seconds (see OpeningTime.h).
    int GetTimeStamp(std::int64_t* time) const;

    // One authority: 1 or 0. A granted response whose time reads is stored in *time even when the
    // response then lacks its token (a later authority may overwrite it).
    int GetTimeStampFromTSA(std::string url, std::int64_t* time) const;

    // A verified token whose imprint is digest (SHA-256) from the first authority that grants one:
    // 1 with the token (DER ContentInfo), else 0 with the reasons in Failure. The opening record
    // stamps its signature so.
    int GetTimeStampToken(const std::vector<unsigned char>& digest, std::vector<unsigned char>& token) const;

    // The token of the last time-stamp granted (GetTimeStamp's or GetTimeStampToken's), empty
    // before one.
    const std::vector<unsigned char>& LastToken() const { return lastToken; }

    // Why the last authority asked gave no time-stamp: its URL and the reason (the transport's,
    // the verification's, the authority's status), empty after a success. Also in the local log.
    const std::string& Failure() const { return failure; }

private:
    void Fail(const std::string& url, const std::string& reason) const;
    // One authority asked for a token over digest: 1 or 0, as GetTimeStampFromTSA.
    int Request(const std::string& url, const std::vector<unsigned char>& digest, std::int64_t* time) const;
    // Every authority of the settings in order until one grants; request asks one.
    int AskAuthorities(const std::function<int(const std::string& url)>& request) const;

    mutable std::string failure;
    mutable std::vector<unsigned char> lastToken;
};
