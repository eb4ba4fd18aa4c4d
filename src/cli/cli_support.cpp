#include "cli/cli_support.h"

#include <unistd.h>

#include <cstdio>

namespace dravonel::cli {

TerminalSink::TerminalSink() : tty_(::isatty(STDERR_FILENO) == 1) {}

TerminalSink::~TerminalSink() { finish(); }

void TerminalSink::setRange(std::int64_t low, std::int64_t high) {
    low_ = low;
    high_ = high;
    lastPercent_ = -1;
    draw();
}

void TerminalSink::setPosition(std::int64_t pos) {
    pos_ = pos;
    draw();
}

void TerminalSink::status(std::u16string_view text) {
    lastStatus_.assign(text);
    lastPercent_ = -1;
    draw();
}

void TerminalSink::draw() {
    if (!tty_) return;
    const std::int64_t span = high_ - low_;
    int percent = span > 0 ? static_cast<int>((pos_ - low_) * 100 / span) : 0;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    std::string bar(20, ' ');
    for (int i = 0; i < percent / 5; ++i) bar[i] = '#';
    std::string text = toUtf8(lastStatus_);
    if (text.size() > 50) text.resize(50);
    std::fprintf(stderr, "\r\033[K[%s] %3d%%  %s", bar.c_str(), percent, text.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void TerminalSink::finish() {
    if (tty_ && drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    drawn_ = false;
}

}  // namespace dravonel::cli
