// The handle behind Quelvar's exports: one tender's rules, fetched from the rules server.
#pragma once

#include "Quelvar.h"
#include "core/RulesParser.h"

#include <string>

class CQuelvar
{
public:
    // Each returns a Quelvar result code; arguments have been checked by the exports.
    int SetTargetUrl(const char* url);
    void SetProxy(const char* host, const char* port, const char* user, const char* password);
    int GetRules(const char* postData, int postLen);

    const CBidRules* BidRules() const { return content.bidRules.get(); }
    const std::string& RuleText() const { return ruleText; }
    const CRulesContent& Content() const { return content; }

    // Tests shorten the wait for a stalled server; the exports never change it.
    void SetReceiveTimeoutMs(const int milliseconds) { receiveTimeoutMs = milliseconds; }
    void SetTotalTimeoutMs(const int milliseconds) { totalTimeoutMs = milliseconds; }

private:
    bool DownloadRules(const char* postData, int postLen);
    int DecodeRules();
    int DecryptRules();

    // The rules record and the five document texts, as the document check leaves them.
    CRulesContent content;
    std::string targetUrl;
    bool useProxy = false;
    std::string proxyHost;
    std::string proxyPort;
    std::string proxyUser;
    std::string proxyPassword;
    int receiveTimeoutMs = 10000;
    // The whole download: a rules document is a few kilobytes, and an opening must not wait on a
    // server that keeps the connection alive with a byte now and then.
    int totalTimeoutMs = 60000;
    bool decodeBase64 = true;
    // The response body, then its Base64 decoding, then the decrypted rules document: each stage
    // replaces the one before as soon as its step has succeeded.
    std::string ruleText;
};
