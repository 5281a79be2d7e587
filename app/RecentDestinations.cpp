#include "RecentDestinations.h"

#include <algorithm>
#include <cctype>

#include "app/Profile.h"

namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::vector<std::string> ParseRecentDestinations(const std::string& stored) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < stored.size()) {
        size_t bar = stored.find('|', start);
        if (bar == std::string::npos) bar = stored.size();
        if (bar > start) out.push_back(stored.substr(start, bar - start));
        start = bar + 1;
    }
    return out;
}

std::string UpdateRecentDestinations(const std::string& stored, const std::string& destination) {
    std::vector<std::string> list = ParseRecentDestinations(stored);
    std::string key = Lower(destination);
    list.erase(std::remove_if(list.begin(), list.end(), [&](const std::string& s) { return Lower(s) == key; }),
               list.end());
    list.insert(list.begin(), destination);
    std::string out;
    size_t kept = 0;
    for (const auto& s : list) {
        if (kept == 5 || out.size() + s.size() + 1 > settings::kLastDestinationFoldersSize - 1) break;
        out += s + "|";
        ++kept;
    }
    return out;
}

std::vector<std::string> LoadRecentDestinations() {
    try {
        return ParseRecentDestinations(CXMLProfile::Instance().ReadString(
            "Recover", "LastDestinationFolders", "", settings::kLastDestinationFoldersSize));
    } catch (const CXMLProfile::CXMLProfileException&) {
        return {};
    }
}

void RememberDestination(const std::string& destination) {
    CXMLProfile& p = CXMLProfile::Instance();
    std::string stored;
    try {
        stored = p.ReadString("Recover", "LastDestinationFolders", "", settings::kLastDestinationFoldersSize);
    } catch (const CXMLProfile::CXMLProfileException&) {
        stored.clear();  // an oversized list is replaced
    }
    p.WriteString("Recover", "LastDestinationFolders", UpdateRecentDestinations(stored, destination));
    p.Save();
}

void AddRecoveryStatistics(uint32_t filesDone, uint64_t processedBytes) {
    CXMLProfile& p = CXMLProfile::Instance();
    int32_t files = p.ReadInt("UsageStatistics", "FilesRecoveredInTotal", 0);
    int64_t sum = static_cast<int64_t>(files) + filesDone;
    p.WriteInt("UsageStatistics", "FilesRecoveredInTotal", static_cast<int32_t>(std::min<int64_t>(sum, INT32_MAX)));
    p.WriteUInt64("UsageStatistics", "AmountRecoveredInTotal",
                  p.ReadUInt64("UsageStatistics", "AmountRecoveredInTotal") + processedBytes);
    p.Save();
}
