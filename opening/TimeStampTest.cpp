#include "opening/TimeStampTest.h"

#include "app/CMsgOutput.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/CTimeStampClient.h"
#include "opening/OpeningTime.h"

#include <cstdint>
#include <string>

bool RunTimeStampTest(CMsgOutput& output, const std::function<void(bool)>& waitCursor)
{
    if (CheckOperatorCert() != 1)
        return false;
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    output.Output(texts.GetText("get_timestamping"), 1);
    if (waitCursor)
        waitCursor(true);
    const std::string address = GetLocalIpAddress();
    std::int64_t now = 0;
    const CTimeStampClient client;
    const bool stamped = client.GetTimeStamp(&now) == 1;
    if (waitCursor)
        waitCursor(false);
    if (stamped) {
        output.Output(texts.GetText("get_timestmap_success"), 1);
        output.Output(texts.GetText("currenttime") + FormatWallClock(now, "%Y-%m-%d  %H:%M:%S"), 1);
        return true;
    }
    output.Output(texts.GetText("get_timestmap_fail") + L": " + Utf8ToWide(client.Failure()), 1);
    SubmitOperationRecord(kLogTypeFailure, address, "", L"获取时间戳失败");
    return false;
}
