// The opening record for printing: an A4 PDF laid out with Qt from the record's JSON, in Chinese
// like the record's other texts. A header (project, package, organisation, times, time-stamp,
// operator, openers), one table of the bids whose header row repeats on every page, the counts
// and a line to verify the printout against the signed JSON.
//
// The opening itself is free of Qt; a program that wants the .pdf installs the printer:
//   SetRecordPrinter(&PrintOpeningRecord);
// Qt's fonts need a GUI application: the window has one, a program without a window keeps a
// CPrintingGui for as long as openings may run.
#pragma once

#include "opening/OpeningRecord.h"

#include <memory>
#include <string>

class QGuiApplication;

// The record as a PDF's bytes; empty with problem set when the JSON does not read or the PDF
// cannot be made. Safe on a worker thread once a GUI application exists.
std::string PrintOpeningRecord(const CRecordPrint& record, std::wstring& problem);

// A GUI application on the offscreen platform, so that no display is needed; nothing when the
// program already has an application. On the main thread; the program's locale stays as it was.
class CPrintingGui
{
public:
    CPrintingGui();
    ~CPrintingGui();
    CPrintingGui(const CPrintingGui&) = delete;
    CPrintingGui& operator=(const CPrintingGui&) = delete;

private:
    // The application's arguments, which it keeps (and edits) while it lives.
    int argc = 0;
    char* argv[4] = {};
    std::unique_ptr<QGuiApplication> application;
};
