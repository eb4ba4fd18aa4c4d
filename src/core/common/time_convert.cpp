#include "core/common/time_convert.h"

namespace dravonel {

namespace {
// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = int(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

std::int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CalendarTime fromUnixParts(std::int64_t seconds, int ms) {
    std::int64_t days = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    if (rem < 0) { rem += 86400; --days; }
    CalendarTime t;
    civilFromDays(days, t.year, t.month, t.day);
    t.hour = int(rem / 3600);
    t.minute = int(rem / 60 % 60);
    t.second = int(rem % 60);
    t.dayOfWeek = int(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    t.milliseconds = ms;
    return t;
}

std::optional<CalendarTime> fromTm(const std::tm& tm, int ms) {
    CalendarTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.dayOfWeek = tm.tm_wday;
    t.milliseconds = ms;
    return t;
}
}  // namespace

std::optional<CalendarTime> fileTimeToCalendar(std::uint64_t fileTime) {
    // FILETIME values with the top bit set are rejected by Windows as well.
    if (fileTime >= 0x8000000000000000ULL) return std::nullopt;
    const std::int64_t ticks = std::int64_t(fileTime) - kFileTimeUnixEpoch;
    std::int64_t seconds = ticks / 10000000;
    std::int64_t frac = ticks % 10000000;
    if (frac < 0) { frac += 10000000; --seconds; }
    return fromUnixParts(seconds, int(frac / 10000));
}

std::optional<CalendarTime> fileTimeToLocal(std::uint64_t fileTime) {
    if (fileTime >= 0x8000000000000000ULL) return std::nullopt;
    const std::int64_t ticks = std::int64_t(fileTime) - kFileTimeUnixEpoch;
    std::int64_t seconds = ticks / 10000000;
    std::int64_t frac = ticks % 10000000;
    if (frac < 0) { frac += 10000000; --seconds; }
    std::tm tm{};
    const std::time_t tt = static_cast<std::time_t>(seconds);
    if (!localtime_r(&tt, &tm)) return fromUnixParts(seconds, int(frac / 10000));
    return fromTm(tm, int(frac / 10000));
}

std::optional<CalendarTime> unixTimeToCalendar(std::int64_t seconds) { return fromUnixParts(seconds, 0); }

std::optional<CalendarTime> unixTimeToLocal(std::int64_t seconds) {
    std::tm tm{};
    const std::time_t tt = static_cast<std::time_t>(seconds);
    if (!localtime_r(&tt, &tm)) return std::nullopt;
    return fromTm(tm, 0);
}

CalendarTime dosDateTimeToCalendar(std::uint16_t date, std::uint16_t time) {
    CalendarTime t;
    t.year = 1980 + (date >> 9);
    t.month = (date >> 5) & 0x0F;
    t.day = date & 0x1F;
    t.hour = time >> 11;
    t.minute = (time >> 5) & 0x3F;
    t.second = (time & 0x1F) * 2;
    return t;
}

std::int64_t calendarToUnixTime(const CalendarTime& t) {
    return daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

std::optional<timespec> fileTimeToTimespec(std::uint64_t fileTime) {
    if (fileTime < std::uint64_t(kFileTimeUnixEpoch) || fileTime >= 0x8000000000000000ULL) return std::nullopt;
    const std::uint64_t ticks = fileTime - std::uint64_t(kFileTimeUnixEpoch);
    timespec ts{};
    ts.tv_sec = static_cast<std::time_t>(ticks / 10000000);
    ts.tv_nsec = static_cast<long>((ticks % 10000000) * 100);
    return ts;
}

}  // namespace dravonel
