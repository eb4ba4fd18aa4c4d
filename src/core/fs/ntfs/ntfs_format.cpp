#include "core/fs/ntfs/ntfs_format.h"

namespace dravonel::ntfs_format {
bool hasFileSignature(std::span<const std::uint8_t> b) {
    return b.size() >= 4 && b[0] == 'F' && b[1] == 'I' && b[2] == 'L' && b[3] == 'E';
}
FixupResult applyFixups(std::span<std::uint8_t, kRecordBytes>) { return {}; }
std::uint32_t AttributeHeader::type() const { return 0; }
std::uint16_t AttributeHeader::length() const { return 0; }
bool AttributeHeader::nonResident() const { return false; }
std::uint16_t AttributeHeader::flags() const { return 0; }
std::optional<std::uint64_t> AttributeHeader::u64(std::size_t) const { return std::nullopt; }
std::optional<std::uint32_t> AttributeHeader::u32(std::size_t) const { return std::nullopt; }
std::optional<std::uint16_t> AttributeHeader::u16(std::size_t) const { return std::nullopt; }
std::vector<AttributeHeader> walkAttributes(std::span<const std::uint8_t>) { return {}; }
std::vector<Run> decodeRuns(std::span<const std::uint8_t>, std::uint64_t) { return {}; }
Lznt1Result lznt1Decompress(std::span<const std::uint8_t>, std::span<std::uint8_t>) { return {}; }
std::u16string attributeWord(std::uint32_t) { return {}; }
}  // namespace dravonel::ntfs_format
