#include "core/fs/ntfs/ntfs.h"

namespace dravonel {

ntfs::ntfs() = default;
ntfs::ntfs(const VolumeRecord& v, CTriStateTree* t, readWriteInterface* r, ScanSink* s, WorkerControl* c)
    : volume(v), tree(t), reader(r), sink(s), workerControl(c) {}

bool ntfs::addTreeRoot() { return true; }
bool ntfs::readBootSector() { return false; }
bool ntfs::locateMft() { return false; }
void ntfs::readMftEntries() {}
void ntfs::buildEntryTree() {}
bool ntfs::scanForMftRecords() { return false; }
std::int64_t ntfs::findMftCopies(std::int64_t) { return 0; }
bool ntfs::useFoundMft(std::uint64_t) { return false; }
int ntfs::freeNames() { return 1; }
std::u16string ntfs::sizeText(std::uint64_t) { return {}; }
NtfsTimesText ntfs::timesText(std::uint64_t) { return {}; }
std::uint64_t ntfs::dataSize(std::uint64_t) { return 0; }
bool ntfs::saveEntry(std::uint64_t, const std::filesystem::path&) { return false; }
std::optional<ntfs_format::Record> ntfs::readRecord(std::uint64_t) { return std::nullopt; }
bool ntfs::decodeEntry(std::uint64_t) { return false; }
std::vector<ntfs::Run> ntfs::runsOf(std::uint64_t, std::uint32_t) { return {}; }
DataStreamDescriptor ntfs::dataStream(std::uint64_t) { return {}; }
std::vector<std::uint64_t> ntfs::extentRecords(std::uint64_t) { return {}; }
bool ntfs::keepsDataElsewhere(std::uint64_t) { return false; }
NtfsTimes ntfs::times(std::uint64_t) { return {}; }
std::uint64_t ntfs::clusterSizeFromBoot() const { return 4096; }
void ntfs::placeEntry(std::uint64_t) {}
void ntfs::appendToParentChain(std::uint64_t) {}
void ntfs::gatherOrphans() {}
void ntfs::gatherOrphansDeep() {}
void ntfs::fillTree() {}
bool ntfs::stopRequested() { return stopFlag.load() != 0; }
void ntfs::status(std::u16string_view) {}
bool ntfs::readAt(std::uint64_t, std::uint8_t*, std::uint32_t) { return false; }

}  // namespace dravonel
