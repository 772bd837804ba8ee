#include "app/cli/CliCommands.h"
#include "opening/OpeningRecord.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The records a name stands for: the JSON itself, or every record of a folder in name order.
std::vector<std::string> RecordsOf(const std::string& name)
{
    std::error_code error;
    if (!fs::is_directory(name, error))
        return { name };
    std::vector<std::string> records;
    for (const auto& entry : fs::directory_iterator(name, error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with("开标记录-") && file.ends_with(".json"))
            records.push_back(entry.path().string());
    }
    std::sort(records.begin(), records.end());
    return records;
}

} // namespace

int RecordCommand(const COptions& options)
{
    if (options.files.size() != 2 || options.files[0] != "verify") {
        std::fputs(
            "kelvane-cli: usage: kelvane-cli record verify [--files] [--ca PEM] [--tsa-ca PEM] DIR-or-JSON\n",
            stderr);
        return kCouldNotRun;
    }
    const std::vector<std::string> records = RecordsOf(options.files[1]);
    if (records.empty()) {
        std::fprintf(stderr, "kelvane-cli: %s holds no opening record\n", options.files[1].c_str());
        return kCouldNotRun;
    }
    CRecordAnchors anchors = WorkstationAnchors();
    if (!options.operatorCa.empty())
        anchors.operatorAnchors = options.operatorCa;
    if (!options.tsaCa.empty())
        anchors.timeStampAnchors = options.tsaCa;
    bool allHold = true;
    for (const std::string& record : records) {
        std::printf("%s\n", record.c_str());
        for (const CRecordCheck& check : VerifyOpeningRecord(record, options.verifyFiles, anchors)) {
            allHold = allHold && check.passed;
            std::printf(
                "  %-6s %s: %s\n", check.passed ? "ok" : "FAILED", check.name.c_str(), check.detail.c_str());
        }
    }
    std::fflush(stdout);
    return allHold ? kAllDone : kSomeFailed;
}
