// Asking the update service whether a newer version exists. The request is
// GET <base>/scr/check_update.php?current_version=<n> with the agent name
// "QuarlixRecovery"; it sends nothing but the version number, and it is the
// program's only network access. The answer is hostile input: at most its
// first 1,024 bytes are read, and a download text is used only when it is an
// http or https URL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace update {

inline constexpr size_t kAnswerLimit = 1024;
inline constexpr long kDefaultTimeoutSeconds = 10;

// a.b.c -> a * 10000 + b * 100 + c; 20201 when the text holds no version.
uint32_t VersionNumber(std::string_view text);
// 20204 -> "v.2.02.04" (the number as "v.%05d" with dots before the
// characters at positions 3 and 6).
std::string VersionText(uint32_t number);

struct Answer {
    bool ok = false;           // the query succeeded
    std::string download;      // the download page (before the last comma)
    uint32_t newerVersion = 0; // 0: no newer version ("NOUPDATES", or no number)
    std::string error;         // why the query failed
};
// The service's text: "NOUPDATES", or a download text, a comma and a
// version number in decimal (split at the last comma; leading blanks and a
// sign allowed, digits up to the first other character, 0 when none). An
// empty body is a failed query.
Answer ParseAnswer(std::string_view body);

// True for an http:// or https:// URL with a host and no blank or control
// character: the only download text that is opened.
bool IsWebUrl(std::string_view text);

// The base URL of the service (scheme, host, optional port): QUARLIX_UPDATE_URL
// when it is set, else the one built in; "" disables the check.
std::string ServiceBaseUrl();
// False when there is no service to ask: a build without one (distribution
// packages are built so) and no QUARLIX_UPDATE_URL, or that variable empty.
// Nothing is then ever sent, and the window does not offer the check.
bool CheckAvailable();
// The request's URL for that base and version.
std::string RequestUrl(const std::string& base, uint32_t currentVersion);

// One query through libcurl: http and https only, no redirects, the system's
// CA store and proxy variables, the whole exchange within timeoutSeconds.
// One read: the body is cut at kAnswerLimit bytes.
Answer Query(const std::string& base, uint32_t currentVersion, long timeoutSeconds = kDefaultTimeoutSeconds);

}  // namespace update
