#pragma once
// Names for what a save run writes below the chosen output folder. A name read from a
// disk may hold "/", control characters, "." or "..", or nothing at all; none of those
// may take a write outside the output folder. And two entries of one folder may carry
// the same name (a live file and a deleted one); within one run the later one gets a
// name of its own instead of replacing the earlier one.
#include <filesystem>
#include <string>
#include <unordered_set>

namespace dravonel {

// The longest file name, in bytes, most Linux file systems accept.
constexpr std::size_t kMaxNameBytes = 255;

// The UTF-8 file name for a name taken from the disk: white space cut at both ends;
// "/", "\\" and NUL and every control character (below 0x20, and 0x7F) become "_"; a
// name of only dots ("." or "..") gets "_" in place of each dot; an empty name becomes
// "_"; a name longer than kMaxNameBytes is shortened at a character boundary, keeping
// its extension when that is short. Everything else is kept as it is.
std::string outputName(std::u16string_view diskName);

// The names one save run has handed out, so that nothing written in this run is
// replaced by a later entry of the same name. A file or folder left by an earlier run is
// not recorded here and is replaced (files) or reused (folders) as before.
class OutputNames {
public:
    // A path in folder for a file named name: folder / name, or the first of
    // "stem (1).ext", "stem (2).ext", ... that this run has not handed out yet and that
    // is neither a folder nor a symbolic link on the disk. The path is recorded.
    std::filesystem::path filePath(const std::filesystem::path& folder, const std::string& name);
    // A folder in folder named name, created when missing: folder / name when that is a
    // folder already (not a link) or can be made; otherwise the first numbered variant
    // that is or can become a folder. Empty when none could be made.
    std::filesystem::path folderPath(const std::filesystem::path& folder, const std::string& name);
    void clear() { used_.clear(); }

private:
    std::unordered_set<std::string> used_;
};

// "stem (n).ext" for name ("a.txt", 1 -> "a (1).txt"; ".hidden" keeps its leading dot
// as part of the stem).
std::string numberedName(const std::string& name, unsigned n);

}  // namespace dravonel
