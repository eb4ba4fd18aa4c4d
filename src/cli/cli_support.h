#pragma once
// The CLI's stand-ins for the GUI's progress bar, status line and message boxes.
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include "core/common/platform.h"
#include "core/common/text.h"

namespace dravonel::cli {

// Draws "[#####     ]  42%  status" on stderr when stderr is a terminal; otherwise silent.
// Keeps the last status text so a failing command can print it.
class TerminalSink final : public ScanSink {
public:
    TerminalSink();
    ~TerminalSink() override;
    void setRange(std::int64_t low, std::int64_t high) override;
    void setPosition(std::int64_t pos) override;
    void status(std::u16string_view text) override;
    // Clears the bar line (before printing results).
    void finish();
    const std::u16string& lastStatus() const { return lastStatus_; }

private:
    void draw();
    bool tty_;
    std::int64_t low_ = 0, high_ = 0, pos_ = 0;
    std::u16string lastStatus_;
    int lastPercent_ = -1;
    bool drawn_ = false;
};

// Messages go to stderr; questions take a fixed answer chosen by options.
class StderrPrompt final : public Prompt {
public:
    explicit StderrPrompt(bool answer = true) : answer_(answer) {}
    void message(std::u16string_view text) override { std::cerr << toUtf8(text) << '\n'; }
    bool question(std::u16string_view) override { return answer_; }
    void setAnswer(bool answer) { answer_ = answer; }

private:
    bool answer_;
};

}  // namespace dravonel::cli
