#include "cli/cli_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "core/common/byte_reader.h"
#include "core/common/output_file.h"
#include "core/common/formats.h"
#include "core/partitions/partition.h"
#include "core/scan/volume_scan.h"

namespace dravonel::cli {

namespace {

bool gJsonErrors = false;
std::vector<std::string> gMessages;

constexpr int kMaxStopFlags = 4;
StopFlag* gStopFlags[kMaxStopFlags] = {};
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onInterrupt(int) {
    gInterrupted = 1;
    for (StopFlag* f : gStopFlags)
        if (f) f->store(1);
}

}  // namespace

void setJsonErrors(bool json) { gJsonErrors = json; }

bool jsonErrors() { return gJsonErrors; }

void reportError(const std::string& text) {
    if (gJsonErrors) {
        gMessages.push_back(text);
        return;
    }
    std::cerr << text << '\n';
}

void flushErrors(int exitStatus) {
    if (!gJsonErrors || exitStatus == kExitOk) return;
    nlohmann::json out{{"exitStatus", exitStatus},
                       {"error", gMessages.empty() ? std::string() : gMessages.back()},
                       {"messages", gMessages}};
    std::cerr << out.dump() << '\n';
    gMessages.clear();
}

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
    // Both in unsigned 64 bits: a range from a crafted volume may span nearly 2^64.
    const std::uint64_t span = high_ > low_ ? std::uint64_t(high_) - std::uint64_t(low_) : 0;
    const std::uint64_t done = pos_ > low_ ? std::uint64_t(pos_) - std::uint64_t(low_) : 0;
    const int percent =
        span == 0 ? 0 : done >= span ? 100 : static_cast<int>(static_cast<unsigned __int128>(done) * 100 / span);
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

void CliPrompt::message(std::u16string_view text) {
    // Completion texts: the wizard's boxes at the end of a run; the result lines say it.
    // The advanced search's count box and the advanced scan's "nothing with these
    // choices" speak of the wizard's lists and buttons; the commands say it their way.
    if (text == kScanDoneText || text == u"work done....." || text == u"work done" || text == u"Searching Finished" ||
        text.find(u"Select save button") != std::u16string_view::npos || text == kAdvancedNothingText ||
        text.rfind(kStructureNotFoundText, 0) == 0 ||
        text.find(u"Please select the choice from") != std::u16string_view::npos ||
        text == u"NO FAT  FAT32-ENTRY found ..")
        return;
    reportError(toUtf8(text));
}

StopOnInterrupt::StopOnInterrupt(std::initializer_list<StopFlag*> flags) {
    int i = 0;
    for (StopFlag* f : flags)
        if (i < kMaxStopFlags) gStopFlags[i++] = f;
    previous_ = std::signal(SIGINT, onInterrupt);
}

StopOnInterrupt::~StopOnInterrupt() {
    std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
    for (StopFlag*& f : gStopFlags) f = nullptr;
}

bool interrupted() { return gInterrupted != 0; }

int openSource(FileReadSeek& reader, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        reportError("cannot open " + path + ": " + std::strerror(errno));
        return kExitFailed;
    }
    if (S_ISDIR(st.st_mode)) throw UsageError(path + " is a folder; SOURCE must be a disk or a disk image file");
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        throw UsageError(path + " is not a disk or an image file; SOURCE must be a block device or a regular file");
    reader.prompt = nullptr;  // the reason is told here, with the path
    errno = 0;
    if (!reader.open(path)) {
        if (!reader.openError().empty()) reportError("cannot open " + reader.openError());
        else reportError("cannot open " + path + ": " + std::strerror(errno ? errno : EIO));
        return kExitFailed;
    }
    if (reader.deviceSectorCount <= 0) {
        reportError(path + " holds no data (" + std::to_string(reader.length) +
                    " bytes; a source holds at least one 512-byte sector)");
        return kExitFailed;
    }
    return kExitOk;
}

int prepareOutputFolder(const std::string& out, bool allowSameDevice) {
    SourceGuard::allowSameDevice(allowSameDevice);
    const std::string conflict = SourceGuard::folderConflict(out);
    if (!conflict.empty())
        throw UsageError(conflict + "; choose a folder elsewhere (or give --allow-same-device to write there, "
                                    "which can overwrite the deleted data being recovered)");
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (!std::filesystem::is_directory(out)) {
        reportError("cannot make the output folder " + out + ": " + (ec ? ec.message() : "not a folder"));
        return kExitFailed;
    }
    return kExitOk;
}

std::int64_t mibToSectors(std::int64_t mib) {
    constexpr std::int64_t kSectorsPerMiB = 2048;
    if (mib <= 0) return 0;
    return mib > INT64_MAX / kSectorsPerMiB ? INT64_MAX : mib * kSectorsPerMiB;
}

SectorArea clampArea(const readWriteInterface& reader, const std::string& source, std::int64_t startSector,
                     std::optional<std::int64_t> sizeMiB, const char* option) {
    const std::int64_t total = reader.deviceSectorCount;
    if (startSector < 0 || startSector >= total)
        throw UsageError(std::string(option) + " " + std::to_string(startSector) + " is beyond the end of " + source +
                         " (" + std::to_string(total) + " sectors of 512 bytes)");
    SectorArea area;
    area.startSector = startSector;
    area.sectors = total - startSector;
    if (sizeMiB) area.sectors = std::min(area.sectors, mibToSectors(*sizeMiB));
    return area;
}

std::vector<VolumeRecord> discoverVolumes(readWriteInterface& reader, TableChoice choice, ScanSink* sink,
                                          std::string& why, const std::string& source) {
    why.clear();
    std::vector<VolumeRecord> records;
    std::uint8_t head[1024] = {};
    reader.baseOffset = 0;
    const bool headRead = reader.readAt(0, head, sizeof head);
    if (choice == TableChoice::Auto) {
        // A bare volume: sector 0 is a file system's own first sector, not a table.
        if (auto bare = bareVolume(reader)) {
            records.push_back(std::move(*bare));
            return records;
        }
    }
    const bool signature = headRead && head[510] == 0x55 && head[511] == 0xAA;
    bool protective = false;
    for (int i = 0; i < 4 && signature; ++i)
        if (head[0x1BE + 16 * i + 4] == 0xEE) protective = true;
    const bool gpt = choice == TableChoice::Gpt || (choice == TableChoice::Auto && protective);
    if (gpt && !(headRead && std::memcmp(head + 512, "EFI PART", 8) == 0)) {
        why = "no GPT header in sector 1 of " + source;
        return records;
    }
    if (!gpt && !signature) {
        why = "no partition table found on " + source +
              " (sector 0 holds neither a partition table nor a known file system)";
        return records;
    }
    Partition partition;
    partition.gptMode = gpt ? 1 : 0;
    partition.records = &records;
    partition.sink = sink;
    // A failed read ends discovery; the volumes listed before it can still be chosen.
    discoverPartitions(reader, partition);
    reader.baseOffset = 0;
    if (records.empty()) why = std::string("the ") + (gpt ? "GPT" : "MBR") + " of " + source + " lists no volume";
    return records;
}

std::string isoTime(const std::optional<timespec>& t) {
    if (!t) return {};
    std::tm local{};
    const std::time_t seconds = t->tv_sec;
    if (!::localtime_r(&seconds, &local)) return {};
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return {};
    std::string out = text;
    // "+0200" -> "+02:00"
    if (out.size() >= 5) out.insert(out.size() - 2, ":");
    return out;
}

}  // namespace dravonel::cli
