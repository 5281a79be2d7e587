#include "app/update/UpdateService.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace update {

uint32_t VersionNumber(std::string_view text) {
    uint32_t parts[3] = {0, 0, 0};
    size_t part = 0;
    bool digits = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (parts[part] < 100000) parts[part] = parts[part] * 10 + static_cast<uint32_t>(c - '0');
            digits = true;
        } else if (c == '.' && part < 2) {
            ++part;
        } else {
            break;
        }
    }
    if (!digits) return 20201;
    return parts[0] * 10000 + parts[1] * 100 + parts[2];
}

std::string VersionText(uint32_t number) {
    // "v.%05u" with a dot before the characters at positions 3 and 6.
    char digits[16], text[32];
    std::snprintf(digits, sizeof digits, "%05u", number);
    std::snprintf(text, sizeof text, "v.%c.%c%c.%s", digits[0], digits[1], digits[2], digits + 3);
    return text;
}

Answer ParseAnswer(std::string_view body) {
    Answer a;
    if (body.empty()) {
        a.error = "empty answer";
        return a;
    }
    a.ok = true;
    if (body == "NOUPDATES") return a;
    const size_t comma = body.rfind(',');
    std::string_view number = body;
    if (comma != std::string_view::npos) {
        a.download = std::string(body.substr(0, comma));
        number = body.substr(comma + 1);
    }
    size_t i = 0;
    while (i < number.size() && (number[i] == ' ' || number[i] == '\t')) ++i;
    bool negative = false;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
    uint64_t v = 0;
    for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i)
        if (v < UINT32_MAX) v = v * 10 + static_cast<uint64_t>(number[i] - '0');
    a.newerVersion = negative || v > UINT32_MAX ? 0 : static_cast<uint32_t>(v);
    return a;
}

bool IsWebUrl(std::string_view text) {
    size_t rest = 0;
    if (text.substr(0, 7) == "http://") rest = 7;
    else if (text.substr(0, 8) == "https://") rest = 8;
    else return false;
    if (text.size() <= rest || text[rest] == '/') return false;  // a host is needed
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

std::string ServiceBaseUrl() {
    if (const char* env = std::getenv("QUARLIX_UPDATE_URL")) return env;
    return QUARLIX_UPDATE_BASE_URL;
}

bool CheckAvailable() { return !ServiceBaseUrl().empty(); }

std::string RequestUrl(const std::string& base, uint32_t currentVersion) {
    std::string url = base;
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url + "/scr/check_update.php?current_version=" + std::to_string(currentVersion);
}

namespace {

size_t KeepAnswer(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const size_t n = size * count;
    const size_t take = std::min(n, kAnswerLimit - std::min(body->size(), kAnswerLimit));
    body->append(data, take);
    // One read of at most kAnswerLimit bytes: the rest is not waited for.
    return body->size() >= kAnswerLimit ? 0 : n;
}

}  // namespace

Answer Query(const std::string& base, uint32_t currentVersion, long timeoutSeconds) {
    Answer failed;
    if (base.empty()) {
        failed.error = "no update service is configured";
        return failed;
    }
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl) {
        failed.error = "no HTTP client";
        return failed;
    }
    std::string body;
    const std::string url = RequestUrl(base, currentVersion);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "QuarlixRecovery");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepAnswer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    // A body cut at the limit ends the transfer with a write error: what came is the answer.
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && body.size() >= kAnswerLimit)) {
        failed.error = curl_easy_strerror(rc);
        return failed;
    }
    return ParseAnswer(body);
}

}  // namespace update
