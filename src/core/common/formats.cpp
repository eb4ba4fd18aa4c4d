#include "core/common/formats.h"

#include "core/common/text.h"

namespace dravonel {

std::u16string formatSize(std::int64_t bytes) {
    const double v = static_cast<double>(bytes);
    if (v / 1073741824.0 >= 1.0) return format16("%.2f GB", v / 1073741824.0);
    if (v / 1048576.0 >= 1.0) return format16("%.2f MB", v / 1048576.0);
    if (v / 1024.0 >= 1.0) return format16("%.2f KB", v / 1024.0);
    return format16("%lld Bytes", static_cast<long long>(bytes));
}

std::u16string formatDateTime(const CalendarTime& t) {
    if (t.hour > 12) return format16("%02d/%02d/%d  %02d:%02d PM", t.month, t.day, t.year, t.hour - 12, t.minute);
    return format16("%02d/%02d/%d  %02d:%02d AM", t.month, t.day, t.year, t.hour, t.minute);
}

std::u16string formatDate(const CalendarTime& t) { return format16("%02d/%02d/%d ", t.month, t.day, t.year); }

std::int64_t sizeMbValue(std::u16string_view sizeMbText) {
    std::int64_t v = 0;
    for (char16_t c : sizeMbText) {
        if (c < u'0' || c > u'9') break;
        if (v > (INT64_MAX - 9) / 10) break;  // a text too long to be a size stops growing
        v = v * 10 + (c - u'0');
    }
    return v;
}

std::int64_t sizeMbValue(std::string_view sizeMbText) { return sizeMbValue(fromUtf8(sizeMbText)); }

std::string groupedNumber(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace dravonel
