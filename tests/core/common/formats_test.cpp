#include "core/common/formats.h"

#include <gtest/gtest.h>

#include "core/common/text.h"
#include "core/common/time_convert.h"

namespace dravonel {
namespace {

struct SizeCase {
    std::int64_t bytes;
    const char16_t* text;
};
const SizeCase kSizes[] = {
    {0, u"0 Bytes"},        {1023, u"1023 Bytes"},          {1024, u"1.00 KB"},
    {1048575, u"1024.00 KB"}, {1048576, u"1.00 MB"},        {1073741824, u"1.00 GB"},
    {5368709120LL, u"5.00 GB"}, {-5, u"-5 Bytes"},
};
class FormatSize : public ::testing::TestWithParam<SizeCase> {};
TEST_P(FormatSize, UsesPowersOf1024) { EXPECT_EQ(formatSize(GetParam().bytes), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Sizes, FormatSize, ::testing::ValuesIn(kSizes));

struct TimeCase {
    int hour, minute;
    const char16_t* text;
};
const TimeCase kTimes[] = {
    {12, 5, u"03/07/2021  12:05 AM"},
    {13, 5, u"03/07/2021  01:05 PM"},
    {0, 30, u"03/07/2021  00:30 AM"},
    {23, 59, u"03/07/2021  11:59 PM"},
};
class FormatDateTime : public ::testing::TestWithParam<TimeCase> {};
TEST_P(FormatDateTime, ShowsTwelveHourClockAsTheSystemDoes) {
    CalendarTime t{2021, 3, 7, GetParam().hour, GetParam().minute};
    EXPECT_EQ(formatDateTime(t), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Times, FormatDateTime, ::testing::ValuesIn(kTimes));

TEST(FormatDate, HasOneTrailingSpace) { EXPECT_EQ(formatDate(CalendarTime{1999, 12, 31}), u"12/31/1999 "); }

TEST(SizeMbText, ReadsLeadingDigits) {
    EXPECT_EQ(sizeMbValue(u"3072  MB"), 3072);
    EXPECT_EQ(sizeMbValue(u"15"), 15);
    EXPECT_EQ(sizeMbValue(u"  MB"), 0);
    EXPECT_GT(sizeMbValue(u"99999999999999999999999999 MB"), 0);  // stops growing before it overflows
}

TEST(TimeConvert, FileTimeAndUnixTimeAgree) {
    // 2009-07-25 23:00:00 UTC
    const std::uint64_t fileTime = 128930364000000000ULL;
    const auto t = fileTimeToCalendar(fileTime);
    ASSERT_TRUE(t);
    EXPECT_EQ(formatDateTime(*t), u"07/25/2009  11:00 PM");
    EXPECT_EQ(calendarToUnixTime(*t), 1248562800);
    const auto ts = fileTimeToTimespec(fileTime);
    ASSERT_TRUE(ts);
    EXPECT_EQ(ts->tv_sec, 1248562800);
    EXPECT_FALSE(fileTimeToTimespec(1));  // before 1970: nothing to stamp
    EXPECT_FALSE(fileTimeToCalendar(0xFFFFFFFFFFFFFFFFULL));
}

TEST(TimeConvert, LocalTimeFollowsTheTimeZone) {
    const char* old = getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "America/New_York", 1);
    tzset();
    const auto t = fileTimeToLocal(128930364000000000ULL);  // 23:00 UTC is 19:00 EDT
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->hour, 19);
}

TEST(TimeConvert, DosDateTime) {
    // 2019-08-15 13:46:22: date (39 << 9 | 8 << 5 | 15), time (13 << 11 | 46 << 5 | 11)
    const CalendarTime t = dosDateTimeToCalendar(std::uint16_t(39 << 9 | 8 << 5 | 15), std::uint16_t(13 << 11 | 46 << 5 | 11));
    EXPECT_EQ(t.year, 2019);
    EXPECT_EQ(t.month, 8);
    EXPECT_EQ(t.day, 15);
    EXPECT_EQ(t.hour, 13);
    EXPECT_EQ(t.minute, 46);
    EXPECT_EQ(t.second, 22);
}

TEST(Text, Utf16AndUtf8RoundTrip) {
    const std::u16string s = u"Ünïcödé \U0001F600 €";
    EXPECT_EQ(fromUtf8(toUtf8(s)), s);
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // lone surrogate
    EXPECT_EQ(fromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");                     // overlong '/' is not a slash
}

TEST(Text, Windows1252) {
    const std::uint8_t bytes[] = {'a', 0x80, 0x9F, 0xE9, 0x81};
    EXPECT_EQ(fromWindows1252(std::span<const std::uint8_t>(bytes)), u"a\u20AC\u0178\u00E9\u0081");
    EXPECT_EQ(toWindows1252(u"a\u20AC\u00E9\u4E2D"), std::string("a\x80\xE9?"));
}

}  // namespace
}  // namespace dravonel
