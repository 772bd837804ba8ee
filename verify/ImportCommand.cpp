#include "verify/ImportCommand.h"

#include "app/Utility.h"
#include "audit/OperationRecord.h"
#include "workspace/CFolderFileCache.h"
#include "workspace/PackageFolder.h"

int RunImport(CVerifyBidFile& verify, const CImportOrder& order, CMsgOutput* output,
    const std::function<int(CVerifyBidFile&)>& runVerification)
{
    if (SubmitOperationRecord(kLogTypeSuccess, GetLocalIpAddress(), "", order.startMessage) != 1)
        return kImportNotStarted;
    for (const std::wstring& file : order.files)
        verify.AddFile(file);
    verify.SetOutputSink(output);
    verify.SetProjectNumber(order.project);
    verify.SetPackageNumber(order.package);
    const int result = runVerification(verify);
    if (result == kVerifyProcessed)
        CFolderFileCache::Instance().Rescan(PackageFolder(order.project, order.package));
    return result;
}
