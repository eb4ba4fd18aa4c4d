#include "core/scan/volume_scan.h"

#include "core/common/text.h"
#include "core/scan/result_view.h"

namespace dravonel {

FileSystemKind fileSystemKind(std::u16string_view fs) {
    if (equalsNoCase(fs, u"ntfs")) return FileSystemKind::Ntfs;
    if (equalsNoCase(fs, u"fat32")) return FileSystemKind::Fat32;
    if (equalsNoCase(fs, u"fat16") || equalsNoCase(fs, u"fat")) return FileSystemKind::Fat16;
    if (equalsNoCase(fs, u"extX")) return FileSystemKind::Ext;
    if (equalsNoCase(fs, u"fat64") || equalsNoCase(fs, u"exFat")) return FileSystemKind::ExFat;
    if (equalsNoCase(fs, u"HFS+")) return FileSystemKind::HfsPlus;
    return FileSystemKind::None;
}

namespace {
const char16_t* kindText(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::Fat32: return u"FAT32";
        case FileSystemKind::Fat16: return u"FAT12/16";
        case FileSystemKind::Ext: return u"ext2/3/4";
        case FileSystemKind::ExFat: return u"exFAT";
        case FileSystemKind::HfsPlus: return u"HFS+";
        default: return u"NTFS";
    }
}
}  // namespace

VolumeScan::VolumeScan(VolumeRecord volume, RecoveryMode mode, CTriStateTree& tree, readWriteInterface* reader,
                       ScanSink& sink, Prompt& prompt, NtfsParserFactory ntfsFactory)
    : volume_(std::move(volume)),
      mode_(mode),
      tree_(tree),
      reader_(reader),
      sink_(sink),
      prompt_(prompt),
      ntfsFactory_(std::move(ntfsFactory)) {}

VolumeScan::~VolumeScan() {
    if (workerThread_.joinable()) {
        if (ntfsParser_) ntfsParser_->stopFlag() = 1;
        control_.release();
        workerThread_.join();
    }
}

bool VolumeScan::start() {
    scanRunning_ = 1;
    tree_.initialise();
    tree_.checkBoxes = true;
    tree_.triStatePropagation = true;
    kind_ = fileSystemKind(volume_.fileSystem);
    if (kind_ == FileSystemKind::None) {
        prompt_.message(u"not a valid drive.");
        sink_.status(u"Not a valid Drive .Go back");
        return false;
    }
    if (kind_ != FileSystemKind::Ntfs) {
        // Only the NTFS parser is built so far; the other kinds keep their slot.
        const std::u16string text = std::u16string(kindText(kind_)) + u" volumes cannot be scanned yet.";
        prompt_.message(text);
        sink_.status(text);
        return false;
    }
    if (!reader_) {
        prompt_.message(u"Please Restart the program to re begin necessary initialization...");
        return false;
    }
    sink_.status(u"ntfs partition selected....");
    if (ntfsFactory_) {
        ScanContext context{volume_, &tree_, reader_, &sink_, &prompt_, &control_};
        ntfsParser_ = ntfsFactory_(context);
    }
    if (!ntfsParser_) return false;  // no parser object: no worker
    parserChosen_ = true;
    return true;
}

RecoveredVolume* VolumeScan::volume() { return ntfsParser_ ? &ntfsParser_->volume() : nullptr; }

void VolumeScan::runWorker() {
    if (!parserChosen_) return;
    switch (kind_) {
        case FileSystemKind::Ntfs:
            if (mode_ == RecoveryMode::Standard || mode_ == RecoveryMode::Deep) ntfsScanWorker();
            break;
        default: break;
    }
}

void VolumeScan::startWorker() {
    if (!parserChosen_ || workerThread_.joinable()) return;
    workerThread_ = std::thread([this] { runWorker(); });
}

void VolumeScan::wait() {
    if (workerThread_.joinable()) workerThread_.join();
}

void VolumeScan::ntfsScanWorker() {
    NtfsScanSteps& parser = *ntfsParser_;
    reader_->baseOffset = volume_.startSector * kSectorBytes;
    control_.checkPoint();
    if (parser.hasTree()) parser.addTreeRoot();
    parser.readBootSector();
    parser.setRecoveryMode(mode_);
    control_.checkPoint();
    if (mode_ == RecoveryMode::Deep) {
        sink_.status(u" scanning for mft entries in deep mode ....");
        parser.scanForMftRecords();
    } else {
        sink_.status(u" ParsingBasedOnMFT is going on....");
        parser.locateMft();
    }
    control_.checkPoint();
    parser.readMftEntries();
    control_.checkPoint();
    parser.buildEntryTree();
    control_.checkPoint();
    completeScan();
}

void VolumeScan::completeScan() {
    if (RecoveredVolume* v = volume()) ResultView(tree_, *v).addExpandPlaceholders();
    // The recycle-bin name pass belongs here for NTFS, FAT32 and exFAT.
    prompt_.message(kScanDoneText);
    sink_.status(kScanDoneText);
    scanRunning_ = 0;
}

void VolumeScan::pause() {
    if (!workerThread_.joinable()) return;
    control_.pause();
    sink_.status(u"Pause button pressed");
}

void VolumeScan::resume() {
    if (!workerThread_.joinable()) return;
    // The text first: a worker let go may write its own texts at once.
    sink_.status(u"Resume button pressed");
    control_.resume();
}

void VolumeScan::stop() {
    if (!parserChosen_) return;
    // The text goes out before the flags are set: once the worker sees them it may write
    // its own texts, and the two must not reach the sink at the same time.
    sink_.status(u"stop button pressed.Please wait for the process to be stopped.");
    ntfsParser_->stopFlag() = 1;
    stopPressed_ = 1;
}

}  // namespace dravonel
