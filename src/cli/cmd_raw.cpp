// carve: raw recovery of a source by file signatures; signature add: one record appended
// to a signature file, as the signature settings dialog's Save does.
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/options.h"
#include "core/common/formats.h"
#include "core/device/sector_reader.h"
#include "core/model/tri_state_tree.h"
#include "core/raw/carved_save.h"
#include "core/raw/carving_engine.h"
#include "core/raw/signature_record.h"

namespace dravonel::cli {

namespace {

// The area a carve walks: the volume of an index among those the disk lists, or the
// sectors given, clamped to the source either way.
std::optional<SectorArea> carveArea(const CarveOptions& o, FileReadSeek& reader) {
    if (!o.volume) return clampArea(reader, o.source, o.startSector.value_or(0), o.sizeMb);
    std::string why;
    const auto records = discoverVolumes(reader, o.table, nullptr, why, o.source);
    if (*o.volume >= static_cast<std::int64_t>(records.size())) {
        reportError(why.empty() ? "no volume with index " + std::to_string(*o.volume) + " (" +
                                      std::to_string(records.size()) + " found on " + o.source + ")"
                                : why);
        return std::nullopt;
    }
    const VolumeRecord& r = records[static_cast<std::size_t>(*o.volume)];
    const std::int64_t total = reader.deviceSectorCount;
    if (r.startSector < 0 || r.startSector >= total) {
        reportError("volume " + toUtf8(r.name) + " starts at sector " + std::to_string(r.startSector) +
                    ", beyond the end of " + o.source + " (" + std::to_string(total) + " sectors)");
        return std::nullopt;
    }
    // The size text of a crafted table may name any number of MiB: in sectors, saturated,
    // then cut at the source's end.
    return SectorArea{r.startSector, std::min(mibToSectors(sizeMbValue(r.sizeMbText)), total - r.startSector)};
}

}  // namespace

int runCarve(const CarveOptions& o) {
    CliPrompt prompt;
    TerminalSink sink;
    FileReadSeek reader;
    if (const int rc = openSource(reader, o.source); rc != kExitOk) return rc;
    reader.prompt = &prompt;
    const auto area = carveArea(o, reader);
    if (!area) return kExitFailed;
    if (area->sectors <= 0) {
        prompt.message(u"zero size volume..");
        return kExitFailed;
    }
    // The output folder is checked before the scan, not after it.
    if (!o.out.empty())
        if (const int rc = prepareOutputFolder(o.out, o.allowSameDevice); rc != kExitOk) return rc;

    myJpg engine;
    SignatureSources sources;
    sources.loadDefault = !o.noDefaultSignatures;
    sources.defaultPath = defaultSignatureFilePath();
    for (const auto& f : o.signatureFiles) sources.userPaths.emplace_back(f);
    std::int64_t defaultCount = 0;
    if (!loadSignatureSources(sources, defaultCount, engine.signatures, &prompt)) {
        sink.status(u"Processing done");
        return kExitFailed;
    }

    CTriStateTree tree;
    tree.initialise();
    tree.triStatePropagation = true;
    reader.baseOffset = area->startSector * kSectorBytes;
    engine.reader = &reader;
    engine.volumeSize = area->sectors * kSectorBytes;
    engine.tree = &tree;
    engine.sink = &sink;
    engine.prompt = &prompt;
    bool carved = false;
    {
        StopOnInterrupt interrupt({&engine.stopFlag});
        sink.status(u"Processing.....");
        carved = engine.carve();
        sink.status(u"Processing done");
    }
    sink.finish();
    if (!carved && !interrupted()) return kExitFailed;

    const auto& rules = engine.rules();
    // startSector: where the file starts on the source, in 512-byte sectors.
    auto sectorOf = [&](const FoundFile& f) { return area->startSector + f.start / kSectorBytes; };
    if (o.json) {
        nlohmann::json files = nlohmann::json::array();
        for (const FoundFile& f : engine.found())
            files.push_back({{"category", toUtf8(rules[f.rule].category)},
                             {"name", toUtf8(tree.getItemText(f.item))},
                             {"start", f.start},
                             {"startSector", sectorOf(f)},
                             {"size", savedLength(engine, f)},
                             {toUtf8(kSizeEstimatedText), f.sizeEstimated}});
        std::cout << files.dump(2) << '\n';
    } else {
        for (const FoundFile& f : engine.found())
            std::cout << toUtf8(rules[f.rule].category) << '\t' << toUtf8(tree.getItemText(f.item)) << '\t' << f.start
                      << '\t' << savedLength(engine, f) << (f.sizeEstimated ? "\t" + toUtf8(kSizeEstimatedText) : "")
                      << '\n';
    }
    std::cout.flush();
    if (interrupted()) {
        reportError("stopped: the list holds the files found before Ctrl-C; nothing was saved");
        return kExitStopped;
    }

    if (!o.out.empty()) {
        // Every item is saved, as if all were ticked.
        if (engine.rootItem() != kNoItem) tree.setCheck(engine.rootItem(), true);
        StopFlag stop{0};
        StopOnInterrupt interrupt({&stop});
        const CarvedSaveSummary summary =
            saveCheckedCarvedItems(engine, reader, tree, o.out, stop, &sink, &prompt, nullptr);
        sink.finish();
        if (summary.stopped || interrupted()) {
            reportError("stopped: " + std::to_string(summary.saved) + " files saved before Ctrl-C");
            return kExitStopped;
        }
        if (summary.damaged > 0) reportError(damagedCarvedText(summary));
        if (summary.failed > 0 || summary.damaged > 0) return kExitFailed;
    }
    // Files that began in sectors that could not be read are not in the list.
    if (engine.unreadableSectors() > 0) {
        reportError("unreadable sectors: " + std::to_string(engine.unreadableSectors()) +
                    " (files that begin there are not listed)");
        return kExitFailed;
    }
    return kExitOk;
}

std::optional<std::string> normaliseHexBytes(const std::string& text) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
            if (!piece.empty()) pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) pieces.push_back(piece);
    auto digits = [](std::string p) -> std::optional<std::string> {
        if (p.size() > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p = p.substr(2);
        if (p.empty() || p.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
        return p;
    };
    std::vector<std::string> bytes;
    if (pieces.size() == 1) {
        // One run of digits: "89504E47" is four bytes; "7" or "0x7" is one.
        const auto d = digits(pieces[0]);
        if (!d) return std::nullopt;
        if (d->size() <= 2) {
            bytes.push_back(*d);
        } else {
            if (d->size() % 2 != 0) return std::nullopt;
            for (std::size_t i = 0; i < d->size(); i += 2) bytes.push_back(d->substr(i, 2));
        }
    } else {
        for (const std::string& p : pieces) {
            const auto d = digits(p);
            if (!d || d->size() > 2) return std::nullopt;
            bytes.push_back(*d);
        }
    }
    std::string out;
    for (const std::string& b : bytes) {
        if (!out.empty()) out += ',';
        out += b;
    }
    return out;
}

namespace {

std::u16string numberText(const std::optional<std::int64_t>& v) {
    return v ? u16(std::to_string(*v)) : std::u16string();
}

}  // namespace

int runSignatureAdd(const SignatureAddOptions& o) {
    CliPrompt prompt;
    SignatureForm form;
    form.extension = fromUtf8(o.ext);
    form.startSignature = u16(o.start);
    form.endSignature = u16(o.end);
    form.offsetToSizeBytes = numberText(o.sizeOffset);
    form.bytesInSize = numberText(o.sizeBytes);
    form.headerSize = numberText(o.headerSize);
    form.sizeIncludesHeader = o.sizeIncludesHeader;
    form.sizeToSkip = numberText(o.skip);
    form.approxFileSize = numberText(o.approx);
    form.category = fromUtf8(o.category);
    // Everything is checked before the file is touched: a refused record leaves no file
    // behind, and records are only ever appended to a signature file.
    const BuiltRecord built = buildSignatureRecord(form, 0);
    if (!built.record) {
        prompt.message(built.message);
        return kExitFailed;
    }
    std::error_code ec;
    if (std::filesystem::exists(o.file, ec)) {
        if (!std::filesystem::is_regular_file(o.file, ec)) {
            reportError(o.file + " is not a regular file; nothing was written");
            return kExitFailed;
        }
        std::vector<SignatureEntry> entries;
        if (std::filesystem::file_size(o.file, ec) != 0 &&
            readSignatureFile(o.file, 0, entries) != SignatureFileStatus::Loaded) {
            reportError(o.file + " is not a valid signature file (a sequence of 171-byte records); nothing was written");
            return kExitFailed;
        }
    }
    return appendSignatureRecord(o.file, form, &prompt) ? kExitOk : kExitFailed;
}

}  // namespace dravonel::cli
