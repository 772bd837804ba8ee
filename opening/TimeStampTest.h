// The time-stamp test command of the window and kelvane-cli: asks the time-stamp authorities for
// the present time, as an opening would, and says what came back.
#pragma once

#include <functional>

class CMsgOutput;

// The operator's certificate first (nothing more without it); then "get_timestamping", the
// authorities asked, and "get_timestmap_success" with the authority's time or
// "get_timestmap_fail", each a line to output. A failure is an operation record (failure,
// 获取时间戳失败). waitCursor, when given, is called with true before the authorities are asked and
// with false after. True when a time came back.
bool RunTimeStampTest(CMsgOutput& output, const std::function<void(bool)>& waitCursor = {});
