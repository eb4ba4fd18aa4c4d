// Carving exactness: carve and save every recognised file of a FAT32 image full of small
// files (made by tools/make_carve_bench_image.py: real JPEG, PNG, GIF, PDF, ZIP, BMP, WAV,
// gzip and SQLite files mixed with text and random data), then count the saved files
// that are byte-exact copies of the generator's files (by SHA-256), the bytes written
// against the true bytes of the files found, and the time against PhotoRec carving and
// saving the same image in the same run.
//
//   carve_exact_bench [DIR] [--files N] [--mib SIZE] [--keep]
//
// DIR (default /tmp/carve-exact-bench) holds image.img and manifest.json; they are made
// when missing (defaults: 30000 files, 1024 MiB). Both carvers read the image from the
// page cache (a warm-up read precedes each run) and write into DIR.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../tests/support/sha256_digest.h"
#include "core/device/sector_reader.h"
#include "core/raw/carved_save.h"
#include "core/raw/carving_engine.h"
#include "core/raw/signature_record.h"
#include "core/model/tri_state_tree.h"

namespace fs = std::filesystem;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string fileSha(const fs::path& p, std::int64_t& size) {
    std::ifstream in(p, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size = static_cast<std::int64_t>(data.size());
    return dravonel::test::sha256Hex(data);
}

void warm(const fs::path& image) {
    std::ifstream in(image, std::ios::binary);
    std::vector<char> buf(1 << 20);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    }
}

struct Manifest {
    std::map<std::string, std::pair<std::string, std::int64_t>> bySha;  // sha -> (type, size)
    std::map<std::string, int> perType;
    std::int64_t bytes = 0;
};

struct Tally {
    std::map<std::string, int> exact;  // per type
    int files = 0;
    std::int64_t written = 0;
    std::int64_t trueBytesFound = 0;
    double time = 0;
};

// Every regular file below dir: byte-exact ones (each generator file counted once).
Tally tally(const fs::path& dir, const Manifest& m, const std::vector<std::string>& skipNames) {
    Tally t;
    std::map<std::string, bool> seen;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        const std::string name = e.path().filename().string();
        if (std::find(skipNames.begin(), skipNames.end(), name) != skipNames.end()) continue;
        std::int64_t size = 0;
        const std::string sha = fileSha(e.path(), size);
        ++t.files;
        t.written += size;
        const auto it = m.bySha.find(sha);
        if (it != m.bySha.end() && !seen[sha]) {
            seen[sha] = true;
            ++t.exact[it->second.first];
            t.trueBytesFound += it->second.second;
        }
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path dir = "/tmp/carve-exact-bench";
    std::string files = "30000", mib = "1024";
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--files" && i + 1 < argc) files = argv[++i];
        else if (a == "--mib" && i + 1 < argc) mib = argv[++i];
        else if (a == "--keep") keep = true;
        else dir = a;
    }
    const fs::path image = dir / "image.img", manifestPath = dir / "manifest.json";
    if (!fs::exists(image) || !fs::exists(manifestPath)) {
        const std::string cmd = std::string("python3 '") + DRAVONEL_SOURCE_DIR + "/tools/make_carve_bench_image.py' '" +
                                dir.string() + "' --files " + files + " --mib " + mib;
        std::printf("making the image: %s\n", cmd.c_str());
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "carve_exact_bench: the image could not be made\n");
            return 1;
        }
    }

    Manifest m;
    {
        std::ifstream in(manifestPath);
        for (const auto& f : nlohmann::json::parse(in)) {
            m.bySha[f["sha256"]] = {f["type"], f["size"]};
            ++m.perType[f["type"]];
            m.bytes += f["size"].get<std::int64_t>();
        }
    }
    const std::int64_t imageBytes = static_cast<std::int64_t>(fs::file_size(image));
    std::printf("image %s: %lld MiB, %zu files, %lld bytes of files\n", image.c_str(),
                static_cast<long long>(imageBytes >> 20), m.bySha.size(), static_cast<long long>(m.bytes));

    std::vector<dravonel::SignatureEntry> signatures;
    if (dravonel::readSignatureFile(dravonel::defaultSignatureFilePath(), 0, signatures) !=
        dravonel::SignatureFileStatus::Loaded) {
        std::fprintf(stderr, "carve_exact_bench: FileSetting.txt: not a valid file..\n");
        return 1;
    }

    // This engine: carve, then save every item.
    const fs::path ours = dir / "ours";
    fs::remove_all(ours);
    fs::create_directories(ours);
    warm(image);
    Tally mine;
    std::size_t found = 0, estimated = 0;
    {
        dravonel::FileReadSeek reader;
        if (!reader.open(image.string())) return 1;
        dravonel::CTriStateTree tree;
        tree.initialise();
        tree.triStatePropagation = true;
        dravonel::myJpg engine;
        engine.signatures = signatures;
        engine.reader = &reader;
        engine.volumeSize = imageBytes / 512 * 512;
        engine.tree = &tree;
        const auto t0 = std::chrono::steady_clock::now();
        engine.carve();
        tree.setCheck(engine.rootItem(), true);
        dravonel::StopFlag stop{0};
        dravonel::saveCheckedCarvedItems(engine, reader, tree, ours, stop, nullptr, nullptr, nullptr);
        const double t = seconds(t0);
        found = engine.found().size();
        for (const auto& f : engine.found()) estimated += f.sizeEstimated ? 1 : 0;
        mine = tally(ours, m, {});
        mine.time = t;
    }

    // PhotoRec over the same image, whole space, every file type it knows.
    Tally theirs;
    bool photorec = std::system("command -v photorec >/dev/null 2>&1") == 0;
    if (photorec) {
        const fs::path out = dir / "photorec";
        fs::remove_all(out);
        fs::create_directories(out);
        warm(image);
        const std::string cmd = "cd '" + out.string() + "' && photorec /log /d '" + (out / "recup").string() +
                                "' /cmd '" + image.string() + "' wholespace,search >/dev/null 2>&1";
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = std::system(cmd.c_str());
        theirs = tally(out, m, {"report.xml", "photorec.log"});
        theirs.time = seconds(t0);
        if (rc != 0) std::printf("photorec: exit status %d\n", rc);
    } else {
        std::printf("photorec: not installed (package testdisk); skipped\n");
    }

    std::printf("\n%-6s %8s %14s %14s\n", "type", "in image", "exact (ours)", "exact (photorec)");
    for (const auto& [type, count] : m.perType)
        std::printf("%-6s %8d %14d %14d\n", type.c_str(), count, mine.exact[type], photorec ? theirs.exact[type] : 0);
    std::printf("\nours:     %zu found (%zu size estimated), %d files written, %lld bytes written\n", found, estimated,
                mine.files, static_cast<long long>(mine.written));
    std::printf("          written / true bytes of the byte-exact files found: %.3f (goal <= 1.05)\n",
                mine.trueBytesFound ? double(mine.written) / double(mine.trueBytesFound) : 0.0);
    std::printf("          carve + save: %.2f s\n", mine.time);
    if (photorec) {
        std::printf("photorec: %d files written, %lld bytes written, %.2f s\n", theirs.files,
                    static_cast<long long>(theirs.written), theirs.time);
        std::printf("          written / true bytes of the byte-exact files found: %.3f\n",
                    theirs.trueBytesFound ? double(theirs.written) / double(theirs.trueBytesFound) : 0.0);
        std::printf("time ours / photorec: %.2f (goal <= 1.00)\n", mine.time / theirs.time);
    }
    if (!keep) {
        fs::remove_all(dir / "ours");
        fs::remove_all(dir / "photorec");
    }
    return 0;
}
