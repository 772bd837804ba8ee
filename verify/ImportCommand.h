// The import command of the window and kelvane-cli, once the operator's certificate is held and
// the face's dialog or command line has given (and checked) the numbers and the files.
#pragma once

#include "verify/CVerifyBidFile.h"

#include <functional>
#include <string>
#include <vector>

class CMsgOutput;

struct CImportOrder
{
    std::wstring project;
    std::wstring package;
    std::vector<std::wstring> files;
    // The start record's message: the local and the bid-server import each name themselves.
    std::wstring startMessage;
};

// The answer when the log service refused the start record: nothing else was done.
inline constexpr int kImportNotStarted = 0;

// The start record; then verify, filled with the order and output, is run and waited for by
// runVerification (the window's progress dialog, the console with its interrupt), which answers
// kVerifyProcessed or kVerifyCancelled; after a processed list the package folder is read again
// so that the list shows its new files. Answers kImportNotStarted or runVerification's answer;
// the files' outcomes stay in verify.
int RunImport(CVerifyBidFile& verify, const CImportOrder& order, CMsgOutput* output,
    const std::function<int(CVerifyBidFile&)>& runVerification);
