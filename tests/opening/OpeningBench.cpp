#include "OpeningBench.h"

#include "BidSealer.h"
#include "app/LanguageCatalogue.h"
#include "app/PkiSettings.h"
#include "opening/OpeningTime.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kelvane::test {

namespace {

CTestCertRequest Request(const std::string& commonName, CertUsage usage, KeyKind kind = KeyKind::P256,
    const std::string& organization = {})
{
    CTestCertRequest request;
    request.commonName = commonName;
    request.organization = organization;
    request.keyKind = kind;
    request.usage = usage;
    return request;
}

void Write(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::unique_ptr<CTimeStampAuthority> LoadAuthority(
    CTestCa& ca, const fs::path& folder, const std::string& name)
{
    const CTestIssued issued = ca.Issue(Request(name, CertUsage::TimeStamping));
    Write(folder / (name + ".pem"), issued.certPem + ca.CertPem());
    Write(folder / (name + ".key"), issued.keyPem);
    std::string error;
    auto authority = CTimeStampAuthority::Load(folder / (name + ".pem"), folder / (name + ".key"), error);
    if (authority == nullptr)
        throw std::runtime_error("time-stamp authority: " + error);
    return authority;
}

} // namespace

const std::string& OpenTimeText()
{
    static const std::string text = [] {
        const std::int64_t beijing
            = static_cast<std::int64_t>(std::time(nullptr)) + kBeijingOffsetSeconds + 3600;
        const std::wstring shown = FormatWallClock(beijing - beijing % 60);
        return std::string(shown.begin(), shown.end());
    }();
    return text;
}

COpeningBench& COpeningBench::Get(const std::function<void(CTestTokenSet&)>& moreTokens)
{
    static COpeningBench bench(moreTokens);
    return bench;
}

COpeningBench::COpeningBench(const std::function<void(CTestTokenSet&)>& moreTokens)
{
    tokens.AddToken(kOpenerA, "111111", { Request("开标人 A", CertUsage::Encryption, KeyKind::P256) });
    tokens.AddToken(kOpenerB, "222222", { Request("开标人 B", CertUsage::Encryption, KeyKind::Rsa2048) });
    tokens.AddToken(kOpenerC, "333333", { Request("开标人 C", CertUsage::Encryption, KeyKind::P256) });
    tokens.AddToken(
        kOperator, "444444", { Request("操作员 甲", CertUsage::Signature, KeyKind::P256, "开标中心") });
    if (moreTokens)
        moreTokens(tokens);
    tokens.Activate(true);

    folder = tokens.Folder();
    Write(folder / "ca.pem", tokens.Ca().CertPem());
    setenv("KELVANE_TSA_CA", (folder / "ca.pem").c_str(), 1);
    setenv("KELVANE_BIDDER_CA", (folder / "ca.pem").c_str(), 1);
    kelvane::SupplyPkiSettings();

    authority = LoadAuthority(tokens.Ca(), folder, "tsa");
    secondAuthority = LoadAuthority(tokens.Ca(), folder, "tsa2");
    CTestCa foreignCa("Foreign CA");
    foreignAuthority = LoadAuthority(foreignCa, folder, "foreign-tsa");

    std::string error;
    logs = CLogService::Open(folder / "log.sqlite", folder / "ca.pem", error);
    if (logs == nullptr)
        throw std::runtime_error("log service: " + error);

    CTender tender;
    tender.folder = folder / "tender";
    tender.project = kProject;
    tender.packages = { "L1" };
    tender.projectName = kProjectName;
    tender.organisation = "市开标中心";
    tender.m = 3;
    tender.n = 2;
    rules
        = std::make_unique<CRulesService>(std::vector<CTender> { tender }, [] { return std::int64_t { 0 }; });
    WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });

    authority->Mount(services.server);
    logs->Mount(services.server);
    rules->Mount(services.server);
    secondAuthority->Mount(second.server);
    foreignAuthority->Mount(foreign.server);
    services.Start();
    second.Start();
    foreign.Start();
    FreezeAt(0);
}

std::string COpeningBench::OpenerCertText(const std::string& label) const
{
    return CertBase64(tokens.Token(label).keys[0].certDer);
}

std::string COpeningBench::WriteRules(
    int m, int n, const std::vector<std::string>& openerLabels, const std::string& openTime)
{
    std::vector<std::string> certTexts;
    for (const std::string& label : openerLabels)
        certTexts.push_back(OpenerCertText(label));
    return WriteRulesFor(m, n, certTexts, openTime);
}

std::string COpeningBench::WriteRulesFor(
    int m, int n, const std::vector<std::string>& openerCertTexts, const std::string& openTime)
{
    std::string openers;
    for (const std::string& text : openerCertTexts)
        openers += "<opener><cert>" + text + "</cert><participate>YES</participate></opener>";
    const std::string document = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<bidenv><source>")
        + "<projectname>" + kProjectName + "</projectname><opentime>" + openTime
        + "</opentime><organization>市开标中心</organization><encalog>SM4</encalog><hashalog>SM3</hashalog>"
        + "<rules><rule><m>" + std::to_string(m) + "</m><n>" + std::to_string(n) + "</n><openers>" + openers
        + "</openers></rule></rules></source></bidenv>\n";
    Write(folder / "tender" / "rules" / (std::string(kProject) + ".xml"), document);
    return document;
}

void COpeningBench::FreezeAt(std::int64_t offsetSeconds)
{
    const std::int64_t utc = *ParseOpeningTime(OpenTimeText()) - kBeijingOffsetSeconds + offsetSeconds;
    authority->Clock().Freeze(utc);
    secondAuthority->Clock().Freeze(utc);
    foreignAuthority->Clock().Freeze(utc);
}

