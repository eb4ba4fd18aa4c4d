// Carving speed: the carving engine with the default signature set (FileSetting.txt beside
// the executable) over a 1 GiB image, against plain 1 MiB reads of the same image through
// the same reader, and against PhotoRec and foremost on the same image in the same run.
//
//   carve_bench [SIZE_MIB] [--keep]
//
// The image is made in a fresh folder below /tmp: random data with copies of the carving
// fixture (build/fixtures/raw_carve.img: real JPEG, PNG, GIF, BMP, PDF and ZIP files)
// planted at sector-aligned places. Every measurement reads it from the page cache (it was
// just written, and each is preceded by a warm-up read), so the ratios compare work per
// byte, not the disk. PhotoRec and foremost also write the files they recover; the engine
// only lists them. A reference that is not installed is skipped with a message.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/device/sector_reader.h"
#include "core/raw/carving_engine.h"
#include "core/raw/signature_record.h"
#include "core/model/tri_state_tree.h"

namespace fs = std::filesystem;
using dravonel::FileReadSeek;

namespace {

constexpr std::int64_t kMiB = 1048576;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

fs::path exeDir() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : exe.parent_path();
}

bool onPath(const std::string& tool) {
    const std::string cmd = "command -v " + tool + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::int64_t countFiles(const fs::path& dir, const std::string& skipName) {
    std::int64_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file() && it->path().filename() != skipName && it->path().filename() != "photorec.log")
            ++n;
    return n;
}

// Random data with copies of the fixture at sector-aligned places.
bool makeImage(const fs::path& path, std::int64_t bytes, const std::vector<char>& fixture) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> chunk(kMiB / 8);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::int64_t written = 0;
    int sinceFixture = 0;
    while (written < bytes) {
        if (!fixture.empty() && sinceFixture >= 2 &&
            written + static_cast<std::int64_t>(fixture.size()) + 512 <= bytes) {
            out.write(fixture.data(), static_cast<std::streamsize>(fixture.size()));
            written += static_cast<std::int64_t>(fixture.size());
            const std::int64_t pad = (512 - written % 512) % 512;
            out.write(std::string(static_cast<std::size_t>(pad), '\0').data(), pad);
            written += pad;
            sinceFixture = 0;
            continue;
        }
        for (auto& w : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            w = state;
        }
        const std::int64_t n = std::min<std::int64_t>(kMiB, bytes - written);
        out.write(reinterpret_cast<const char*>(chunk.data()), n);
        written += n;
        ++sinceFixture;
    }
    return static_cast<bool>(out);
}

double plainRead(const fs::path& image, std::int64_t bytes) {
    FileReadSeek reader;
    if (!reader.open(image.string())) return -1;
    std::vector<std::uint8_t> buf(kMiB);
    const auto t0 = std::chrono::steady_clock::now();
    volatile std::uint8_t sink = 0;
    for (std::int64_t at = 0; at < bytes; at += kMiB) {
        reader.seek(at);
        reader.read(buf.data(), static_cast<std::uint32_t>(kMiB));
        sink = sink ^ buf[0];
    }
    return seconds(t0);
}

double carveOnce(const fs::path& image, std::int64_t bytes, const std::vector<dravonel::SignatureEntry>& signatures,
                 std::size_t& found) {
    FileReadSeek reader;
    if (!reader.open(image.string())) return -1;
    dravonel::CTriStateTree tree;
    tree.initialise();
    tree.triStatePropagation = true;
    dravonel::myJpg engine;
    engine.signatures = signatures;
    engine.reader = &reader;
    engine.volumeSize = bytes;
    engine.tree = &tree;
    const auto t0 = std::chrono::steady_clock::now();
    engine.carve();
    const double t = seconds(t0);
    found = engine.found().size();
    return t;
}

