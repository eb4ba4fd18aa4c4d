// carve: raw recovery of a source by file signatures; signature add: one record appended
// to a signature file, as the signature settings dialog's Save does.
#include <climits>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/raw_volume.h"
#include "core/device/sector_reader.h"
#include "core/raw/carved_save.h"
#include "core/raw/carving_engine.h"
#include "core/raw/signature_record.h"
#include "core/model/tri_state_tree.h"

namespace dravonel::cli {

namespace {

constexpr std::int64_t kMiB = 1048576;

struct CarveOptions {
    std::string source;
    std::optional<int> volume;
    bool gpt = false;
    std::optional<std::int64_t> startSector;
    std::optional<std::int64_t> sizeMb;
    std::vector<std::string> signatureFiles;
    bool noDefaultSignatures = false;
    std::string out;
    bool json = false;
};

// Ctrl-C sets the running engine's (or save walk's) stop flag: the files found so far are
// still listed.
StopFlag* gStopFlag = nullptr;
extern "C" void onInterrupt(int) {
    if (gStopFlag) gStopFlag->store(1);
}

class StopOnInterrupt {
public:
    explicit StopOnInterrupt(StopFlag& flag) {
        gStopFlag = &flag;
        previous_ = std::signal(SIGINT, onInterrupt);
    }
    ~StopOnInterrupt() {
        std::signal(SIGINT, previous_);
        gStopFlag = nullptr;
    }

private:
    void (*previous_)(int) = SIG_DFL;
};

int runCarve(const CarveOptions& o) {
    StderrPrompt prompt;
    TerminalSink sink;
    FileReadSeek reader;
    reader.prompt = &prompt;
    if (!reader.open(o.source)) return 1;
    const std::int64_t sourceBytes = reader.length > 0 ? reader.length : reader.deviceSectorCount * kSectorBytes;

    std::int64_t startSector = 0;
    std::int64_t volumeBytes = 0;
    if (o.volume) {
        const auto volume = chooseVolume(reader, *o.volume, o.gpt, prompt);
        if (!volume) return 1;
        startSector = volume->startSector;
        volumeBytes = volume->sizeMb * kMiB;
    } else {
        startSector = o.startSector.value_or(0);
        if (o.sizeMb) volumeBytes = *o.sizeMb * kMiB;
        else volumeBytes = sourceBytes - startSector * kSectorBytes;
    }
    if (volumeBytes <= 0) {
        prompt.message(u"zero size volume..");
        return 1;
    }

    myJpg engine;
    SignatureSources sources;
    sources.loadDefault = !o.noDefaultSignatures;
    sources.defaultPath = defaultSignatureFilePath();
    for (const auto& f : o.signatureFiles) sources.userPaths.emplace_back(f);
    std::int64_t defaultCount = 0;
    if (!loadSignatureSources(sources, defaultCount, engine.signatures, &prompt)) {
        sink.status(u"Processing done");
        return 1;
    }

    CTriStateTree tree;
    tree.initialise();
    tree.triStatePropagation = true;
    reader.baseOffset = startSector * kSectorBytes;
    engine.reader = &reader;
    engine.volumeSize = volumeBytes;
    engine.tree = &tree;
    engine.sink = &sink;
    engine.prompt = &prompt;
    {
        StopOnInterrupt interrupt(engine.stopFlag);
        sink.status(u"Processing.....");
        if (!engine.carve()) return 1;
        sink.status(u"Processing done");
    }
    sink.finish();

    const auto& rules = engine.rules();
    if (o.json) {
        nlohmann::json files = nlohmann::json::array();
        for (const FoundFile& f : engine.found())
            files.push_back({{"category", toUtf8(rules[f.rule].category)},
                             {"name", toUtf8(tree.getItemText(f.item))},
                             {"start", f.start},
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

    if (!o.out.empty()) {
        // Every item is saved, as if all were ticked.
        std::error_code ec;
        std::filesystem::create_directories(o.out, ec);
        if (!std::filesystem::is_directory(o.out)) {
            prompt.message(u"File could not be opened..");
            return 1;
        }
        if (engine.rootItem() != kNoItem) tree.setCheck(engine.rootItem(), true);
        StopFlag stop{0};
        StopOnInterrupt interrupt(stop);
        const CarvedSaveSummary summary =
            saveCheckedCarvedItems(engine, reader, tree, o.out, stop, &sink, &prompt, nullptr);
        sink.finish();
        if (summary.failed > 0 || summary.stopped) return 1;
    }
    return 0;
}

struct SignatureAddOptions {
    std::string file;
    std::string ext;
    std::string start;
    std::string end;
    std::optional<std::int64_t> sizeOffset;
    std::optional<std::int64_t> sizeBytes;
    std::optional<std::int64_t> headerSize;
    bool sizeIncludesHeader = false;
    std::optional<std::int64_t> skip;
    std::optional<std::int64_t> approx;
    std::string category;
};

std::u16string numberText(const std::optional<std::int64_t>& v) {
    return v ? u16(std::to_string(*v)) : std::u16string();
}

int runSignatureAdd(const SignatureAddOptions& o) {
    StderrPrompt prompt;
    SignatureForm form;
    form.extension = u16(o.ext);
    form.startSignature = u16(o.start);
    form.endSignature = u16(o.end);
    form.offsetToSizeBytes = numberText(o.sizeOffset);
    form.bytesInSize = numberText(o.sizeBytes);
    form.headerSize = numberText(o.headerSize);
    form.sizeIncludesHeader = o.sizeIncludesHeader;
    form.sizeToSkip = numberText(o.skip);
    form.approxFileSize = numberText(o.approx);
    form.category = u16(o.category);
    return appendSignatureRecord(o.file, form, &prompt) ? 0 : 1;
}

}  // namespace

void addRawCommands(CLI::App& app, int& exitCode) {
    auto carveOptions = std::make_shared<CarveOptions>();
    CLI::App* carve = app.add_subcommand("carve", "Recognise files on a source by their signatures and list (or save) them");
    carve->add_option("SOURCE", carveOptions->source, "disk or image file")->required();
    CLI::Option* volume = carve->add_option("--volume", carveOptions->volume, "carve the volume of this index (0 for G0, as partitions lists them)")
                              ->check(CLI::NonNegativeNumber);
    // Bounded so that the byte offsets they give stay within 64 bits.
    CLI::Option* start = carve->add_option("--start-sector", carveOptions->startSector, "first 512-byte sector of the area")
                             ->check(CLI::Range(std::int64_t{0}, INT64_MAX / kSectorBytes / 2));
    CLI::Option* size = carve->add_option("--size-mb", carveOptions->sizeMb, "size of the area in MiB")
                            ->check(CLI::Range(std::int64_t{0}, INT64_MAX / kMiB / 2));
    volume->excludes(start)->excludes(size);
    carve->add_flag("--gpt", carveOptions->gpt, "with --volume: read the partition table as GPT")->needs(volume);
    carve->add_option("--signatures", carveOptions->signatureFiles, "signature file to load (repeatable)")
        ->allow_extra_args(false)
        ->take_all();
    carve->add_flag("--no-default-signatures", carveOptions->noDefaultSignatures,
                    "do not load FileSetting.txt beside the executable");
    carve->add_option("--out", carveOptions->out, "save every recognised file below this folder");
    carve->add_flag("--json", carveOptions->json, "print the files as JSON");
    carve->callback([carveOptions, &exitCode] { exitCode = runCarve(*carveOptions); });

    CLI::App* signature = app.add_subcommand("signature", "Signature files");
    signature->require_subcommand(1);
    auto addOptions = std::make_shared<SignatureAddOptions>();
    CLI::App* add = signature->add_subcommand("add", "Append one signature record to a signature file");
    add->add_option("FILE", addOptions->file, "signature file (created when missing)")->required();
    add->add_option("--ext", addOptions->ext, "file extension without a dot")->required();
    add->add_option("--start", addOptions->start, "starting signature: hexadecimal bytes, comma-separated")->required();
    add->add_option("--end", addOptions->end, "ending signature: hexadecimal bytes, comma-separated");
    add->add_option("--size-offset", addOptions->sizeOffset, "byte offset of the size field");
    add->add_option("--size-bytes", addOptions->sizeBytes, "width of the size field in bytes");
    add->add_option("--header-size", addOptions->headerSize, "header size in bytes");
    add->add_flag("--size-includes-header", addOptions->sizeIncludesHeader, "the stored size counts the header");
    add->add_option("--skip", addOptions->skip, "bytes to skip after a find");
    add->add_option("--approx", addOptions->approx, "approximate file size in bytes");
    add->add_option("--category", addOptions->category, "category of the result tree")->required();
    add->callback([addOptions, &exitCode] { exitCode = runSignatureAdd(*addOptions); });
}

}  // namespace dravonel::cli
