#pragma once
// What every command shares: exit statuses, the one way messages reach stderr (plain
// lines, or one JSON object under --json), Ctrl-C as the pages' Stop button, opening
// SOURCE with its checks, areas clamped to the source, and the volumes a disk holds.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/common/platform.h"
#include "core/common/text.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"

namespace dravonel::cli {

// Exit statuses: 0 done, 1 the operation failed or found damage, 2 a usage error,
// 130 stopped by Ctrl-C (what was found or saved so far is printed first).
enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitStopped = 130 };

// A usage error found after the arguments were read (a start beyond the source's end, a
// folder as SOURCE): exit status 2 with the text.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Under --json every message is kept and printed at the end as one JSON object on
// stderr; otherwise each goes to stderr as a line at once.
void setJsonErrors(bool json);
bool jsonErrors();
void reportError(const std::string& text);
// Prints what was kept (JSON mode, failing exit status only).
void flushErrors(int exitStatus);

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

// The core's message boxes on stderr, except the completion texts the wizard shows at
// the end of a run (the CLI's own result lines say the same); questions take a fixed
// answer chosen by options.
class CliPrompt final : public Prompt {
public:
    explicit CliPrompt(bool answer = true) : answer(answer) {}
    void message(std::u16string_view text) override;
    bool question(std::u16string_view) override { return answer; }
    bool answer;
};

// While one lives, Ctrl-C sets the given stop flags (lock-free atomics, safe to set from
// the handler), as the page's Stop button does.
class StopOnInterrupt {
public:
    StopOnInterrupt(std::initializer_list<StopFlag*> flags);
    ~StopOnInterrupt();
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

private:
    void (*previous_)(int);
};
// True once Ctrl-C was pressed during this command.
bool interrupted();

// Opens SOURCE read-only for a command. A folder or a character device is a usage
// error; a path that cannot be opened or a source without one whole sector fails with
// the path and the system's reason on stderr. Returns kExitOk when open.
int openSource(FileReadSeek& reader, const std::string& path);

// The output folder of recover and carve, before anything is read: refused (usage
// error) when it is on the source disk or holds the source image, unless allowed; made
// when missing. kExitFailed with the reason when it cannot be made.
int prepareOutputFolder(const std::string& out, bool allowSameDevice);

// A run of sectors on the source.
struct SectorArea {
    std::int64_t startSector = 0;
    std::int64_t sectors = 0;
};
// The area from startSector of sizeMiB MiB (to the source's end when not given), clamped
// to the source. A start at or beyond the source's end is a usage error naming option and
// the source's sector count.
SectorArea clampArea(const readWriteInterface& reader, const std::string& source, std::int64_t startSector,
                     std::optional<std::int64_t> sizeMiB, const char* option = "--start-sector");
// MiB to 512-byte sectors, saturating instead of overflowing.
std::int64_t mibToSectors(std::int64_t mib);

// How the layout of a disk is read.
enum class TableChoice { Auto, Mbr, Gpt };
// The volumes of the source: a bare file system at sector 0 is one volume (G0); else the
// partition tables, as GPT when chosen or (Auto) when the MBR holds a protective 0xEE
// entry, otherwise as MBR. When none is found, why is set ("no partition table ...").
// Leaves the reader's baseOffset at 0.
std::vector<VolumeRecord> discoverVolumes(readWriteInterface& reader, TableChoice choice, ScanSink* sink,
                                          std::string& why, const std::string& source);

// "2024-05-01T13:45:12+02:00" in local time; empty when absent.
std::string isoTime(const std::optional<timespec>& t);

}  // namespace dravonel::cli
