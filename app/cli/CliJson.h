// kelvane-cli --json: the run's one JSON document on standard output, for scripts. The commands
// add their files to it and main prints it once, at the end, with the exit status; questions,
// progress and errors stay on standard error. Keys and state names are stable English whatever
// the session's language; reasons and names are the program's texts in UTF-8.
#pragma once

#include "opening/OpeningRecord.h"

#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

class CBidFileReport;
struct CDrillReport;
class COpeningManager;
class CVerifyBidFile;

// The document of this run, an object whose "files" is an array from the start.
nlohmann::ordered_json& JsonReport();

// Prints the document on standard output with the command, the run's start and end times, the
// exit status and the operation records still waiting for the log service.
void PrintJsonReport(const std::string& command, int exitStatus, int waitingRecords);

// ISO 8601 of an opening time as the rules give it ("2026-12-08 22:40:05", Beijing time), or
// nothing for a text that is no date and time.
std::optional<std::string> IsoOpeningTime(const std::wstring& text);

// The verification report of one file.
void AddVerifiedFile(const CBidFileReport& report);
// The import's files in the order named: those the run reached with their checks, the others as
// not reached.
void AddImportedFiles(const std::vector<std::wstring>& paths, const CVerifyBidFile& verify);
// The opening's files with their checks, states, bidders and the openers who contributed.
void AddOpenedFiles(const COpeningManager& manager);
// The openers' drill: the project, its threshold, each opener's checks and the verdict.
void AddDrillReport(const CDrillReport& report);
