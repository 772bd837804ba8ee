// The output sink: where every worker writes the lines the operator reads. The output view
// implements it in the window and kelvane-cli on standard output. A worker holds a non-owning
// pointer; a null pointer drops the lines.
#pragma once

#include <string>

class CMsgOutput
{
public:
    virtual ~CMsgOutput() = default;
    // One line of text; kind is 1 for every line the program writes. Safe from any thread: the
    // line is shown before the call returns.
    virtual void Output(const std::wstring& text, int kind) = 0;
};
