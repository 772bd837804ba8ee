// Whether a service named in the settings answers at all: what `kelvane-cli check` reports for the
// rules server, the log service and each time-stamp authority, and what follows a rules download
// that failed. The probe is an empty POST through the PKI library's HTTP client (its time-outs,
// its proxy rules): any HTTP answer, whatever its status, proves the address right and the server
// up; no answer comes with the transport's reason.
#pragma once

#include <string>

struct CServiceAnswer
{
    bool answered = false;
    int status = 0; // the HTTP status of an answer
    std::string reason; // the transport's reason when none came
};

CServiceAnswer ProbeService(const std::string& url);

// "HTTP <status>", or the transport's reason.
std::string DescribeAnswer(const CServiceAnswer& answer);
