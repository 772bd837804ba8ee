#include "app/ServiceProbe.h"

#include "PkiPtr.h"
#include "QuarnPKI.h"

CServiceAnswer ProbeService(const std::string& url)
{
    CServiceAnswer answer;
    if (url.empty()) {
        answer.reason = "no URL is set";
        return answer;
    }
    unsigned char* rawBody = nullptr;
    int bodyLength = 0;
    const int result = QuarnPKICryptoHttpPost(
        url.c_str(), nullptr, 0, nullptr, 0, &answer.status, nullptr, &rawBody, &bodyLength);
    const kelvane::pki::BytesPtr body(rawBody);
    answer.answered = result == 1;
    if (!answer.answered)
        answer.reason = QuarnPKIGetLastError();
    return answer;
}

std::string DescribeAnswer(const CServiceAnswer& answer)
{
    return answer.answered ? "HTTP " + std::to_string(answer.status) : answer.reason;
}
