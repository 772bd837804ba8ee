// What the audit tests share: one token set per program (the PKCS#11 module is loaded once), with
// two operator tokens behind the forwarding module so that a test can pull one out, and a settings
// folder of the program's own.
#pragma once

#include "TestTokenSet.h"
#include "app/IPrompt.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace kelvane::test {

inline constexpr char kOperatorP256[] = "Operator P256";
inline constexpr char kOperatorRsa[] = "Operator RSA";
// A token with an operator's certificate and not its key (an encryption certificate, so that the
// chooser's list stays the two above).
inline constexpr char kCertificateOnly[] = "Certificate Only";

// A certificate request; the remaining fields keep their defaults.
inline CTestCertRequest CertRequest(const std::string& commonName, KeyKind kind = KeyKind::P256,
    CertUsage usage = CertUsage::Signature, const std::string& organization = {})
{
    CTestCertRequest request;
    request.commonName = commonName;
    request.organization = organization;
    request.keyKind = kind;
    request.usage = usage;
    return request;
}

inline CTestTokenSet& AuditTokens()
{
    static CTestTokenSet set = [] {
        CTestTokenSet tokens;
        tokens.AddToken(kOperatorP256, "246810",
            { CertRequest("操作员 甲", KeyKind::P256, CertUsage::Signature, "开标中心") });
        tokens.AddToken(kOperatorRsa, "135791", { CertRequest("Operator RSA", KeyKind::Rsa2048) });
        tokens.AddCertificateOnlyToken(
            kCertificateOnly, "112233", { CertRequest("No Key", KeyKind::P256, CertUsage::Encryption) });
        tokens.Activate(true);
        // The settings and the local log of this program live in the token folder, removed with it.
        setenv("XDG_CONFIG_HOME", (tokens.Folder() + "/config").c_str(), 1);
        return tokens;
    }();
    return set;
}

// Writes Setting.ini of the program's settings folder.
inline void WriteSettings(const std::string& text)
{
    const std::filesystem::path folder = AuditTokens().Folder() + "/config/QUARN/rmw";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Setting.ini", std::ios::binary | std::ios::trunc) << text;
}

} // namespace kelvane::test
