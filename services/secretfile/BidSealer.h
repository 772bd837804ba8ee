// Sealing side of the bid file format: what the bidder's tool calls.
#pragma once

#include "BidCrypto.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvane::bidx {

struct CSealFile
{
    std::string source; // path of the file to seal
    std::string name; // its relative name inside the bid, '/'-separated
};

struct CSealRequest
{
    std::vector<unsigned char> signerCert; // DER or PEM
    ISealSigner* signer = nullptr;
    std::vector<unsigned char> customData;
    int threshold = 0; // n
    std::vector<std::vector<unsigned char>> openerCerts; // m certificates: DER, PEM or Base64 text
    std::vector<CSealFile> files;
    // Called after every block read with the bytes sealed so far; returning false cancels.
    std::function<bool(uint64_t done, uint64_t total)> progress;
    bool computeVerificationCode = true;
};

struct CSealResult
{
    std::string verificationCode; // SM3 of the whole file, upper-case hex
    uint64_t fileSize = 0;
};

// The run was cancelled through the progress callback; nothing was left behind.
inline constexpr int kSealCancelled = -2;

// Writes the sealed file under a temporary name beside outputPath and renames it at the end,
// never over an existing file (29). On any failure no file is left behind.
int SealBidFile(const CSealRequest& request, const std::string& outputPath, CSealResult* result);

// Seals the given bytes as the payload's archive, exactly as they are: the entries, names and end
// mark are not checked. It makes the damaged archives that test the opening side.
int SealRawPayload(
    const CSealRequest& request, const std::vector<unsigned char>& archive, const std::string& outputPath);

// As SealRawPayload, into a descriptor the caller owns (a memory file, for a bid that must never
// reach the disk), from its current offset, without a verification code.
int SealRawPayloadInto(const CSealRequest& request, const std::vector<unsigned char>& archive, int fd);

// The custom-data layout the opening program reads: "RULF", the rules file's length as 4 bytes
// big-endian, the rules file.
std::vector<unsigned char> MakeRulesCustomData(const std::vector<unsigned char>& rules);

} // namespace kelvane::bidx
