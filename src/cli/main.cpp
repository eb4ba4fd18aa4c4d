// dravonel-cli: the command-line front end. The only file that includes the argument
// parser library: every option of every sub-command is declared here, numbers are read
// by one rule, and usage errors, failures and Ctrl-C become the exit statuses scripts
// rely on (0 done, 1 failed or damaged, 2 usage error, 130 stopped).
#include <CLI/CLI.hpp>
#include <charconv>
#include <climits>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli/cli_support.h"
#include "cli/options.h"

#ifndef DRAVONEL_VERSION
#define DRAVONEL_VERSION "0.0.0"
#endif

namespace dravonel::cli {
namespace {

// Every number on the command line: decimal digits only, from 0 to max. One message for
// all of them.
std::int64_t parseCount(const std::string& text, const std::string& option, std::int64_t max) {
    std::int64_t value = -1;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    const bool digitsOnly = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digitsOnly || ec != std::errc() || ptr != end || value < 0 || value > max)
        throw CLI::ValidationError(option, "'" + text + "' is not a whole number from 0 to " + std::to_string(max));
    return value;
}

template <typename T>
CLI::Option* addCount(CLI::App* sub, const std::string& name, T& target, const std::string& help,
                      std::int64_t max = INT64_MAX) {
    return sub->add_option_function<std::string>(
                  name, [&target, name, max](const std::string& text) { target = parseCount(text, name, max); }, help)
        ->type_name("N");
}

// The file-system words --fs takes, to the word the partition tables use.
std::string fileSystemWord(const std::string& text) {
    std::string w;
    for (char c : text) w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (w == "ntfs") return "NTFS";
    if (w == "fat16") return "FAT16";
    if (w == "fat12") return "FAT12";
    if (w == "fat32") return "FAT32";
    if (w == "exfat" || w == "fat64") return "FAT64";
    if (w == "extx" || w == "ext2" || w == "ext3" || w == "ext4") return "extX";
    if (w == "hfs+" || w == "hfsplus") return "HFS+";
    throw CLI::ValidationError("--fs", "'" + text +
                                           "' is not a file system; use one of ntfs, fat12, fat16, fat32, exfat (or fat64), "
                                           "extX (or ext2, ext3, ext4), hfs+");
}

void addTableFlags(CLI::App* sub, TableChoice& table, CLI::Option* needs = nullptr) {
    auto* gpt = sub->add_flag_callback("--gpt", [&table] { table = TableChoice::Gpt; },
                                       "Read the partition table as GPT (found by itself behind a protective MBR)");
    auto* mbr = sub->add_flag_callback("--mbr", [&table] { table = TableChoice::Mbr; },
                                       "Read the partition table as MBR even behind a protective 0xEE entry");
    gpt->excludes(mbr);
    if (needs) {
        gpt->needs(needs);
        mbr->needs(needs);
    }
}

void addVolumeSelection(CLI::App* sub, VolumeSelection& s) {
    sub->add_option("SOURCE", s.source, "Device path or disk image")->required();
    auto* volume = addCount(sub, "--volume", s.volumeIndex, "Row INDEX of the volumes `partitions` lists", INT_MAX);
    addTableFlags(sub, s.table, volume);
    auto* fs = sub->add_option_function<std::string>(
        "--fs", [&s](const std::string& text) { s.fileSystem = fileSystemWord(text); },
        "File system of a volume described by hand: ntfs, fat12, fat16, fat32, exfat, extX, hfs+");
    sub->add_option("--codepage", s.codePage, "OEM code page of FAT short names: 437 (default), 850, 852, 866, 932")
        ->check(CLI::IsMember({437, 850, 852, 866, 932}));
    auto* start = addCount(sub, "--start-sector", s.startSector, "First 512-byte sector of the volume (default 0)");
    auto* size = addCount(sub, "--size-mb", s.sizeMb, "Size of the volume in MiB (default: to the end of SOURCE)");
    sub->add_option("--mode", s.mode, "Scan mode: standard, deep (NTFS, HFS+) or advanced (NTFS, FAT, exFAT)")
                     ->check(CLI::IsMember({"standard", "deep", "advanced"}));
    volume->excludes(fs);
    start->needs(fs);
    size->needs(fs);
    // The advanced road's choices among what its search finds (`copies` lists them).
    addCount(sub, "--copy", s.copy, "Advanced: the copy of the FAT or MFT to rebuild from (default 0, the first found)",
             INT_MAX);
    addCount(sub, "--sectors-per-cluster", s.sectorsPerCluster,
             "Advanced: sectors per cluster (default: the boot sector's, else the most plausible found)", 65536);
    addCount(sub, "--heap-copy", s.heapCopy, "Advanced, exFAT: the cluster-heap start to use (default: the most plausible)",
             INT_MAX);
    sub->add_flag("--formatted", s.formatted,
                  "Advanced, FAT12/16/32: the volume was formatted (\"Is Drive Formated..?\"): files are read from "
                  "consecutive clusters");
}

void build(CLI::App& app, int& exitCode) {
    app.require_subcommand(1);
    app.set_version_flag("--version", "dravonel-cli " DRAVONEL_VERSION);
    app.footer("Exit status: 0 done, 1 failed (or files damaged or not saved), 2 usage error, 130 stopped by Ctrl-C.");

    auto dev = std::make_shared<DevicesOptions>();
    auto* devices = app.add_subcommand("devices", "List the physical drives and the mounted volumes");
    devices->add_flag("--json", dev->json, "Print JSON");
    devices->footer("Example:\n  dravonel-cli devices --json");
    devices->callback([dev, &exitCode] { exitCode = runDevices(*dev); });

    auto part = std::make_shared<PartitionsOptions>();
    auto* partitions = app.add_subcommand("partitions", "The volumes of a disk: its partition tables, or one bare volume");
    partitions->add_option("SOURCE", part->source, "Device path or disk image")->required();
    addTableFlags(partitions, part->table);
    partitions->add_flag("--json", part->json, "Print JSON");
    partitions->footer("Examples:\n  dravonel-cli partitions /dev/sdb\n  dravonel-cli partitions disk.img --json");
    partitions->callback([part, &exitCode] { exitCode = runPartitions(*part); });

    auto verifyOptions = std::make_shared<VerifyOptions>();
    auto* verify = app.add_subcommand("verify", "Compare the hashes an E01 set stored with its media read back");
    verify->add_option("SOURCE", verifyOptions->source, "The first file of the set (IMAGE.E01)")->required();
    verify->add_flag("--json", verifyOptions->json, "Print JSON");
    verify->footer("Example:\n  dravonel-cli verify evidence.E01");
    verify->callback([verifyOptions, &exitCode] { exitCode = runVerify(*verifyOptions); });

    auto deepOptions = std::make_shared<DeepScanOptions>();
    auto* deep = app.add_subcommand("deep-scan", "Scan the disk surface for boot sectors (Advance scan)");
    deep->add_option("SOURCE", deepOptions->source, "Device path or disk image")->required();
    deep->add_flag("--no-skip", deepOptions->noSkip, "Test every sector, also inside volumes already found");
    addCount(deep, "--start-sector", deepOptions->startSector, "First sector of a custom range");
    addCount(deep, "--end-sector", deepOptions->endSector, "Last sector of a custom range");
    deep->add_flag("--json", deepOptions->json, "Print JSON");
    deep->footer("Examples:\n  dravonel-cli deep-scan disk.img\n"
                 "  dravonel-cli deep-scan /dev/sdb --start-sector 2048 --end-sector 409600 --json");
    deep->callback([deepOptions, &exitCode] { exitCode = runDeepScan(*deepOptions); });

    auto lopt = std::make_shared<ListOptions>();
    auto* list = app.add_subcommand("list", "Every folder and file of a volume's result tree");
    addVolumeSelection(list, lopt->selection);
    list->add_flag("--json", lopt->json, "Print JSON");
    list->footer("Examples:\n  dravonel-cli list disk.img --volume 0\n  dravonel-cli list ntfs.img --fs ntfs --json");
    list->callback([lopt, &exitCode] { exitCode = runList(*lopt); });

    auto ropt = std::make_shared<RecoverOptions>();
    auto* recover = app.add_subcommand("recover", "Save the volume's files (or the given paths) below a folder");
    addVolumeSelection(recover, ropt->selection);
    recover->add_option("--out", ropt->out, "Output folder (made when missing; files there are never replaced)")
        ->required();
    recover->add_flag("--skip-deleted", ropt->skipDeleted, "Do not save deleted files");
    recover->add_option("--path", ropt->paths, "A file or folder path as list prints it (repeatable)");
    recover->add_flag("--allow-same-device", ropt->allowSameDevice,
                      "Allow an output folder on the source disk or holding the source image");
    recover->add_flag("--json", ropt->json, "Print the summary and the damaged and failed files as JSON");
    recover->footer("Examples:\n  dravonel-cli recover disk.img --volume 0 --out recovered\n"
                    "  dravonel-cli recover ntfs.img --fs ntfs --path docs --skip-deleted --out recovered");
    recover->callback([ropt, &exitCode] { exitCode = runRecover(*ropt); });

    auto sopt = std::make_shared<SearchOptions>();
    auto* search = app.add_subcommand("search", "Files whose name matches a regular expression");
    addVolumeSelection(search, sopt->selection);
    search->add_option("--pattern", sopt->pattern, "ECMAScript regular expression, case-insensitive")->required();
    search->add_flag("--json", sopt->json, "Print JSON");
    search->footer("Example:\n  dravonel-cli search disk.img --volume 0 --pattern '\\.jpe?g$'");
    search->callback([sopt, &exitCode] { exitCode = runSearch(*sopt); });

    auto copt = std::make_shared<CarveOptions>();
    auto cpopt = std::make_shared<CopiesOptions>();
    auto* copies = app.add_subcommand(
        "copies", "Search a volume whose boot sector cannot be trusted for copies of its FAT or MFT (the advanced road)");
    copies->add_option("SOURCE", cpopt->selection.source, "Device path or disk image")->required();
    {
        VolumeSelection& s = cpopt->selection;
        auto* volume = addCount(copies, "--volume", s.volumeIndex, "Row INDEX of the volumes `partitions` lists", INT_MAX);
        addTableFlags(copies, s.table, volume);
        auto* fs = copies->add_option_function<std::string>(
            "--fs", [&s](const std::string& text) { s.fileSystem = fileSystemWord(text); },
            "File system of a volume described by hand: ntfs, fat12, fat16, fat32, exfat");
        auto* start = addCount(copies, "--start-sector", s.startSector, "First 512-byte sector of the volume (default 0)");
        auto* size = addCount(copies, "--size-mb", s.sizeMb, "Size of the volume in MiB (default: to the end of SOURCE)");
        volume->excludes(fs);
        start->needs(fs);
        size->needs(fs);
    }
    addCount(copies, "--max", cpopt->max, "Stop after this many copies (default 3)", INT_MAX);
    copies->add_flag("--json", cpopt->json, "Print JSON");
    copies->footer("Examples:\n  dravonel-cli copies card.img --fs fat32\n"
                   "  dravonel-cli list card.img --fs fat32 --mode advanced --formatted --copy 0");
    copies->callback([cpopt, &exitCode] { exitCode = runCopies(*cpopt); });

    auto* carve = app.add_subcommand("carve", "Recognise files on a source by their signatures and list (or save) them");
    carve->add_option("SOURCE", copt->source, "disk or image file")->required();
    auto* cvolume = addCount(carve, "--volume", copt->volume,
                             "carve the volume of this index (0 for G0, as partitions lists them)", INT_MAX);
    auto* cstart = addCount(carve, "--start-sector", copt->startSector, "first 512-byte sector of the area");
    auto* csize = addCount(carve, "--size-mb", copt->sizeMb, "size of the area in MiB (clamped to the source)");
    cvolume->excludes(cstart)->excludes(csize);
    addTableFlags(carve, copt->table, cvolume);
    carve->add_option("--signatures", copt->signatureFiles, "signature file to load (repeatable)")
        ->allow_extra_args(false)
        ->take_all();
    carve->add_flag("--no-default-signatures", copt->noDefaultSignatures,
                    "do not load FileSetting.txt beside the executable");
    carve->add_option("--out", copt->out, "save every recognised file below this folder (checked before the scan)");
    carve->add_flag("--allow-same-device", copt->allowSameDevice,
                    "allow an output folder on the source disk or holding the source image");
    carve->add_flag("--json", copt->json, "print the files as JSON");
    carve->footer("Examples:\n  dravonel-cli carve disk.img --volume 0\n"
                  "  dravonel-cli carve card.img --out carved --json");
    carve->callback([copt, &exitCode] { exitCode = runCarve(*copt); });

    CLI::App* signature = app.add_subcommand("signature", "Signature files");
    signature->require_subcommand(1);
    auto aopt = std::make_shared<SignatureAddOptions>();
    CLI::App* add = signature->add_subcommand("add", "Append one signature record to a signature file");
    add->add_option("FILE", aopt->file, "signature file (created when missing)")->required();
    add->add_option("--ext", aopt->ext, "file extension without a dot")->required();
    auto hex = [](std::string& target, const char* name) {
        return [&target, name](const std::string& text) {
            const auto bytes = normaliseHexBytes(text);
            if (!bytes)
                throw CLI::ValidationError(name, "'" + text +
                                                     "' is not hexadecimal bytes (write them as 89,50,4E,47 or "
                                                     "0x89 0x50 0x4E 0x47 or 89504E47)");
            target = *bytes;
        };
    };
    add->add_option_function<std::string>("--start", hex(aopt->start, "--start"),
                                          "starting signature: hexadecimal bytes (89,50,4E,47 or 89504E47)")
        ->required();
    add->add_option_function<std::string>("--end", hex(aopt->end, "--end"), "ending signature: hexadecimal bytes");
    addCount(add, "--size-offset", aopt->sizeOffset, "byte offset of the size field", INT32_MAX);
    addCount(add, "--size-bytes", aopt->sizeBytes, "width of the size field in bytes", 8);
    addCount(add, "--header-size", aopt->headerSize, "header size in bytes", INT32_MAX);
    add->add_flag("--size-includes-header", aopt->sizeIncludesHeader, "the stored size counts the header");
    addCount(add, "--skip", aopt->skip, "bytes to skip after a find");
    addCount(add, "--approx", aopt->approx, "approximate file size in bytes");
    add->add_option("--category", aopt->category, "category of the result tree")->required();
    add->footer("Example:\n  dravonel-cli signature add my.sig --ext png --start 89504E47 --end 49454E44AE426082 "
                "--category Pictures");
    add->callback([aopt, &exitCode] { exitCode = runSignatureAdd(*aopt); });
}

}  // namespace
}  // namespace dravonel::cli

int main(int argc, char** argv) {
    using namespace dravonel::cli;
    // Errors are JSON from the start when --json is asked for, usage errors included.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0) setJsonErrors(true);
    CLI::App app{"Quorvane Dravonel file recovery (command line)", "dravonel-cli"};
    int exitCode = kExitOk;
    build(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        reportError(e.what());
        if (!jsonErrors()) reportError("Run with --help for more information.");
        flushErrors(kExitUsage);
        return kExitUsage;
    } catch (const UsageError& e) {
        reportError(e.what());
        flushErrors(kExitUsage);
        return kExitUsage;
    } catch (const std::exception& e) {
        reportError(e.what());
        flushErrors(kExitFailed);
        return kExitFailed;
    }
    flushErrors(exitCode);
    return exitCode;
}
