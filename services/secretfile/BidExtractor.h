// Unpacks a bid's payload archive into a folder of its own inside the output folder. Everything is
// written into a hidden staging folder first; only a complete, verified payload is renamed to
// <output>/<bid>/ (or "<bid> (2)" and so on), so a failure leaves the output folder as it was.
#pragma once

#include "BidReader.h"

#include <cstdint>
#include <set>
#include <string>

namespace kelvane::bidx {

class CBidExtractor final : public IPlainSink
{
public:
    CBidExtractor(std::string intoFolder, std::string bidFileName);
    CBidExtractor(const CBidExtractor&) = delete;
    CBidExtractor& operator=(const CBidExtractor&) = delete;
    ~CBidExtractor() override;

    int Begin();
    int Write(const unsigned char* data, size_t size) override;
    int Finish() override;
    // Syncs and moves the staging folder to its final name, never over an existing one.
    int Commit();
    // Removes the staging folder and everything in it.
    void Abort();

    const std::string& FinalPath() const { return finalPath; }

private:
    enum class State
    {
        Kind,
        NameSize,
        Name,
        Size,
        Data,
        Ended
    };
    int StartFile();
    int CloseFile();
    int TakeField(const unsigned char*& data, size_t& size, size_t want);

    std::string outputFolder;
    std::string bidName;
    std::string stagingPath;
    std::string finalPath;
    int stagingFd = -1;
    int fileFd = -1;
    State state = State::Kind;
    unsigned char field[kMaxNameSize];
    size_t fieldSize = 0;
    size_t entryNameSize = 0;
    std::string entryName;
    uint64_t remaining = 0;
    std::set<std::string> entryNames;
    std::set<std::string> folders;
};

} // namespace kelvane::bidx