int CTestWindow::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    if (onAsk)
        onAsk(text);
    const std::lock_guard lock(mutex);
    questions.push_back({ text, caption, type });
    if (answers.empty()) {
        ++unanswered;
        return IDCANCEL;
    }
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

void CTestWindow::PostOpeningFinished(int wParam)
{
    const std::lock_guard lock(mutex);
    posts.push_back(wParam);
}

size_t CTestWindow::PostCount()
{
    const std::lock_guard lock(mutex);
    return posts.size();
}

void CTestWindow::SetWaitCursor(bool on)
{
    const std::lock_guard lock(mutex);
    waitCursor = on;
}

void CTestWindow::SetItemText(int row, int column, const std::wstring& text)
{
    const std::lock_guard lock(mutex);
    cells[{ row, column }] = text;
}

void CTestWindow::Output(const std::wstring& text, int kind)
{
    const std::lock_guard lock(mutex);
    if (kind == 1)
        lines.push_back(text);
}

bool CTestWindow::HasLine(const std::wstring& line) const
{
    for (const std::wstring& candidate : lines) {
        if (candidate == line)
            return true;
    }
    return false;
}

bool CTestWindow::HasLineStartingWith(const std::wstring& start) const
{
    for (const std::wstring& candidate : lines) {
        if (candidate.rfind(start, 0) == 0)
            return true;
    }
    return false;
}

std::wstring CTestWindow::Cell(int row, int column) const
{
    const auto cell = cells.find({ row, column });
    return cell != cells.end() ? cell->second : std::wstring();
}

void SealBid(const fs::path& path, const std::string& rules, int n,
    const std::vector<std::string>& openerLabels, size_t contentSize,
    const std::vector<unsigned char>* customData, const CTestIssued* signedBy)
{
    COpeningBench& bench = COpeningBench::Get();
    const CTestIssued bidder = signedBy != nullptr
        ? *signedBy
        : bench.tokens.Ca().Issue(
            Request("投标人 " + path.stem().string(), CertUsage::Signature, KeyKind::P256, "投标公司"));
    kelvane::bidx::CSoftwareSealSigner signer(
        kelvane::bidx::DecodeCertificate(bidder.certDer.data(), bidder.certDer.size()),
        kelvane::bidx::DecodePrivateKey(bidder.keyDer.data(), bidder.keyDer.size()));

    std::string content(contentSize, '\0');
    std::mt19937 random(static_cast<unsigned>(contentSize));
    for (char& c : content)
        c = static_cast<char>(random());
    const fs::path plain = path.parent_path() / (path.stem().string() + ".content");
    Write(plain, content);

    kelvane::bidx::CSealRequest request;
    request.signerCert = bidder.certDer;
    request.signer = &signer;
    request.customData = customData != nullptr
        ? *customData
        : kelvane::bidx::MakeRulesCustomData(std::vector<unsigned char>(rules.begin(), rules.end()));
    request.threshold = n;
    for (const std::string& label : openerLabels) {
        const std::string text = bench.OpenerCertText(label);
        request.openerCerts.emplace_back(text.begin(), text.end());
    }
    request.files = { { plain.string(), "content.bin" } };
    request.computeVerificationCode = false;
    kelvane::bidx::CSealResult result;
    const int code = kelvane::bidx::SealBidFile(request, path.string(), &result);
    fs::remove(plain);
    if (code != 0)
        throw std::runtime_error("sealing " + path.string() + " failed with " + std::to_string(code));
}

std::vector<CForgedSigner> ForgedSigners()
{
    CTestCa& ca = COpeningBench::Get().tokens.Ca();
    CTestCertRequest expired = Request("投标人 过期", CertUsage::Signature, KeyKind::P256, "投标公司");
    expired.validFromSeconds = -2 * 86400;
    expired.validToSeconds = -86400;
    CTestCa other("Kelvane Test CA");
    CTestIssued anchor;
    anchor.certDer = CertDer(ca.Cert());
    anchor.certPem = ca.CertPem();
    anchor.keyDer = PrivateKeyDer(ca.Key());
    anchor.keyPem = PrivateKeyPem(ca.Key());
    return {
        { "self-signed",
            SelfSigned(ca.Issue(Request("投标人 甲", CertUsage::Signature, KeyKind::P256, "投标公司"))),
            L"签名证书不受信任：" },
        { "expired", ca.Issue(expired), L"签名证书已过期：" },
        // The same name as the tender's CA: only the signature tells them apart.
        { "other-ca", other.Issue(Request("投标人 甲", CertUsage::Signature, KeyKind::P256, "投标公司")),
            L"签名证书不受信任：" },
        { "no-signature-usage",
            ca.Issue(Request("投标人 乙", CertUsage::Encryption, KeyKind::P256, "投标公司")),
            L"签名证书没有数字签名用途" },
        { "ca-itself", anchor, L"签名证书是证书颁发机构的证书" },
    };
}

void Tamper(const fs::path& path)
{
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    const auto size = static_cast<std::streamoff>(fs::file_size(path));
    file.seekg(size / 2);
    char byte = 0;
    file.read(&byte, 1);
    byte = static_cast<char>(byte ^ 0x5A);
    file.seekp(size / 2);
    file.write(&byte, 1);
}

std::vector<CStoredLogRecord> COpeningBench::RecordsSince(size_t first) const
{
    auto all = Records();
    return { all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end() };
}

int COpeningBench::CountRecordsSince(size_t first, int logType, const std::string& message) const
{
    int count = 0;
    for (const auto& record : RecordsSince(first))
        count += record.logType == logType && record.message == message ? 1 : 0;
    return count;
}

} // namespace kelvane::test
