#include "app/PkiSettings.h"

#include "PkiPtr.h"
#include "QuarnPKI.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace kelvane {

void SupplyPkiSettings()
{
    QuarnPKISetPkcs11Module(std::getenv("KELVANE_PKCS11_MODULE"));
    const char* const named = std::getenv("KELVANE_TSA_CA");
    const std::wstring settings = GetAppDataDir();
    const std::string settingsAnchor
        = settings.empty() ? std::string() : WideToUtf8(settings) + "/tsa-ca.pem";
    const char* const anchors[] = { named != nullptr ? named : "", settingsAnchor.c_str() };
    QuarnPKISetTimeStampTrustAnchors(anchors, 2);
}

std::string Pkcs11ModuleName()
{
    const char* named = std::getenv("KELVANE_PKCS11_MODULE");
    return named != nullptr && *named != '\0' ? named : "p11-kit-proxy.so";
}

CTokenView ViewTokens()
{
    CTokenView view;
    char* rawLabels = nullptr;
    int count = 0;
    view.loaded = QuarnPKICryptoListTokens(&rawLabels, &count) == 1;
    const pki::TextPtr labels(rawLabels);
    if (!view.loaded) {
        view.reason = QuarnPKIGetLastError();
        return view;
    }
    // Each label ends in a line break.
    std::string_view rest(labels != nullptr ? labels.get() : "");
    for (size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
        view.labels.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    return view;
}

std::string DescribeTokens(const CTokenView& view)
{
    const std::string module = Pkcs11ModuleName();
    const std::string from = std::getenv("KELVANE_PKCS11_MODULE") != nullptr
        ? "KELVANE_PKCS11_MODULE"
        : "the default; KELVANE_PKCS11_MODULE names another";
    if (!view.loaded) // the library's reason names the module and the loader's reason
        return EscapeControlCharacters(view.reason) + " (" + from
            + "); check that the module is installed at that path and that its configuration is readable";
    std::string text = "the PKCS#11 module " + module + " (" + from + ") sees "
        + std::to_string(view.labels.size()) + (view.labels.size() == 1 ? " token" : " tokens");
    for (size_t i = 0; i < view.labels.size(); ++i)
        text += (i == 0 ? ": \"" : ", \"") + EscapeControlCharacters(view.labels[i]) + "\"";
    return text;
}

} // namespace kelvane
