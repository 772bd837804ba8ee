#include "app/cli/CliOptions.h"

#include "app/cli/CommandLine.h"

#include <cstdlib>

namespace {

const char kUsage[]
    = "usage: kelvane-cli [--yes] [--json] open --project P --package L [FILE...]\n"
      "       kelvane-cli [--yes] [--json] import --project P --package L FILE...\n"
      "       kelvane-cli [--json] verify FILE\n"
      "       kelvane-cli [--yes] timestamp\n"
      "       kelvane-cli check\n"
      "       kelvane-cli [--yes] [--json] drill --project P\n"
      "       kelvane-cli record verify [--files] [--ca PEM] [--tsa-ca PEM] DIR-or-JSON\n"
      "  open       opens the package's bid files (all .bidx files, or the FILEs named)\n"
      "  import     verifies the FILEs and copies those that pass into the package folder\n"
      "  verify     prints a bid file's verification code, format and signature results (a failure\n"
      "             with its reason) and signer\n"
      "  timestamp  asks the time-stamp authorities for the present time\n"
      "  check      reports whether this workstation is ready for an opening (settings, services,\n"
      "             time-stamp, tokens, operator certificate, anchors, free space): exit 0 ready, 1 not\n"
      "  drill      the openers' drill: each opener's token unwraps its share of a practice bid sealed\n"
      "             in memory to the tender's openers; exit 0 only when the opening can proceed\n"
      "  record verify  checks an opening record (开标记录-*.json and its .p7s; every record of DIR):\n"
      "             the operator's signature and chain, the time-stamp, and with --files every\n"
      "             decrypted file's size and SHA-256; exit 0 only when every check holds. The anchors\n"
      "             are the workstation's (bidder-ca.pem, tsa-ca.pem) unless --ca and --tsa-ca name others\n"
      "  --yes      answer every question without asking (see README.md)\n"
      "  --json     print one JSON document on standard output instead of the lists: per file its\n"
      "             name, path, verification code, checks, status and reason (see README.md)\n"
      "exit status: 0 all done, 1 some files failed or were cancelled or records wait for the log "
      "service, 2 could not run\n";

} // namespace

void PrintUsage(std::FILE* out)
{
    std::fputs(kUsage, out);
}

COptions ParseOptions(int argc, char** argv)
{
    COptions options;
    const CCommandLine line = ReadCommandLine("kelvane-cli", kUsage,
        {
            { "yes", false, SetFlag(options.yes) },
            { "json", false, SetFlag(options.json) },
            { "files", false, SetFlag(options.verifyFiles) },
            { "ca", true, StoreValue(options.operatorCa) },
            { "tsa-ca", true, StoreValue(options.tsaCa) },
            { "project", true, StoreValue(options.project) },
            { "package", true, StoreValue(options.package) },
        },
        argc, argv);
    // --help, --version and a command line that cannot be read end here, the last without the
    // whole usage after its reason.
    if (line.exitStatus)
        std::exit(*line.exitStatus);
    if (!line.operands.empty()) {
        options.command = line.operands.front();
        options.files.assign(line.operands.begin() + 1, line.operands.end());
    }
    return options;
}
