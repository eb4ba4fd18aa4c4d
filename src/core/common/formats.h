#pragma once
// The size and date texts shown in the file list and the volume list.
#include <cstdint>
#include <string>
#include <string_view>

namespace dravonel {

// A calendar date and time of day, as the system shows it.
struct CalendarTime {
    int year = 0;
    int month = 0;  // 1-12
    int day = 0;    // 1-31
    int hour = 0;   // 0-23
    int minute = 0;
    int second = 0;
    int dayOfWeek = 0;  // 0 = Sunday
    int milliseconds = 0;
};

// "%.2f GB" / "%.2f MB" / "%.2f KB" by powers of 1024, else "%lld Bytes".
std::u16string formatSize(std::int64_t bytes);
// "%02d/%02d/%d  %02d:%02d AM|PM" (month, day, year, hour, minute): hours above 12 are
// shown less 12 with PM; 12 shows as 12 AM and 0 as 00 AM.
std::u16string formatDateTime(const CalendarTime& t);
// A date without a time of day: "%02d/%02d/%d " (one trailing space).
std::u16string formatDate(const CalendarTime& t);

// A count with thousands grouped by commas: 118185 -> "118,185".
std::string groupedNumber(std::uint64_t n);

// The size in MiB that a `sizeMbText` holds: its leading decimal digits (0 when none).
std::int64_t sizeMbValue(std::u16string_view sizeMbText);
std::int64_t sizeMbValue(std::string_view sizeMbText);

}  // namespace dravonel
