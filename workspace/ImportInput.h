// What the two import dialogs decide without a widget: the project and package numbers that a
// bid file's name carries, the checks of their OK button, and the listing of the bid-server
// folder.
#pragma once

#include "app/TextConversion.h" // TrimBlanks, the trimming of the numbers

#include <string>
#include <vector>

// Bid files are named <anything>_<project>_<package>.bidx; a second extension before ".bidx" is
// allowed (X_P001_L2.tar.bidx). Sets project and package and answers true when the name after the
// last "/" splits on "_" into exactly three pieces; otherwise leaves both as they are.
bool ParseBidFileName(const std::wstring& path, std::wstring& project, std::wstring& package);

// The OK button of both dialogs: trims both numbers in place, then answers the language key of the
// message to show ("prognum_cannot_null", "package_cannot_null", "prognum_invalid",
// "package_invalid", "select_file", checked in that order), or nullptr when the dialog may close
// with OK. A number is invalid when it cannot name a folder below the working directory (see
// IsSafeFolderName).
const char* CheckImportInput(std::wstring& project, std::wstring& package, size_t fileCount);

// The bid-server folder of a project and package: root, "/", project, "/", package. An empty
// project gives two separators in a row, as the dialog has always formed it.
std::wstring BidServerFolder(
    const std::wstring& root, const std::wstring& project, const std::wstring& package);

// Whether an edit of a number lists the bid-server folder again: an edit of the project number
// only when both numbers are set, an edit of the package number always; never while a number that
// is set could not name a folder.
bool ShouldListBidServerFolder(bool projectEdited, const std::wstring& project, const std::wstring& package);

// The full paths of the regular files (directly or through a link) named *.bidx (any case of the
// extension) in folder, sorted by name; empty when the folder does not exist or cannot be read.
std::vector<std::wstring> ListBidServerFolder(const std::wstring& folder);
