// What the settings profile remembers of recoveries: the folders recovered
// into lately (Recover/LastDestinationFolders) and the running totals
// (UsageStatistics). Strings and numbers in, the profile saved after each
// change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The recent destinations as stored ("a|b|c|"), newest first.
std::vector<std::string> ParseRecentDestinations(const std::string& stored);
// Puts destination first, drops an equal entry (case ignored), keeps at most 5
// entries within 2048 characters, and returns the stored form.
std::string UpdateRecentDestinations(const std::string& stored, const std::string& destination);

// Reads and writes Recover/LastDestinationFolders in the profile (and saves it).
std::vector<std::string> LoadRecentDestinations();
void RememberDestination(const std::string& destination);
// Adds a finished job to UsageStatistics (files and bytes) and saves the profile.
void AddRecoveryStatistics(uint32_t filesDone, uint64_t processedBytes);
