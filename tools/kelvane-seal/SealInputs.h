// What kelvane-seal makes of its inputs and results: the files and folders to seal with the names
// they keep inside the bid, the bidder's name for the file name, and the words for a failure.
#pragma once

#include "BidSealer.h"

#include <string>
#include <vector>

namespace kelvane::seal {

// The bidder's name as the file name shows it: the certificate's common name, else its
// organisation, with '_' (the import splits names there), '.' and '/' replaced by '-'. Empty when
// the certificate has neither.
std::string BidderName(const std::vector<unsigned char>& certBytes);

// Each argument keeps its own name; a folder brings everything below it under its name, sorted.
// On failure false, and error says why.
bool CollectInputs(
    const std::vector<std::string>& inputs, std::vector<bidx::CSealFile>& files, std::string& error);

// The sealer's result code in the bidder's words.
std::string SealFailureText(int code);

} // namespace kelvane::seal
