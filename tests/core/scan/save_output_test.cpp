// Saving onto outputs that refuse: a disk that fills up, names a FAT32 or exFAT stick
// does not take.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "core/common/output_file.h"
#include "core/scan/fake_volume.h"
#include "core/scan/save_walk.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

struct PortableCase {
    const char* name;
    const char* portable;
};

TEST(PortableNames, WhatWindowsRefusesBecomesUnderscoreAndTrailingDotsGo) {
    const PortableCase cases[] = {
        {"a:b.txt", "a_b.txt"},      {"q?.txt", "q_.txt"},        {"x*y<z>|\"w\"", "x_y_z___w_"},
        {"back\\slash", "back_slash"}, {"tab\there", "tab_here"},   {"notes.txt. . ", "notes.txt"},
        {"...", "_"},                {"plain.jpg", "plain.jpg"},  {"\xC3\x84rger.txt", "\xC3\x84rger.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(portableName(c.name), c.portable) << c.name;
}

TEST(PortableNames, OnlyRefusalsOfTheNameItselfAreRetriedUnderAnother) {
    const fs::path out = makeTempDir("portable");
    EXPECT_EQ(portableTarget(out / "a:b.txt", ENOENT), out / "a_b.txt");  // the folder is there
    EXPECT_EQ(portableTarget(out / "gone" / "a:b.txt", ENOENT), fs::path());  // the folder is not
    EXPECT_EQ(portableTarget(out / "a:b.txt", EINVAL), out / "a_b.txt");
    EXPECT_EQ(portableTarget(out / "a:b.txt", EACCES), fs::path());
    EXPECT_EQ(portableTarget(out / "ok.txt", EINVAL), fs::path());  // nothing to change
    // A name too long for the output keeps its extension.
    const fs::path longer = portableTarget(out / (std::string(300, 'n') + ".jpg"), ENAMETOOLONG);
    EXPECT_EQ(longer.filename().string(), std::string(139, 'n') + ".jpg");
    fs::remove_all(out);
}

TEST(PortableNames, AFileWhoseNameTheOutputRefusesIsSavedUnderAPortableOneAndListed) {
    // No file system here refuses ':' without a stick; a name longer than a name may be
    // is refused by every one and goes the same way.
    FakeVolume volume;
    const std::string tooLong = std::string(300, 'x') + ".txt";
    const EntryRef ref = volume.file(FakeVolume::kRoot, u"x", "data");
    const fs::path out = makeTempDir("portable-save");
    SaveDetail detail;
    EXPECT_EQ(writeEntryFile(volume, ref, out / tooLong, nullptr, &detail), SaveStatus::Saved);
    EXPECT_EQ(detail.renamedFrom, tooLong);
    EXPECT_EQ(detail.written, out / (std::string(139, 'x') + ".txt"));
    EXPECT_EQ(filesBelow(out).at(detail.written.filename().string()), "data");
    const SaveProblem renamed{detail.written, SaveStatus::Saved, detail.renamedFrom, 0};
    EXPECT_EQ(problemLine(renamed, out), "saved as " + detail.written.filename().string() + ": " + tooLong);
    fs::remove_all(out);
}

// A folder with a small tmpfs mounted on it (root only), unmounted at the end.
struct SmallDisk {
    fs::path dir;
    bool mounted = false;
    explicit SmallDisk(const char* size) : dir(makeTempDir("small-disk")) {
        const std::string options = std::string("size=") + size;
        mounted = ::geteuid() == 0 && ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

TEST(FullOutput, AFullDiskEndsTheSaveOnceAndLeavesNoHalfFile) {
    SmallDisk disk("256k");
    if (!disk.mounted) GTEST_SKIP() << "needs root to mount a 256 KiB tmpfs";
    FakeVolume volume;
    const EntryRef photos = volume.folder(FakeVolume::kRoot, u"photos");
    std::map<std::string, std::string> wanted;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "IMG_" + std::to_string(1000 + i) + ".JPG";
        const std::string data(20000 + i, char('a' + i % 26));
        volume.file(photos, fromUtf8(name), data);
        wanted["photos/" + name] = data;
    }
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = disk.dir;
    run.run(nullptr);

    const SaveCounts& c = run.counts();
    ASSERT_GT(c.saved, 0);
    ASSERT_GT(c.failed, 0);
    EXPECT_EQ(c.saved + c.failed, 40);
    // The file in hand is named once; the files after it are not tried one by one.
    EXPECT_EQ(run.problems().size(), 1u);
    EXPECT_EQ(volume.saved.size(), std::size_t(c.saved + 1));
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Failed);
    const std::string said = "The disk of " + disk.dir.string() + " is full: " + std::to_string(c.saved) +
                             " files saved, " + std::to_string(c.failed) +
                             " not saved. Free some space or choose another folder.";
    EXPECT_EQ(toUtf8(run.outcome().message), said);
    EXPECT_EQ(std::count(prompt.messages.begin(), prompt.messages.end(), fromUtf8(said)), 1);
    // Whatever is on the disk is whole.
    const auto files = filesBelow(disk.dir);
    EXPECT_EQ(files.size(), std::size_t(c.saved));
    for (const auto& [path, data] : files) EXPECT_EQ(data, wanted.at(path)) << path;
}

}  // namespace
}  // namespace dravonel::test
