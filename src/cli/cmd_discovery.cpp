// devices, partitions and deep-scan: what the machine holds and the volumes on a disk.
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "core/common/digests.h"
#include "cli/cli_support.h"
#include "cli/options.h"
#include "core/common/formats.h"
#include "core/device/drive_list.h"
#include "core/device/sector_reader.h"
#include "core/partitions/partition.h"

namespace dravonel::cli {

namespace {

void printRecords(const std::vector<VolumeRecord>& records, bool json) {
    if (json) {
        nlohmann::json out = nlohmann::json::array();
        int index = 0;
        for (const auto& r : records)
            out.push_back({{"index", index++},
                           {"name", toUtf8(r.name)},
                           {"fileSystem", toUtf8(r.fileSystem)},
                           {"sizeMbText", toUtf8(r.sizeMbText)},
                           {"sizeMiB", sizeMbValue(r.sizeMbText)},
                           {"startSector", r.startSector}});
        std::cout << out.dump(2) << '\n';
        return;
    }
    for (const auto& r : records)
        std::cout << toUtf8(r.name) << '\t' << toUtf8(r.fileSystem) << '\t' << toUtf8(r.sizeMbText) << '\t'
                  << r.startSector << '\n';
}

}  // namespace

int runDevices(const DevicesOptions& o) {
    const auto roots = systemRoots();
    const auto drives = listPhysicalDrives(roots);
    const auto volumes = listMountedVolumes(roots);
    if (o.json) {
        nlohmann::json out{{"drives", nlohmann::json::array()}, {"volumes", nlohmann::json::array()}};
        for (const auto& d : drives)
            out["drives"].push_back({{"number", d.number}, {"path", d.devicePath}, {"text", toUtf8(d.text)},
                                     {"sizeBytes", d.sizeBytes}});
        for (const auto& v : volumes)
            out["volumes"].push_back({{"rootPath", toUtf8(v.rootPath)}, {"name", toUtf8(v.name)},
                                      {"fileSystem", toUtf8(v.fileSystem)}, {"sizeMbText", toUtf8(v.sizeMbText)},
                                      {"sizeMiB", sizeMbValue(v.sizeMbText)}});
        std::cout << out.dump(2) << '\n';
    } else {
        std::cout << "PHYSICAL DRIVES:\n";
        for (const auto& d : drives) std::cout << d.number << '\t' << d.devicePath << '\t' << toUtf8(d.text) << '\n';
        std::cout << "VOLUMES:\n";
        for (const auto& v : volumes)
            std::cout << toUtf8(v.rootPath) << '\t' << toUtf8(v.name) << '\t' << toUtf8(v.fileSystem) << '\t'
                      << toUtf8(v.sizeMbText) << '\n';
    }
    return kExitOk;
}

int runPartitions(const PartitionsOptions& o) {
    FileReadSeek reader;
    if (const int rc = openSource(reader, o.source); rc != kExitOk) return rc;
    TerminalSink sink;
    std::string why;
    const auto records = discoverVolumes(reader, o.table, &sink, why, o.source);
    sink.finish();
    printRecords(records, o.json);
    if (records.empty()) {
        reportError(why.empty() ? "no volume found on " + o.source : why);
        return kExitFailed;
    }
    return kExitOk;
}

int runVerify(const VerifyOptions& o) {
    FileReadSeek reader;
    if (const int rc = openSource(reader, o.source); rc != kExitOk) return rc;
    const ImageContainer* image = reader.container();
    const auto stored = image ? image->storedHashes() : std::vector<ImageContainer::StoredHash>{};
    if (stored.empty()) {
        reportError(o.source + " stores no hash of its media (only E01 sets do); nothing to verify");
        return kExitFailed;
    }
    TerminalSink sink;
    StopOnInterrupt onCtrlC({});
    Md5 md5;
    Sha1 sha1;
    constexpr std::uint32_t kPiece = 1 << 20;
    std::vector<std::uint8_t> buffer(kPiece);
    std::vector<SectorRange> unreadable;
    const std::int64_t total = reader.length;
    sink.setRange(0, total / kPiece + 1);
    for (std::int64_t at = 0; at < total; at += kPiece) {
        if (interrupted()) {
            sink.finish();
            reportError("stopped: the media was not read to its end");
            return kExitStopped;
        }
        const auto n = std::uint32_t(std::min<std::int64_t>(kPiece, total - at));
        reader.readAt(at, buffer.data(), n, &unreadable);
        md5.update(buffer.data(), n);
        sha1.update(buffer.data(), n);
        sink.setPosition(at / kPiece);
    }
    sink.finish();
    const std::string computed[] = {md5.hex(), sha1.hex()};
    bool allMatch = true;
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& h : stored) {
        const std::string& mine = h.name == "MD5" ? computed[0] : computed[1];
        const bool match = mine == h.hex;
        allMatch = allMatch && match;
        if (o.json) {
            rows.push_back({{"hash", h.name}, {"stored", h.hex}, {"computed", mine}, {"matched", match}});
        } else {
            std::printf("%s\tstored %s\tcomputed %s\t%s\n", h.name.c_str(), h.hex.c_str(), mine.c_str(),
                        match ? "matched" : "DIFFERS");
        }
    }
    const std::int64_t lost = sectorCount(unreadable);
    if (o.json) {
        nlohmann::json notes = nlohmann::json::object();
        for (const auto& f : image->acquisitionNotes()) notes[f.label] = f.value;
        std::printf("%s\n", nlohmann::json{{"hashes", rows},
                                           {"unreadableSectors", lost},
                                           {"mediaBytes", total},
                                           {"acquisition", notes}}
                                 .dump(2)
                                 .c_str());
    } else {
        for (const auto& f : image->acquisitionNotes()) std::printf("%s:\t%s\n", f.label.c_str(), f.value.c_str());
    }
    if (lost > 0) reportError(std::to_string(lost) + " sectors of the media could not be read (read as zeros)");
    if (!allMatch) reportError("the media read back differs from the hash stored when it was acquired");
    return allMatch && lost == 0 ? kExitOk : kExitFailed;
}

