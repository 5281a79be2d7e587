// Shared pieces of the command line: exit codes, global options, output.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

enum ExitCode : int {
    kExitOk = 0,
    kExitPartial = 1,      // done, but some items failed or were incomplete
    kExitUsage = 2,
    kExitSource = 3,       // the source cannot be opened or holds no supported file system
    kExitInterrupted = 130,
};

struct GlobalOptions {
    bool json = false;
    std::string progress = "auto";  // auto | always | never
    bool noCache = false;
    int logLevel = 1;               // 0 no log, 1 normal, 2 verbose
};

// One JSON object per line on stdout.
void EmitJson(const nlohmann::json& object);
// One error line on stderr, prefixed with "quarlix: ".
void PrintError(const std::string& message);
// FILETIME (100 ns since 1601) to ISO 8601 UTC, or null for 0 / out of range.
nlohmann::json FileTimeToJson(uint64_t fileTime);
std::string FileTimeToText(uint64_t fileTime);
// A byte count for people: "1.5 MiB".
std::string HumanSize(uint64_t bytes);
// Opens the log in the settings folder when logging is on and writes the start-up header.
void OpenLog(const GlobalOptions& options);
