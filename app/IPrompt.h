// Message boxes, as every part of the program asks them: a text, a caption and a button set with
// an icon, answered by the button pressed. The window shows a dialog on the UI thread and blocks
// the asking worker until it is answered; the headless front end and the tests answer from a
// script.
#pragma once

#include <string>

// Button sets.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_OKCANCEL = 0x01;
inline constexpr unsigned MB_YESNOCANCEL = 0x03;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_TYPEMASK = 0x0F;

// Icons, combined with a button set by '|'.
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_ICONMASK = 0xF0;

// Answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

class IPrompt
{
public:
    virtual ~IPrompt() = default;

    // Shows text under caption with the buttons and icon of type (MB_* values) and returns the
    // answer (ID* values). Callable from any thread.
    virtual int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) = 0;
};