int runDeepScan(const DeepScanOptions& o) {
    FileReadSeek reader;
    if (const int rc = openSource(reader, o.source); rc != kExitOk) return rc;
    // The custom range is checked against the source before any sector number becomes a
    // byte offset.
    const std::int64_t total = reader.deviceSectorCount;
    if (o.startSector && *o.startSector >= total)
        clampArea(reader, o.source, *o.startSector, std::nullopt, "--start-sector");
    if (o.endSector && o.startSector && *o.endSector < *o.startSector)
        throw UsageError("--end-sector " + std::to_string(*o.endSector) + " is before --start-sector " +
                         std::to_string(*o.startSector));
    TerminalSink sink;
    std::vector<VolumeRecord> records;
    Partition partition;
    partition.skipVolumeSize = o.noSkip ? 0 : 1;
    partition.customStart = o.startSector.value_or(0);
    partition.customEnd = o.endSector ? std::min(*o.endSector, total - 1) : 0;
    partition.records = &records;
    partition.sink = &sink;
    std::uint32_t rc = 0;
    {
        StopOnInterrupt interrupt({&partition.stopRequested});
        rc = deepScan(partition, reader);
    }
    sink.finish();
    printRecords(records, o.json);
    if (interrupted()) {
        reportError("stopped: the list holds the volumes found before Ctrl-C");
        return kExitStopped;
    }
    if (rc != 0) {
        reportError("read error on " + o.source + " at the scan position: " + std::strerror(static_cast<int>(rc)));
        return kExitFailed;
    }
    if (partition.unreadableSectors > 0)
        reportError("unreadable sectors: " + std::to_string(partition.unreadableSectors) +
                    " (the scan went on past them; a volume starting there is not found)");
    if (records.empty()) {
        reportError("no volume found on " + o.source +
                    " (no NTFS, FAT, exFAT or HFS+ boot sector and no ext superblock in the sectors scanned)");
        return kExitFailed;
    }
    return partition.unreadableSectors > 0 ? kExitFailed : kExitOk;
}

}  // namespace dravonel::cli
