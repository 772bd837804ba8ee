#include "SealInputs.h"

#include "OpenSslPtr.h"

#include <algorithm>
#include <filesystem>
#include <openssl/x509.h>
#include <system_error>

namespace fs = std::filesystem;

namespace kelvane::seal {

using namespace bidx;

std::string BidderName(const std::vector<unsigned char>& certBytes)
{
    const Cert cert = DecodeCertificate(certBytes.data(), certBytes.size());
    if (!cert) {
        return {};
    }
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    for (const int nid : { NID_commonName, NID_organizationName }) {
        const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (index < 0) {
            continue;
        }
        unsigned char* text = nullptr;
        const int len
            = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
        const OpenSslMemoryPtr<unsigned char> utf8(text);
        if (len <= 0) {
            continue;
        }
        std::string name(reinterpret_cast<char*>(utf8.get()), static_cast<size_t>(len));
        for (char& c : name) {
            if (c == '_' || c == '.' || c == '/' || static_cast<unsigned char>(c) < 0x20) {
                c = '-';
            }
        }
        return name;
    }
    return {};
}

bool CollectInputs(const std::vector<std::string>& inputs, std::vector<CSealFile>& files, std::string& error)
{
    for (const std::string& input : inputs) {
        std::error_code ec;
        const fs::path path = fs::weakly_canonical(fs::path(input), ec);
        const fs::file_status status = fs::status(path, ec);
        if (ec || !fs::exists(status)) {
            error = "no such file or folder: " + input;
            return false;
        }
        const std::string base = path.filename().string();
        if (fs::is_regular_file(status)) {
            files.push_back({ path.string(), base });
            continue;
        }
        if (!fs::is_directory(status)) {
            error = "neither a file nor a folder: " + input;
            return false;
        }
        std::vector<CSealFile> found;
        for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory()) {
                continue;
            }
            if (!it->is_regular_file()) {
                error = "not a regular file: " + it->path().string();
                return false;
            }
            found.push_back(
                { it->path().string(), base + "/" + fs::relative(it->path(), path).generic_string() });
        }
        if (ec) {
            error = "cannot read the folder " + input + ": " + ec.message();
            return false;
        }
        std::sort(found.begin(), found.end(),
            [](const CSealFile& a, const CSealFile& b) { return a.name < b.name; });
        files.insert(files.end(), found.begin(), found.end());
    }
    return true;
}

std::string SealFailureText(int code)
{
    switch (code) {
    case kCertExist:
        return "the same opener certificate appears twice in the rules";
    case kCertCannotEncrypt:
        return "an opener's certificate is not meant for encryption (key usage)";
    case kNotSupportAlgo:
        return "an opener's certificate has a key that cannot be sealed to (RSA 2048+ or P-256 only)";
    case kOpenFileFailed:
        return "cannot open an input file or create the output file";
    case kReadFileLenFailed:
        return "cannot read the size of an input file";
    case kWriteDataFailed:
        return "cannot write the output file (disk full?)";
    case kReadDataFailed:
        return "an input file changed size while it was sealed";
    case kConstructSignCertFailed:
        return "the bidder's certificate cannot be read";
    case kFileNotFound:
        return "an input file does not exist";
    case kFileExist:
        return "the output file exists already, or two inputs have the same name";
    case kFileNameFormatError:
        return "an input's name cannot be carried in a bid (control characters, '\\' or ':')";
    case kTotalLessThanMin:
        return "the rules ask for more openers than they name";
    case kCertNumIncorrect:
        return "the rules name no openers, or more than 255";
    case kNumberBelowZero:
        return "the rules' minimum number of openers is below 1";
    case kSignFinalFailed:
        return "signing failed: does the key belong to the certificate?";
    case kCreateSignHandleFailed:
    case kSignUpdateFailed:
        return "the token could not sign (PIN refused or token removed?)";
    case kCertFromEncodingFailed:
        return "an opener's certificate in the rules cannot be read";
    default:
        return "sealing failed";
    }
}

} // namespace kelvane::seal
