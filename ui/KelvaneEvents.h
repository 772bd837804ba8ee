// The window messages as Qt events: each message number above WM_USER becomes the same offset
// above QEvent::User, so WM_FOLDER_SELECTED is QEvent::User + 102.
#pragma once

#include "opening/OpeningInterfaces.h"

#include <QEvent>

constexpr QEvent::Type KelvaneEventType(unsigned message)
{
    return static_cast<QEvent::Type>(QEvent::User + static_cast<int>(message - WM_USER));
}

// A window message with its first parameter.
class CKelvaneEvent : public QEvent
{
public:
    CKelvaneEvent(unsigned message, int value = 0)
        : QEvent(KelvaneEventType(message))
        , wParam(value)
    {
    }
    const int wParam;
};
