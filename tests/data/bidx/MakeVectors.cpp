// Writes the sealed-bid-file test vectors of tests/data/bidx from the fixed keys in keys/.
// Run through tests/data/bidx/make-vectors; MANIFEST states what each vector must give.
#include "BidCrypto.h"
#include "BidFormat.h"
#include "BidSealer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kelvane::bidx;

namespace {

std::vector<unsigned char> Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> Bytes(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

struct CVectors
{
    fs::path keys;
    fs::path out;
    fs::path work;

    // "bidder", or "forger": a self-signed signer of another name, who takes others' bids.
    CSoftwareSealSigner Signer(const std::string& who = "bidder") const
    {
        const auto cert = Read(keys / (who + ".pem"));
        const auto key = Read(keys / (who + ".key"));
        return CSoftwareSealSigner(
            DecodeCertificate(cert.data(), cert.size()), DecodePrivateKey(key.data(), key.size()));
    }

    std::vector<unsigned char> SignerDer(const std::string& who) const
    {
        const auto pem = Read(keys / (who + ".pem"));
        const Cert cert = DecodeCertificate(pem.data(), pem.size());
        return cert ? CertificateDer(cert.get()) : std::vector<unsigned char> {};
    }

    CSealRequest Request(ISealSigner& signer) const
    {
        CSealRequest r;
        r.signerCert = Read(keys / "bidder.pem");
        r.signer = &signer;
        r.customData = MakeRulesCustomData(
            Bytes("<bidenv><source><projectname>Vectors</projectname></source></bidenv>\n"));
        r.threshold = 2;
        for (const char* name : { "opener-a.pem", "opener-b.pem", "opener-c.pem" }) {
            r.openerCerts.push_back(Read(keys / name));
        }
        return r;
    }

    CSealFile Input(const std::string& name, const std::vector<unsigned char>& content) const
    {
        const fs::path source = work / ("input-" + std::to_string(std::hash<std::string> {}(name)));
        Write(source, content);
        return CSealFile { source.string(), name };
    }

    bool Seal(const std::string& file, const std::vector<CSealFile>& files) const
    {
        CSoftwareSealSigner signer = Signer();
        CSealRequest r = Request(signer);
        r.files = files;
        fs::remove(out / file);
        const int rc = SealBidFile(r, (out / file).string(), nullptr);
        if (rc != 0) {
            std::fprintf(stderr, "sealing %s failed: %d\n", file.c_str(), rc);
        }
        return rc == 0;
    }

    bool SealRaw(const std::string& file, const std::vector<unsigned char>& archive) const
    {
        CSoftwareSealSigner signer = Signer();
        fs::remove(out / file);
        return SealRawPayload(Request(signer), archive, (out / file).string()) == 0;
    }

    // Copies a vector and changes it on the way.
    bool Derive(const std::string& from, const std::string& to,
        const std::function<void(std::vector<unsigned char>&, size_t headerSize)>& edit) const
    {
        std::vector<unsigned char> bytes = Read(out / from);
        if (bytes.size() < kFixedPrefixSize) {
            return false;
        }
        edit(bytes, GetU32(bytes.data() + 14));
        Write(out / to, bytes);
        return true;
    }

    // Signs header and payload as they are and writes them with the signature and trailer.
    bool SignAndWrite(std::vector<unsigned char> bytes, const std::string& to, const std::string& who) const
    {
        CFileHash hash;
        hash.Update(bytes.data(), bytes.size());
        std::array<unsigned char, kDigestSize> digest {};
        std::vector<unsigned char> signature;
        CSoftwareSealSigner signer = Signer(who);
        if (!hash.Final(digest) || signer.Sign(digest.data(), digest.size(), signature) != 0) {
            return false;
        }
        bytes.insert(bytes.end(), signature.begin(), signature.end());
        PutU32(bytes, static_cast<uint32_t>(signature.size()));
        bytes.insert(bytes.end(), kTrailerMagic.begin(), kTrailerMagic.end());
        Write(out / to, bytes);
        return true;
    }

    // Header and payload of a vector, without signature and trailer.
    std::vector<unsigned char> Signed(const std::vector<unsigned char>& file) const
    {
        const size_t signatureSize = GetU32(file.data() + file.size() - kTrailerSize);
        return std::vector<unsigned char>(
            file.begin(), file.end() - static_cast<long>(signatureSize + kTrailerSize));
    }

    // Rewrites the header and signs again: as a dishonest bidder would, or, signed by the forger,
    // as someone who passes another's bid off as his own.
    bool Resign(const std::string& from, const std::string& to, const std::function<void(CBidHeader&)>& edit,
        const std::string& who = "bidder") const
    {
        const std::vector<unsigned char> file = Read(out / from);
        const size_t headerSize = GetU32(file.data() + 14);
        CBidHeader header;
        if (ParseHeader(file.data(), headerSize, header) != 0) {
            return false;
        }
        edit(header);
        std::vector<unsigned char> bytes;
        if (SerializeHeader(header, bytes) != 0) {
            return false;
        }
        const std::vector<unsigned char> payload = Signed(file);
        bytes.insert(bytes.end(), payload.begin() + static_cast<long>(headerSize), payload.end());
        return SignAndWrite(std::move(bytes), to, who);
    }
};

std::vector<unsigned char> Entry(const std::string& name, const std::string& content)
{
    std::vector<unsigned char> e = EncodeEntryHeader(name, content.size());
    e.insert(e.end(), content.begin(), content.end());
    return e;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s KEYS_DIR OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    CVectors v { argv[1], argv[2], fs::temp_directory_path() / "kelvane-bidx-vectors" };
    fs::create_directories(v.work);
    fs::create_directories(v.out);

    // Two files, one in a subfolder; the second spans three chunks.
    std::vector<unsigned char> big(2 * kChunkSize + 1000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    bool ok = v.Seal("opens-2of3.bidx",
        { v.Input("letter.txt", Bytes("Bid letter.\n")), v.Input("tech/drawing.bin", big) });
    ok = ok && v.Seal("opens-empty.bidx", {});
    ok = ok && v.Derive("opens-2of3.bidx", "code10-not-a-bid.bidx", [](auto& b, size_t) { b[1] = 'X'; });
    ok = ok && v.Derive("opens-2of3.bidx", "code64-cut-inside-chunk.bidx", [](auto& b, size_t h) {
        b.resize(h + 5000);
    });
    ok = ok && v.Derive("opens-2of3.bidx", "code65-chunk-flipped.bidx", [](auto& b, size_t h) {
        b[h + 100] ^= 0x01;
    });
    ok = ok && v.Derive("opens-2of3.bidx", "code65-custom-data-flipped.bidx", [](auto& b, size_t) {
        b[kFixedPrefixSize + 48 + 4 + GetU32(b.data() + kFixedPrefixSize + 48) + 4 + 10] ^= 0x20;
    });
    ok = ok && v.Derive("opens-2of3.bidx", "code65-chunks-swapped.bidx", [](auto& b, size_t h) {
        std::swap_ranges(b.begin() + static_cast<long>(h),
            b.begin() + static_cast<long>(h + kSealedChunkSize),
            b.begin() + static_cast<long>(h + kSealedChunkSize));
    });
    ok = ok && v.Derive("opens-2of3.bidx", "code23-signature-flipped.bidx", [](auto& b, size_t) {
        b[b.size() - kTrailerSize - 2] ^= 0x01;
    });
    ok = ok && v.Resign("opens-2of3.bidx", "code59-forged-share-c.bidx", [](CBidHeader& header) {
        CKey bogus;
        bogus.bytes.fill(0x42);
        COpenerRecord& rec = header.openers[2];
        WrapShare(rec.cert, rec.method, header.fileId, rec.shareNumber,
            MakeSharePlain(header.fileId, rec.shareNumber, bogus), rec.wrapped);
    });
    // The same bid passed off as the forger's: his certificate in the header and his signature,
    // file id, commitment, shares and payload kept. It verifies, and no group of openers opens it.
    const std::vector<unsigned char> forger = v.SignerDer("forger");
    ok = ok && !forger.empty()
        && v.Resign(
            "opens-2of3.bidx", "code59-resigned-by-another.bidx",
            [&](CBidHeader& header) { header.signerCert = forger; }, "forger");
    // The same bid with other rules, signed again by the bidder himself.
    ok = ok && v.Resign("opens-2of3.bidx", "code59-rules-swapped.bidx", [](CBidHeader& header) {
        header.customData = MakeRulesCustomData(
            Bytes("<bidenv><source><projectname>Other</projectname></source></bidenv>\n"));
    });
    // A file whose version field says 1, signed properly: its keys would bind neither signer nor rules.
    ok = ok && [&] {
        std::vector<unsigned char> bytes = v.Signed(Read(v.out / "opens-2of3.bidx"));
        bytes[8] = 0;
        bytes[9] = 1;
        return v.SignAndWrite(std::move(bytes), "code10-version-1.bidx", "bidder");
    }();
    const auto archive = [](std::vector<std::vector<unsigned char>> entries) {
        std::vector<unsigned char> a;
        for (const auto& e : entries) {
            a.insert(a.end(), e.begin(), e.end());
        }
        a.push_back(kEntryEnd);
        return a;
    };
    ok = ok
        && v.SealRaw(
            "code36-parent-name.bidx", archive({ Entry("ok.txt", "fine"), Entry("../escape.txt", "x") }));
    ok = ok && v.SealRaw("code36-absolute-name.bidx", archive({ Entry("/tmp/escape.txt", "x") }));
    ok = ok && v.SealRaw("code29-repeated-name.bidx", archive({ Entry("a.txt", "1"), Entry("a.txt", "2") }));
    fs::remove_all(v.work);
    if (!ok) {
        std::fprintf(stderr, "make-vectors: failed\n");
        return 1;
    }
    return 0;
}
