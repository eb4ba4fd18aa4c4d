// The one place targets are opened: nothing that exists is ever opened, truncated or
// removed, and nothing lands on a source this process reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/common/output_file.h"
#include "core/device/sector_reader.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OutputFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        SourceGuard::reset();
        dir = makeTempDir("output-file");
    }
    void TearDown() override {
        SourceGuard::reset();
        fs::remove_all(dir);
    }
    fs::path dir;
};

TEST_F(OutputFileTest, AFileThatExistsIsNeverOpenedAndAFailedSaveRemovesOnlyItsOwn) {
    { std::ofstream(dir / "mine.txt") << "the user's"; }
    OutputFile file;
    EXPECT_FALSE(file.create(dir / "mine.txt"));
    EXPECT_EQ(file.error(), EEXIST);
    file.discard();
    EXPECT_EQ(contents(dir / "mine.txt"), "the user's");

    ASSERT_TRUE(file.createNew(dir / "mine.txt"));
    EXPECT_EQ(file.path(), dir / "mine (1).txt");
    const std::uint8_t data[] = {'n', 'e', 'w'};
    ASSERT_TRUE(file.write(data, 3));
    file.discard();  // a failed save: the file this object made goes, the user's stays
    EXPECT_FALSE(fs::exists(dir / "mine (1).txt"));
    EXPECT_EQ(contents(dir / "mine.txt"), "the user's");
}

TEST_F(OutputFileTest, TheSourceImageIsRefusedAndAFolderHoldingItIsNamed) {
    const fs::path image = dir / "src" / "disk.img";
    fs::create_directories(image.parent_path());
    { std::ofstream(image) << std::string(4096, 'd'); }
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(image.string()));

    OutputFile file;
    EXPECT_FALSE(file.create(image));
    EXPECT_EQ(file.error(), EEXIST);
    EXPECT_NE(file.refusal().find("is the source"), std::string::npos);
    EXPECT_EQ(contents(image), std::string(4096, 'd'));

    // The folder holding the image, and any folder above it, is refused for output;
    // a folder beside it or one still to be made is not.
    EXPECT_NE(SourceGuard::folderConflict(image.parent_path()).find("holds the source image"), std::string::npos);
    EXPECT_NE(SourceGuard::folderConflict(dir).find(image.filename().string()), std::string::npos);
    fs::create_directory(dir / "beside");
    EXPECT_EQ(SourceGuard::folderConflict(dir / "beside"), "");
    EXPECT_EQ(SourceGuard::folderConflict(dir / "src" / "new"), "");
    SourceGuard::allowSameDevice(true);
    EXPECT_EQ(SourceGuard::folderConflict(image.parent_path()), "");
    // Allowed or not, the image itself is never opened: a new name is made beside it.
    ASSERT_TRUE(file.createNew(image));
    EXPECT_EQ(file.path(), image.parent_path() / "disk (1).img");
    EXPECT_EQ(contents(image), std::string(4096, 'd'));
}

TEST_F(OutputFileTest, ALinkAtTheNameIsNotFollowed) {
    { std::ofstream(dir / "victim") << "untouched"; }
    fs::create_symlink(dir / "victim", dir / "link");
    OutputFile file;
    EXPECT_FALSE(file.create(dir / "link"));
    ASSERT_TRUE(file.createNew(dir / "link"));
    EXPECT_EQ(file.path(), dir / "link (1)");
    EXPECT_EQ(contents(dir / "victim"), "untouched");
}

TEST(OutputFileNames, NumberedNamesStayWithinTheNameLimit) {
    EXPECT_EQ(numberedName("a.txt", 1), "a (1).txt");
    EXPECT_EQ(numberedName(".hidden", 2), ".hidden (2)");
    EXPECT_LE(numberedName(std::string(255, 'x'), 12).size(), kMaxNameBytes);
}

}  // namespace
}  // namespace dravonel::test
