#include "app/PkiSettings.h"

#include "QuarnPKI.h"
#include "app/TextConversion.h"
#include "app/Utility.h"

#include <cstdlib>
#include <string>

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

} // namespace kelvane
