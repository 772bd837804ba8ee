#include "CRulesService.h"

#include "DevLog.h"
#include "RulesCipher.h"

#include <fstream>
#include <httplib.h>
#include <iterator>
#include <utility>

namespace {

constexpr char kRefusalText[] = "bidRulesErrorOutTime";
constexpr char kQueryPrefix[] = "projectid=";

CRulesService::CAnswer HtmlPage(const int status, const std::string& title, const std::string& message)
{
    return { status, "text/html; charset=utf-8",
        "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head><body><h1>" + title + "</h1><p>"
            + message + "</p></body></html>\n" };
}

// The project number as a log shows it: printable ASCII only, so that a request cannot forge
// log lines.
std::string Printable(const std::string& text)
{
    std::string shown;
    for (const char c : text.substr(0, 80)) {
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return shown;
}

} // namespace

CRulesService::CRulesService(std::vector<CTender> served, CClock now)
    : tenders(std::move(served))
    , clock(std::move(now))
{
}

void CRulesService::Mount(httplib::Server& server)
{
    server.Post("/rules", [this](const httplib::Request& request, httplib::Response& response) {
        const CAnswer answer = Answer(request.body);
        response.status = answer.status;
        response.set_content(answer.body, answer.contentType.c_str());
    });
}

const CTender* CRulesService::Find(const std::string& project) const
{
    for (const CTender& tender : tenders) {
        if (tender.project == project) {
            return &tender;
        }
    }
    return nullptr;
}

CRulesService::CAnswer CRulesService::Answer(const std::string& requestBody) const
{
    if (requestBody.rfind(kQueryPrefix, 0) != 0) {
        DevLog("rules: request without projectid");
        return HtmlPage(400, "400 Bad Request", "The request names no project.");
    }
    const std::string project
        = requestBody.substr(sizeof kQueryPrefix - 1, requestBody.find('&') - (sizeof kQueryPrefix - 1));
    const CTender* tender = Find(project);
    if (tender == nullptr) {
        DevLog("rules: unknown project " + Printable(project));
        return HtmlPage(404, "404 Not Found", "There is no tender for this project.");
    }
    std::string plain;
    if (clock() < tender->releaseTime) {
        DevLog("rules: " + tender->project + " not released yet, refused");
        plain = kRefusalText;
    } else {
        std::ifstream in(tender->RulesFile(), std::ios::binary);
        plain.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            DevLog("rules: cannot read " + tender->RulesFile().string());
            return HtmlPage(500, "500 Internal Server Error", "The rules document cannot be read.");
        }
        DevLog("rules: " + tender->project + " served, " + std::to_string(plain.size()) + " bytes");
    }
    const std::optional<std::string> encoded = EncryptRulesAnswer(plain);
    if (!encoded) {
        return HtmlPage(500, "500 Internal Server Error", "The rules document cannot be encrypted.");
    }
    return { 200, "text/plain", *encoded };
}
