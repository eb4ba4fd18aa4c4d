#pragma once
// Names for what a save run writes below the chosen output folder. A name read from a
// disk may hold "/", control characters, "." or "..", or nothing at all; none of those
// may take a write outside the output folder. And two entries of one folder may carry
// the same name (a live file and a deleted one); within one run the later one gets a
// name of its own instead of replacing the earlier one. Nothing that was in the output
// folder before the run is ever replaced: its name goes to the numbered form too.
#include <filesystem>
#include <string>
#include <unordered_set>

#include "core/common/output_file.h"

namespace dravonel {

// The UTF-8 file name for a name taken from the disk: white space cut at both ends;
// "/", "\\" and NUL and every control character (below 0x20, and 0x7F) become "_"; a
// name of only dots ("." or "..") gets "_" in place of each dot; an empty name becomes
// "_"; a name longer than kMaxNameBytes is shortened at a character boundary, keeping
// its extension when that is short. Everything else is kept as it is.
std::string outputName(std::u16string_view diskName);

// The names one save run has handed out, so that nothing written in this run is
// replaced by a later entry of the same name. A file left by an earlier run (or the
// user's own) is never replaced: its name is skipped. A folder that is there is reused.
class OutputNames {
public:
    // A path in folder for a file named name: folder / name, or the first of
    // "stem (1).ext", "stem (2).ext", ... that this run has not handed out yet and that
    // does not exist on the disk (a file, folder or link). The path is recorded.
    std::filesystem::path filePath(const std::filesystem::path& folder, const std::string& name);
    // A folder in folder named name, created when missing: folder / name when that is a
    // folder already (not a link) or can be made; otherwise the first numbered variant
    // that is or can become a folder. Empty when none could be made.
    std::filesystem::path folderPath(const std::filesystem::path& folder, const std::string& name);
    // A folder whose name the output's file system refuses is made under its
    // portableName instead.
    // True when the last folderPath made its folder (it was not there before).
    bool lastFolderMade() const { return lastMade_; }
    // The name the last folderPath could not use because the output refused it; empty
    // when it used its own.
    const std::string& lastFolderRenamedFrom() const { return lastRenamedFrom_; }
    void clear() { used_.clear(); }

private:
    std::unordered_set<std::string> used_;
    std::filesystem::path folderPathAs(const std::filesystem::path& folder, const std::string& name);
    bool lastMade_ = false;
    std::string lastRenamedFrom_;
    int lastError_ = 0;  // errno of the last failed creation of a folder
};

}  // namespace dravonel
