// Calendar times as seconds since 1970, counted with no zone (the
// wall-clock times FAT stores) or in this machine's local calendar.
//
// Header-only: pure arithmetic plus one mktime call.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

// True when the date and time exist: year 1 .. 99999, the month's days
// (February 29 only in a leap year), hour 0-23, minute and second 0-59.
inline bool IsCalendarTime(int year, int month, int day, int hour, int minute, int second) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 99999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    return !(month == 2 && day == 29 && !((year % 4 == 0 && year % 100 != 0) || year % 400 == 0));
}

// The seconds of a calendar time counted with no zone and no daylight saving
// (as a FAT time is counted); false for a date or time that does not exist
// (month 13, February 30 of a common year, hour 24, second 60).
inline bool CalendarSeconds(int year, int month, int day, int hour, int minute, int second, int64_t& seconds) {
    if (!IsCalendarTime(year, month, day, hour, minute, second)) return false;
    // Days from 1970-01-01 in the proleptic Gregorian calendar (eras of 400 years).
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

// The seconds since 1970 (UTC) of a time of this machine's local calendar,
// daylight saving decided by the conversion; false as for CalendarSeconds.
inline bool LocalCalendarSeconds(int year, int month, int day, int hour, int minute, int second, int64_t& seconds) {
    if (!IsCalendarTime(year, month, day, hour, minute, second)) return false;
    struct tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;  // daylight saving decided by the conversion
    errno = 0;
    const time_t t = mktime(&local);
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    seconds = static_cast<int64_t>(t);
    return true;
}
