#pragma once
// On-disk time stamps to calendar time. Local time comes from the process's time zone
// (tests set TZ).
#include <cstdint>
#include <ctime>
#include <optional>

#include "core/common/formats.h"

namespace dravonel {

// 100-ns intervals since 1601-01-01 UTC between the two epochs.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;

// FILETIME (100-ns ticks since 1601 UTC) to a UTC calendar time; nothing when it does
// not fit a calendar year below 30828.
std::optional<CalendarTime> fileTimeToCalendar(std::uint64_t fileTime);
// FILETIME to local calendar time (UTC converted with the machine's time zone).
std::optional<CalendarTime> fileTimeToLocal(std::uint64_t fileTime);
// Seconds since 1970 UTC to UTC / local calendar time.
std::optional<CalendarTime> unixTimeToCalendar(std::int64_t seconds);
std::optional<CalendarTime> unixTimeToLocal(std::int64_t seconds);
// DOS date (bits 15-9 year from 1980, 8-5 month, 4-0 day) and time (15-11 hour, 10-5
// minute, 4-0 two-second count), shown as stored.
CalendarTime dosDateTimeToCalendar(std::uint16_t date, std::uint16_t time);
// Seconds since 1970 of a calendar time read as UTC.
std::int64_t calendarToUnixTime(const CalendarTime& t);
// FILETIME to a timespec for utimensat; nothing before 1970 or beyond time_t.
std::optional<timespec> fileTimeToTimespec(std::uint64_t fileTime);

}  // namespace dravonel
