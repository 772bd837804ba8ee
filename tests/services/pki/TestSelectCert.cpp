// Choosing the operator's certificate among the present tokens, and showing a certificate.
#include "PkiTestUtil.h"
#include "PkiTokenSet.h"
#include "QuarnPKI.h"

#include <gtest/gtest.h>

using namespace kelvane::test;

namespace {

const char* kOperatorFilter
    = R"({"UIFlag":"default","InValidity":true,"Type":"signature","Method":"device","Value":"any"})";

std::string CommonName(void* cert)
{
    char* name = nullptr;
    return QuarnPKICertGetCertStringAttribute(cert, 16, &name, nullptr) == 1 ? TakeText(name) : "";
}

struct CChooser
{
    std::vector<std::string> offered;
    int answer = 1;
    std::string pick;

    static int Choose(void* self, void* const* certs, int count, int* chosen)
    {
        auto* chooser = static_cast<CChooser*>(self);
        for (int i = 0; i < count; ++i) {
            chooser->offered.push_back(CommonName(certs[i]));
            if (chooser->offered.back() == chooser->pick) {
                *chosen = i;
            }
        }
        return chooser->answer;
    }
};

class PkiSelectCert : public PkiTokens
{
protected:
    void TearDown() override
    {
        QuarnPKISetCertChooserHook(&kelvane::HeadlessCertChooser, nullptr);
        unsetenv("KELVANE_OPERATOR_CERT");
        PkiTokens::TearDown();
    }
};

TEST_F(PkiSelectCert, OffersValidSignatureCertificatesOnPresentTokens)
{
    CChooser chooser;
    chooser.pick = "操作员 张三";
    QuarnPKISetCertChooserHook(&CChooser::Choose, &chooser);
    void* cert = nullptr;
    ASSERT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), 1);
    std::sort(chooser.offered.begin(), chooser.offered.end());
    // Not the expired one, and none of the encryption certificates.
    EXPECT_EQ(chooser.offered, (std::vector<std::string> { "EC Signer", "操作员 张三" }));
    EXPECT_EQ(CommonName(cert), "操作员 张三");
    // The chosen certificate comes with its key pair: signing needs no further search.
    void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x10000000, 2, nullptr);
    EXPECT_NE(keypair, nullptr);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(cert);
    EXPECT_TRUE(book.asked.empty());
}

TEST_F(PkiSelectCert, CancelGivesMinusEighteen)
{
    CChooser chooser;
    chooser.answer = 0;
    QuarnPKISetCertChooserHook(&CChooser::Choose, &chooser);
    void* cert = reinterpret_cast<void*>(1);
    EXPECT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), -18);
    EXPECT_EQ(cert, nullptr);
    QuarnPKISetCertChooserHook(nullptr, nullptr); // the library alone has nobody to ask
    EXPECT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), -18);
}

TEST_F(PkiSelectCert, HeadlessChoiceByVariableOrRefusal)
{
    void* cert = nullptr;
    // Two signature certificates and no name: the headless chooser cannot choose, and says so
    // rather than report a cancel that nobody made.
    EXPECT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), QUARNPKI_CERT_AMBIGUOUS);
    setenv("KELVANE_OPERATOR_CERT", kOperator.c_str(), 1); // by token label
    ASSERT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), 1);
    EXPECT_EQ(CommonName(cert), "操作员 张三");
    QuarnPKICertFreeCert(cert);

    void* ec = Cert(kEcSigner);
    char* fingerprint = nullptr;
    ASSERT_EQ(QuarnPKICertGetCertStringAttribute(ec, 20, &fingerprint, nullptr), 1);
    std::string lower = TakeText(fingerprint);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    setenv("KELVANE_OPERATOR_CERT", lower.c_str(), 1); // by fingerprint, any case
    ASSERT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), 1);
    EXPECT_EQ(CommonName(cert), "EC Signer");
    QuarnPKICertFreeCert(cert);
    QuarnPKICertFreeCert(ec);

    setenv("KELVANE_OPERATOR_CERT", "nobody", 1);
    EXPECT_EQ(QuarnPKISelectCert(kOperatorFilter, 0, &cert), 0);
    // Only one certificate matches the value: no name needed.
    unsetenv("KELVANE_OPERATOR_CERT");
    ASSERT_EQ(
        QuarnPKISelectCert(R"({"Type":"signature","InValidity":true,"Value":"EC Signer"})", 0, &cert), 1);
    QuarnPKICertFreeCert(cert);
    EXPECT_EQ(QuarnPKISelectCert("not json", 0, &cert), QUARNPKI_INVALID_ARGUMENT);
}

int Viewed(void* self, void* owner, void* cert)
{
    *static_cast<std::string*>(self) = CommonName(cert) + (owner == nullptr ? "" : "+owner");
    return 1;
}

TEST_F(PkiSelectCert, DisplayUsesTheViewerOrPrintsTheFields)
{
    void* cert = Cert(kOperator, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QuarnPKIUIDisplayCert(nullptr, cert), 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("CN=操作员 张三"), std::string::npos) << printed;
    EXPECT_NE(printed.find("SHA-256 fingerprint: "), std::string::npos);

    std::string seen;
    QuarnPKISetCertViewerHook(&Viewed, &seen);
    int window = 0;
    EXPECT_EQ(QuarnPKIUIDisplayCert(&window, cert), 1);
    EXPECT_EQ(seen, "操作员 张三+owner");
    QuarnPKISetCertViewerHook(nullptr, nullptr);
    EXPECT_EQ(QuarnPKIUIDisplayCert(nullptr, nullptr), QUARNPKI_INVALID_ARGUMENT);
    QuarnPKICertFreeCert(cert);
}

} // namespace
