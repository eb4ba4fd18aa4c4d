// `copies`: what the advanced road's search finds on a volume whose boot sector cannot be
// trusted, for choosing --copy, --heap-copy and --sectors-per-cluster.
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "cli/options.h"
#include "cli/volume_cli.h"
#include "core/common/text.h"

namespace dravonel::cli {

namespace {

// The cluster choices as sectors per cluster (exFAT keeps them as shifts).
std::vector<std::int64_t> sectorsPerClusterChoices(FileSystemKind kind, const AdvancedFinds& finds) {
    std::vector<std::int64_t> out;
    for (const int c : finds.clusterChoices) {
        if (kind == FileSystemKind::ExFat) {
            if (c >= 0 && c <= 30) out.push_back(std::int64_t{1} << c);
        } else if (c > 0) {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

int runCopies(const CopiesOptions& o) {
    TerminalSink sink;
    CliPrompt prompt;
    ScannedVolume scanned;
    const int rc = searchSelectedVolume(o.selection, scanned, sink, prompt, o.max);
    if (rc != kExitOk && rc != kExitStopped) return rc;
    const AdvancedSearch& search = *scanned.search;
    const AdvancedFinds& finds = search.finds();
    const FileSystemKind kind = search.kind();
    const std::vector<std::int64_t> clusters = sectorsPerClusterChoices(kind, finds);
    if (o.json) {
        nlohmann::json copies = nlohmann::json::array();
        for (std::size_t i = 0; i < finds.copies.size(); ++i)
            copies.push_back({{"index", i},
                              {"row", toUtf8(advancedCopyRowText(kind, i))},
                              {"offset", finds.copies[i]},
                              {"note", i < finds.copyNotes.size() ? toUtf8(finds.copyNotes[i]) : std::string()}});
        nlohmann::json heaps = nlohmann::json::array();
        for (std::size_t i = 0; i < finds.heaps.size(); ++i)
            heaps.push_back({{"index", i}, {"row", toUtf8(advancedHeapRowText(i))}, {"offset", finds.heaps[i]}});
        nlohmann::json out{{"fileSystem", toUtf8(fileSystemKindText(kind))},
                           {"volume", toUtf8(search.record().name)},
                           {"startSector", search.record().startSector},
                           {"copies", copies},
                           {"sectorsPerCluster", clusters},
                           {"stopped", rc == kExitStopped}};
        if (kind == FileSystemKind::ExFat) out["heaps"] = heaps;
        std::cout << out.dump(2) << '\n';
    } else {
        std::cout << toUtf8(fileSystemKindText(kind)) << " volume " << toUtf8(search.record().name) << " at sector "
                  << search.record().startSector << '\n';
        std::cout << "copy\tbyte offset\n";
        for (std::size_t i = 0; i < finds.copies.size(); ++i) {
            std::cout << i << '\t' << finds.copies[i];
            if (i < finds.copyNotes.size() && !finds.copyNotes[i].empty()) std::cout << '\t' << toUtf8(finds.copyNotes[i]);
            std::cout << '\n';
        }
        if (kind == FileSystemKind::ExFat) {
            std::cout << "heap\tbyte offset\n";
            for (std::size_t i = 0; i < finds.heaps.size(); ++i) std::cout << i << '\t' << finds.heaps[i] << '\n';
        }
        std::cout << "sectors per cluster:";
        for (std::size_t i = 0; i < clusters.size(); ++i)
            std::cout << ' ' << clusters[i] << (i == 0 ? " (default)" : "");
        std::cout << '\n';
    }
    if (rc == kExitStopped) {
        reportError("stopped: the search did not reach the volume's end");
        return kExitStopped;
    }
    if (finds.copies.empty()) {
        reportError(std::string("no copy of the ") + (kind == FileSystemKind::Ntfs ? "MFT" : "FAT") +
                    " found on volume " + toUtf8(search.record().name) + " of " + o.selection.source);
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace dravonel::cli
