// devices, partitions and deep-scan: what the machine holds and the volumes on a disk.
#include <csignal>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "core/device/drive_list.h"
#include "core/device/sector_reader.h"
#include "core/partitions/partition.h"

namespace dravonel::cli {

namespace {

Partition* gRunning = nullptr;

// Ctrl-C asks a running deep scan to stop, like the page's Stop button; the rows found so
// far are still printed.
void onInterrupt(int) {
    if (gRunning) gRunning->stopRequested.store(1);
}

void printRecords(const std::vector<VolumeRecord>& records, bool json) {
    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& r : records)
            out.push_back({{"name", toUtf8(r.name)},
                           {"fileSystem", toUtf8(r.fileSystem)},
                           {"sizeMbText", toUtf8(r.sizeMbText)},
                           {"startSector", r.startSector}});
        std::cout << out.dump(2) << '\n';
        return;
    }
    for (const auto& r : records)
        std::cout << toUtf8(r.name) << '\t' << toUtf8(r.fileSystem) << '\t' << toUtf8(r.sizeMbText) << '\t'
                  << r.startSector << '\n';
}

// Opens SOURCE read-only; on failure the system's messages go to stderr.
bool openSource(FileReadSeek& reader, StderrPrompt& prompt, const std::string& source) {
    reader.prompt = &prompt;
    if (reader.open(source)) return true;
    prompt.message(u"file not opened..");
    return false;
}

}  // namespace

void addDiscoveryCommands(CLI::App& app, int& exitCode) {
    auto* devices = app.add_subcommand("devices", "List the physical drives and the mounted volumes");
    auto devicesJson = std::make_shared<bool>(false);
    devices->add_flag("--json", *devicesJson, "Print JSON");
    devices->callback([devicesJson, &exitCode] {
        const auto roots = systemRoots();
        const auto drives = listPhysicalDrives(roots);
        const auto volumes = listMountedVolumes(roots);
        if (*devicesJson) {
            nlohmann::json out{{"drives", nlohmann::json::array()}, {"volumes", nlohmann::json::array()}};
            for (const auto& d : drives)
                out["drives"].push_back({{"number", d.number}, {"path", d.devicePath}, {"text", toUtf8(d.text)},
                                         {"sizeBytes", d.sizeBytes}});
            for (const auto& v : volumes)
                out["volumes"].push_back({{"rootPath", toUtf8(v.rootPath)}, {"name", toUtf8(v.name)},
                                          {"fileSystem", toUtf8(v.fileSystem)}, {"sizeMbText", toUtf8(v.sizeMbText)}});
            std::cout << out.dump(2) << '\n';
        } else {
            std::cout << "PHYSICAL DRIVES:\n";
            for (const auto& d : drives)
                std::cout << d.number << '\t' << d.devicePath << '\t' << toUtf8(d.text) << '\n';
            std::cout << "VOLUMES:\n";
            for (const auto& v : volumes)
                std::cout << toUtf8(v.rootPath) << '\t' << toUtf8(v.name) << '\t' << toUtf8(v.fileSystem) << '\t'
                          << toUtf8(v.sizeMbText) << '\n';
        }
        exitCode = 0;
    });

    struct PartitionsOptions {
        std::string source;
        bool gpt = false;
        bool json = false;
    };
    auto popt = std::make_shared<PartitionsOptions>();
    auto* partitions = app.add_subcommand("partitions", "Read the partition tables (Standard scan)");
    partitions->add_option("SOURCE", popt->source, "Device path or disk image")->required();
    partitions->add_flag("--gpt", popt->gpt, "Read the disk as GPT");
    partitions->add_flag("--json", popt->json, "Print JSON");
    partitions->callback([popt, &exitCode] {
        FileReadSeek reader;
        StderrPrompt prompt;
        if (!openSource(reader, prompt, popt->source)) {
            exitCode = 1;
            return;
        }
        TerminalSink sink;
        std::vector<VolumeRecord> records;
        Partition partition;
        partition.gptMode = popt->gpt ? 1 : 0;
        partition.records = &records;
        partition.sink = &sink;
        // A failed read ends discovery; what was found before it is listed all the same.
        discoverPartitions(reader, partition);
        sink.finish();
        printRecords(records, popt->json);
        exitCode = 0;
    });

    struct DeepOptions {
        std::string source;
        bool noSkip = false;
        std::int64_t startSector = 0;
        std::int64_t endSector = 0;
        bool json = false;
    };
    auto dopt = std::make_shared<DeepOptions>();
    auto* deep = app.add_subcommand("deep-scan", "Scan the disk surface for boot sectors (Advance scan)");
    deep->add_option("SOURCE", dopt->source, "Device path or disk image")->required();
    deep->add_flag("--no-skip", dopt->noSkip, "Test every sector, also inside volumes already found");
    deep->add_option("--start-sector", dopt->startSector, "First sector of a custom range")->check(CLI::NonNegativeNumber);
    deep->add_option("--end-sector", dopt->endSector, "Last sector of a custom range")->check(CLI::NonNegativeNumber);
    deep->add_flag("--json", dopt->json, "Print JSON");
    deep->callback([dopt, &exitCode] {
        FileReadSeek reader;
        StderrPrompt prompt;
        if (!openSource(reader, prompt, dopt->source)) {
            exitCode = 1;
            return;
        }
        TerminalSink sink;
        std::vector<VolumeRecord> records;
        Partition partition;
        partition.skipVolumeSize = dopt->noSkip ? 0 : 1;
        partition.customStart = dopt->startSector;
        partition.customEnd = dopt->endSector;
        partition.records = &records;
        partition.sink = &sink;
        gRunning = &partition;
        auto previous = std::signal(SIGINT, onInterrupt);
        const std::uint32_t rc = deepScan(partition, reader);
        std::signal(SIGINT, previous);
        gRunning = nullptr;
        sink.finish();
        printRecords(records, dopt->json);
        if (rc != 0) {
            std::cerr << "read error at the scan position: " << std::strerror(static_cast<int>(rc)) << '\n';
            exitCode = 1;
            return;
        }
        exitCode = 0;
    });
}

}  // namespace dravonel::cli
