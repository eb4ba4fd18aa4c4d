#pragma once
// Shared helpers of the test suites: fixture paths, recorders for the sink and prompt,
// running the CLI.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/common/platform.h"

namespace dravonel::test {

// Path of an unpacked fixture in the build tree.
std::filesystem::path fixturePath(const std::string& name);
std::vector<std::uint8_t> fixtureBytes(const std::string& name);
// The whole content of a file (empty when it cannot be read).
std::string fileText(const std::filesystem::path& path);
// A fresh empty folder below the system temp folder, removed by the caller or left.
std::filesystem::path makeTempDir(const std::string& stem);
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);

struct RecordingSink final : ScanSink {
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    std::vector<std::int64_t> positions;
    std::vector<std::u16string> statuses;
    void setRange(std::int64_t low, std::int64_t high) override { ranges.emplace_back(low, high); }
    void setPosition(std::int64_t pos) override { positions.push_back(pos); }
    void status(std::u16string_view text) override { statuses.emplace_back(text); }
};

// Records messages and answers questions from a script (default Yes).
struct ScriptedPrompt final : Prompt {
    std::vector<std::u16string> messages;
    std::vector<std::u16string> questions;
    std::vector<bool> answers;
    void message(std::u16string_view text) override { messages.emplace_back(text); }
    bool question(std::u16string_view text) override {
        questions.emplace_back(text);
        if (answers.empty()) return true;
        const bool a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
};

// A RecordingSink and a ScriptedPrompt that take calls from a worker and the test's own
// thread at once (the runs' Pause and Stop texts come from the caller's thread).
struct LockedRecordingSink final : ScanSink {
    void setRange(std::int64_t low, std::int64_t high) override {
        std::lock_guard lock(mutex);
        ranges.emplace_back(low, high);
    }
    void setPosition(std::int64_t pos) override {
        std::lock_guard lock(mutex);
        positions.push_back(pos);
    }
    void status(std::u16string_view text) override {
        std::lock_guard lock(mutex);
        statuses.emplace_back(text);
    }
    std::vector<std::u16string> statusesNow() {
        std::lock_guard lock(mutex);
        return statuses;
    }
    std::mutex mutex;
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    std::vector<std::int64_t> positions;
    std::vector<std::u16string> statuses;
};

struct LockedPrompt final : Prompt {
    void message(std::u16string_view text) override {
        std::lock_guard lock(mutex);
        messages.emplace_back(text);
    }
    bool question(std::u16string_view text) override {
        std::lock_guard lock(mutex);
        questions.emplace_back(text);
        return answer;
    }
    std::vector<std::u16string> messagesNow() {
        std::lock_guard lock(mutex);
        return messages;
    }
    std::mutex mutex;
    std::vector<std::u16string> messages;
    std::vector<std::u16string> questions;
    bool answer = true;
};

struct CliResult {
    int exitCode = -1;
    std::string out, err;
};
// Runs build/bin/dravonel-cli with the arguments (each passed as it is, no shell).
CliResult runCli(const std::vector<std::string>& args);
// The same, with Ctrl-C (SIGINT) sent to it after interruptAfterMs milliseconds.
CliResult runCliInterrupted(const std::vector<std::string>& args, int interruptAfterMs);

}  // namespace dravonel::test