double runTool(const std::string& command) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double t = seconds(t0);
    return rc == 0 ? t : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::int64_t sizeMib = 1024;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep") keep = true;
        else sizeMib = std::atoll(argv[i]);
    }
    if (sizeMib < 4) sizeMib = 4;
    const std::int64_t bytes = sizeMib * kMiB;

    std::vector<dravonel::SignatureEntry> signatures;
    const fs::path settings = dravonel::defaultSignatureFilePath();
    if (dravonel::readSignatureFile(settings, 0, signatures) != dravonel::SignatureFileStatus::Loaded) {
        std::fprintf(stderr, "carve_bench: %s: not a valid file..\n", settings.c_str());
        return 1;
    }

    std::vector<char> fixture;
    const fs::path fixturePath = exeDir().parent_path() / "fixtures" / "raw_carve.img";
    {
        std::ifstream in(fixturePath, std::ios::binary);
        fixture.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (fixture.empty()) std::printf("note: %s not found; the image holds random data only\n", fixturePath.c_str());

    char dirTemplate[] = "/tmp/carve-bench-XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = dirTemplate;
    const fs::path image = dir / "image.img";
    std::printf("making %lld MiB image %s ...\n", static_cast<long long>(sizeMib), image.c_str());
    if (!makeImage(image, bytes, fixture)) {
        std::fprintf(stderr, "carve_bench: could not write the image\n");
        return 1;
    }
    const double mib = static_cast<double>(sizeMib);

    plainRead(image, bytes);  // warm-up: the whole image in the page cache
    double readBest = 1e30, carveBest = 1e30;
    std::size_t found = 0;
    for (int round = 0; round < 3; ++round) {
        readBest = std::min(readBest, plainRead(image, bytes));
        carveBest = std::min(carveBest, carveOnce(image, bytes, signatures, found));
    }
    std::printf("%-28s %8.3f s  %8.0f MiB/s\n", "plain 1 MiB reads", readBest, mib / readBest);
    std::printf("%-28s %8.3f s  %8.0f MiB/s  %zu files, %zu signatures\n", "carving engine (default set)", carveBest,
                mib / carveBest, found, signatures.size());
    std::printf("ratio carving/plain-read speed: %.2f (goal >= 0.80)\n", readBest / carveBest);

    if (onPath("photorec")) {
        plainRead(image, bytes);
        const fs::path out = dir / "photorec";
        fs::create_directories(out);
        const std::string cmd = "cd '" + out.string() + "' && photorec /log /d '" + (out / "recup").string() +
                                "' /cmd '" + image.string() + "' search >/dev/null 2>&1";
        const double t = runTool(cmd);
        if (t < 0) {
            std::printf("photorec: failed to run\n");
        } else {
            std::printf("%-28s %8.3f s  %8.0f MiB/s  %lld files written\n", "photorec", t, mib / t,
                        static_cast<long long>(countFiles(out, "report.xml")));
            std::printf("ratio photorec-time/carving-time: %.2f (goal >= 1.00)\n", t / carveBest);
        }
    } else {
        std::printf("photorec: not installed (package testdisk); skipped\n");
    }

    if (onPath("foremost")) {
        plainRead(image, bytes);
        const fs::path out = dir / "foremost";
        // -q: only sector starts are searched, as the engine does.
        const std::string cmd = "foremost -t all -q -i '" + image.string() + "' -o '" + out.string() + "' >/dev/null 2>&1";
        const double t = runTool(cmd);
        if (t < 0) {
            std::printf("foremost: failed to run\n");
        } else {
            std::printf("%-28s %8.3f s  %8.0f MiB/s  %lld files written\n", "foremost -q", t, mib / t,
                        static_cast<long long>(countFiles(out, "audit.txt")));
            std::printf("ratio foremost-time/carving-time: %.2f\n", t / carveBest);
        }
    } else {
        std::printf("foremost: not installed (package foremost); skipped\n");
    }

    if (keep) {
        std::printf("kept %s\n", dir.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return 0;
}
