// The rules server: answers POST /rules with the encrypted rules document of a project.
#pragma once

#include "CTender.h"
#include "IDevService.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CRulesService : public IDevService
{
public:
    // The clock gives seconds since 1970-01-01 UTC; it decides whether a tender's rules are
    // released.
    using CClock = std::function<std::int64_t()>;

    CRulesService(std::vector<CTender> tenders, CClock clock);

    void Mount(httplib::Server& server) override;

    struct CAnswer
    {
        int status = 200;
        std::string contentType;
        std::string body;
    };
    // The answer to one request body. The body is "projectid=" and the project number, as the
    // workstation sends it: not URL-encoded, so the number is taken as it stands, up to an "&".
    // A released project gets Base64 of its encrypted rules document, byte for byte as in its
    // file; a project whose release time has not come gets the refusal text, encrypted the same
    // way; an unknown project gets 404 with an HTML page.
    CAnswer Answer(const std::string& requestBody) const;

private:
    const CTender* Find(const std::string& project) const;

    std::vector<CTender> tenders;
    CClock clock;
};
