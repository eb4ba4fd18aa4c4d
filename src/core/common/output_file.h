#pragma once
// The one way recovered data reaches the disk: a target opened without following a link
// planted at its name, whole buffers written, zeros counted apart as holes or as
// unreadable data, times stamped on the open file. Saving of every file system and of
// carved items goes through here.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>

#include "core/common/entry_writer.h"

namespace dravonel {

class OutputFile final : public EntryWriter {
public:
    OutputFile() = default;
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates target for writing (created anew, replacing a regular file of that name;
    // never through a symbolic link). False with error() set when it cannot be opened.
    bool create(const std::filesystem::path& target);
    bool isOpen() const { return fd_ >= 0; }

    bool write(const std::uint8_t* data, std::size_t count) override;
    bool writeHole(std::uint64_t count) override;
    bool writeUnreadable(std::uint64_t count) override;
    std::uint64_t written() const override { return written_; }

    // 512-byte sectors written as zeros because they could not be read.
    std::uint64_t unreadableSectors() const { return unreadableSectors_; }
    // Sets last access and last write on the open file (an absent time is left as is).
    void stampTimes(const std::optional<timespec>& accessed, const std::optional<timespec>& modified);
    // Closes the file; false when the last writes could not be completed.
    bool close();
    // Closes the file and removes it when this object created it (a file that was there
    // before is never removed).
    void discard();
    // errno of the first failure, 0 when none.
    int error() const { return error_; }
    int errorNumber() const override { return error_; }

private:
    bool writeZeros(std::uint64_t count);
    int fd_ = -1;
    int error_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t unreadableSectors_ = 0;
    std::filesystem::path path_;
    bool created_ = false;
};

}  // namespace dravonel
