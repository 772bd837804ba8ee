// What the opening worker needs of the window, as interfaces: the window implements them on its
// UI thread (marshalling each call there), kelvane-cli on the terminal, the tests with scripts.
#pragma once

#include "app/IPrompt.h"

#include <string>

// Window messages, relative to the first user message number, as the window exchanges them.
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned WM_VERIFY_FINISHED = WM_USER + 101;
inline constexpr unsigned WM_FOLDER_SELECTED = WM_USER + 102;
inline constexpr unsigned WM_OPENING_STARTED = WM_USER + 103;
inline constexpr unsigned WM_OPENING_FINISHED = WM_USER + 104;

// Columns of the bid-file list that the opening writes.
enum BidListColumn : int
{
    kColumnBidder = 2,
    kColumnBidCompany = 3,
    kColumnOpenCompany = 4,
    kColumnStatus = 5,
    kColumnOpenerPresence = 6,
    kColumnOpenTime = 7,
};

// The rows of the bid-file list. Called on the worker thread.
class IBidFileList
{
public:
    virtual ~IBidFileList() = default;
    virtual void SetItemText(int row, int column, const std::wstring& text) = 0;
};

// The window that is told when an opening has ended and that owns the opening's message boxes
// (Ask, from IPrompt, is asked on the worker thread and blocks it until answered).
class IOpeningWindow : public IPrompt
{
public:
    // WM_OPENING_FINISHED: posted once at every end of a run; wParam 1 when the rules were not
    // fetched, else 0. Must not block on the worker.
    virtual void PostOpeningFinished(int wParam) = 0;
    // The wait cursor, on while the worker waits on the time-stamp authority and what follows
    // until the run ends.
    virtual void SetWaitCursor(bool on) = 0;
};
