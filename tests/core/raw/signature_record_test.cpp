#include "core/raw/signature_record.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/common/text.h"
#include "raw_test_support.h"

namespace dravonel::test {
namespace {

namespace sr = signature_record;

SignatureRecord sampleRecord() {
    SignatureRecord r;
    r.extension = u"jpeg";
    r.extensionLength = 5;
    r.startSignature = {0xFF, 0xD8, 0xFF, 0xE0, 0x2A, 0, 0, 0, 0, 0x11};
    r.startLength = 10;
    r.endSignature = {0xFF, 0xD9};
    r.endLength = 2;
    r.ordinal = 7;
    r.offsetToSizeBytes = 0x01020304;
    r.bytesInSize = 4;
    r.headerSize = -2;
    r.sizeIncludesHeader = 1;
    r.approxFileSize = 0x1122334455667788;
    r.sizeToSkip = 0x0A0B0C0D0E0F1011;
    r.category = u"Pictures";
    return r;
}

TEST(SignatureRecordLayout, FieldsSitAtTheirOffsetsLittleEndian) {
    const auto bytes = encodeSignatureRecord(sampleRecord());
    ASSERT_EQ(bytes.size(), 171u);
    struct Field { std::size_t at; std::vector<std::uint8_t> value; };
    const std::vector<Field> fields = {
        {0, {'j', 0, 'p', 0, 'e', 0, 'g', 0, 0, 0}},
        {10, {5}},
        {11, {0xFF, 0xD8, 0xFF, 0xE0, 0x2A, 0, 0, 0, 0, 0x11}},
        {21, {0xFF, 0xD9, 0, 0, 0, 0, 0, 0, 0, 0}},
        {31, {10}},
        {32, {2}},
        {33, {7}},
        {34, {0x04, 0x03, 0x02, 0x01}},
        {38, {4, 0, 0, 0}},
        {42, {0xFE, 0xFF, 0xFF, 0xFF}},
        {46, {1}},
        {47, {0, 0, 0, 0}},
        {51, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
        {59, {0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A}},
        {67, {'P', 0, 'i', 0, 'c', 0, 't', 0, 'u', 0, 'r', 0, 'e', 0, 's', 0, 0, 0}},
        {167, {0, 0, 0, 0}},
    };
    for (const auto& f : fields)
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + f.at, bytes.begin() + f.at + f.value.size()), f.value)
            << "field at " << f.at;
    // The category's unused characters are zero up to its end at 167.
    for (std::size_t i = 67 + 16; i < 167; ++i) EXPECT_EQ(bytes[i], 0) << i;

    EXPECT_EQ(decodeSignatureRecord(bytes), sampleRecord());
}

TEST(SignatureRecordLayout, FreshRecordAndFullCategoryRoundTrip) {
    SignatureRecord fresh;
    const auto bytes = encodeSignatureRecord(fresh);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == sr::kOrdinal) {
            EXPECT_EQ(bytes[i], 255);
        }
        else if (i >= sr::kOffsetToSize && i < sr::kOffsetToSize + 4) EXPECT_EQ(bytes[i], 0xFF);
        else EXPECT_EQ(bytes[i], 0) << i;
    }
    SignatureRecord full = sampleRecord();
    full.category = std::u16string(50, u'C');
    EXPECT_EQ(decodeSignatureRecord(encodeSignatureRecord(full)).category, full.category);
}

struct BuildCase {
    const char* name;
    SignatureForm form;
    const char16_t* message;  // nullptr: built
    std::vector<std::uint8_t> start;
    std::u16string extension;
    std::uint8_t extensionLength;
};

SignatureForm form(std::u16string ext, std::u16string start, std::u16string category = u"Pictures") {
    SignatureForm f;
    f.extension = std::move(ext);
    f.startSignature = std::move(start);
    f.category = std::move(category);
    return f;
}

class SignatureBuilder : public ::testing::TestWithParam<BuildCase> {};

TEST_P(SignatureBuilder, StoresOrRefuses) {
    const BuildCase& c = GetParam();
    const BuiltRecord built = buildSignatureRecord(c.form, 3);
    if (c.message) {
        EXPECT_FALSE(built.record) << c.name;
        EXPECT_EQ(toUtf8(built.message), toUtf8(c.message)) << c.name;
        return;
    }
    ASSERT_TRUE(built.record) << c.name << ": " << toUtf8(built.message);
    const SignatureRecord& r = *built.record;
    EXPECT_EQ(r.ordinal, 3);
    EXPECT_EQ(std::vector<std::uint8_t>(r.startSignature.begin(), r.startSignature.begin() + r.startLength), c.start)
        << c.name;
    EXPECT_EQ(r.extension, c.extension) << c.name;
    EXPECT_EQ(r.extensionLength, c.extensionLength) << c.name;
}

const BuildCase kBuildCases[] = {
    {"png with 0x", form(u"png", u"0x89,0x50,0x4E,0x47"), nullptr, {0x89, 0x50, 0x4E, 0x47}, u"png", 3},
    {"without 0x, spaces, empty pieces", form(u"png", u" 89, 50,,4e ,47,"), nullptr, {0x89, 0x50, 0x4E, 0x47}, u"png", 3},
    {"low byte of a wider number", form(u"x", u"0x1FF,2A"), nullptr, {0xFF, 0x2A}, u"x", 1},
    {"four characters whole", form(u"jpeg", u"FF,D8"), nullptr, {0xFF, 0xD8}, u"jpeg", 4},
    {"five characters keep four", form(u"abcde", u"FF,D8"), nullptr, {0xFF, 0xD8}, u"abcd", 5},
    {"ten bytes", form(u"x", u"1,2,3,4,5,6,7,8,9,A"), nullptr, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, u"x", 1},
    {"empty extension", form(u"", u"FF,D8"), u"extention length is zero..", {}, u"", 0},
    {"only commas", form(u"png", u",,,"), u"signature length is zero..", {}, u"", 0},
    {"empty signature", form(u"png", u""), u"signature length is zero..", {}, u"", 0},
    {"eleven bytes", form(u"x", u"1,2,3,4,5,6,7,8,9,A,B"), u"starting signature is longer than 10 bytes..", {}, u"", 0},
    {"not hexadecimal", form(u"x", u"FF,zz"), u"starting signature must be hexadecimal bytes separated by commas..", {}, u"", 0},
    {"category of 51", form(u"x", u"FF,D8", std::u16string(51, u'c')), u"category name is longer than 50 characters..", {}, u"", 0},
};
INSTANTIATE_TEST_SUITE_P(Forms, SignatureBuilder, ::testing::ValuesIn(kBuildCases), caseName<BuildCase>);

TEST(SignatureBuilderFields, NumbersEndingAndCategory) {
    SignatureForm f = form(u"wav", u"52,49,46,46");
    f.endSignature = u"0xAE,0x42";
    f.offsetToSizeBytes = u"4";
    f.bytesInSize = u"4";
    f.headerSize = u"8";
    f.sizeToSkip = u"2097152";
    f.approxFileSize = u"5000000000";
    f.category = u"Audio";
    auto r = buildSignatureRecord(f, 0).record;
    ASSERT_TRUE(r);
    EXPECT_EQ(r->endLength, 2);
    EXPECT_EQ(r->endSignature[0], 0xAE);
    EXPECT_EQ(r->endSignature[1], 0x42);
    EXPECT_EQ(r->offsetToSizeBytes, 4);
    EXPECT_EQ(r->bytesInSize, 4);
    EXPECT_EQ(r->headerSize, 8);
    EXPECT_EQ(r->sizeIncludesHeader, 0);
    EXPECT_EQ(r->sizeToSkip, 2097152);
    EXPECT_EQ(r->approxFileSize, 5000000000LL);
    EXPECT_EQ(r->category, u"Audio");

    // An offset of 0 (or none) keeps "no size field"; a size field wider than 8 bytes is
    // refused, since loading would reject the file.
    f.offsetToSizeBytes = u"0";
    EXPECT_EQ(buildSignatureRecord(f, 0).record->offsetToSizeBytes, -1);
    f.bytesInSize = u"9";
    EXPECT_FALSE(buildSignatureRecord(f, 0).record);
}

class SignatureFiles : public ::testing::Test {
protected:
    void SetUp() override { dir_ = makeTempDir("sigfile"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;

    void writeBytes(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::vector<std::uint8_t> records(std::size_t n, std::uint8_t lastOrdinal) {
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < n; ++i) {
            SignatureRecord r = sampleRecord();
            r.ordinal = i + 1 == n ? lastOrdinal : static_cast<std::uint8_t>(i);
            const auto b = encodeSignatureRecord(r);
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }
};

TEST_F(SignatureFiles, ThreeSavesMakeA513ByteFileThatLoadsThreeEntries) {
    const auto path = dir_ / "mine.sig";
    ScriptedPrompt prompt;
    for (const char16_t* ext : {u"png", u"gif", u"bmp"})
        ASSERT_TRUE(appendSignatureRecord(path, form(ext, u"41,42"), &prompt));
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>(3, u"everything initialized well....."));
    const auto bytes = readFileBytes(path);
    ASSERT_EQ(bytes.size(), 513u);
    EXPECT_EQ(bytes[33], 0);
    EXPECT_EQ(bytes[171 + 33], 1);
    EXPECT_EQ(bytes[342 + 33], 2);

    std::vector<SignatureEntry> entries;
    ASSERT_EQ(readSignatureFile(path, 0, entries), SignatureFileStatus::Loaded);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].record.extension, u"bmp");
    EXPECT_EQ(entries[2].index, 2);

    // A refused record writes nothing.
    EXPECT_FALSE(appendSignatureRecord(path, form(u"", u"41,42"), &prompt));
    EXPECT_EQ(prompt.messages.back(), u"extention length is zero..");
    EXPECT_EQ(readFileBytes(path).size(), 513u);
}

struct LoadCase {
    const char* name;
    std::size_t records;
    std::uint8_t lastOrdinal;
    std::int64_t trim;  // bytes cut from the end (negative: bytes added)
    SignatureFileStatus status;
    std::size_t entries;
};

class SignatureFileLoading : public SignatureFiles, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(SignatureFileLoading, CountsAndValidity) {
    const LoadCase& c = GetParam();
    auto bytes = records(c.records, c.lastOrdinal);
    if (c.trim > 0) bytes.resize(bytes.size() - c.trim);
    else bytes.resize(bytes.size() - c.trim, 0);
    const auto path = dir_ / "f.sig";
    writeBytes(path, bytes);
    std::vector<SignatureEntry> entries;
    EXPECT_EQ(readSignatureFile(path, 10, entries), c.status) << c.name;
    EXPECT_EQ(entries.size(), c.entries) << c.name;
    if (!entries.empty()) {
        EXPECT_EQ(entries.front().index, 10) << c.name;
        EXPECT_EQ(entries.back().index, 10 + static_cast<std::int64_t>(entries.size()) - 1) << c.name;
    }
}

const LoadCase kLoadCases[] = {
    {"one record", 1, 0, 0, SignatureFileStatus::Loaded, 1},
    {"count from the last ordinal", 3, 1, 0, SignatureFileStatus::Loaded, 2},
    {"fresh ordinal 255 reads what is there", 2, 255, 0, SignatureFileStatus::Loaded, 2},
    {"300 records: the ordinal wrapped", 300, 43, 0, SignatureFileStatus::Loaded, 300},
    {"170 bytes", 1, 0, 1, SignatureFileStatus::NotValid, 0},
    {"trailing partial record is left", 2, 1, -100, SignatureFileStatus::Loaded, 2},
    {"over 1 MiB", 6133, 0, 0, SignatureFileStatus::NotValid, 0},
};
INSTANTIATE_TEST_SUITE_P(Files, SignatureFileLoading, ::testing::ValuesIn(kLoadCases), caseName<LoadCase>);

TEST_F(SignatureFiles, DamagedRecordsMakeTheFileInvalid) {
    struct Damage { std::size_t at; std::uint8_t value; };
    for (const Damage d : {Damage{sr::kStartLength, 11}, Damage{sr::kEndLength, 200}, Damage{sr::kBytesInSize, 9}}) {
        auto bytes = records(2, 1);
        bytes[d.at] = d.value;  // in the first record
        writeBytes(dir_ / "bad.sig", bytes);
        std::vector<SignatureEntry> entries;
        EXPECT_EQ(readSignatureFile(dir_ / "bad.sig", 0, entries), SignatureFileStatus::NotValid) << d.at;
        EXPECT_TRUE(entries.empty());
    }
    std::vector<SignatureEntry> entries;
    EXPECT_EQ(readSignatureFile(dir_ / "missing.sig", 0, entries), SignatureFileStatus::CannotOpen);
    EXPECT_EQ(readSignatureFile(dir_, 0, entries), SignatureFileStatus::CannotOpen);
}

TEST_F(SignatureFiles, LoadingOrderMessagesAndIndexes) {
    writeBytes(dir_ / "default.sig", records(3, 2));
    writeBytes(dir_ / "user.sig", records(2, 1));
    writeBytes(dir_ / "short.sig", std::vector<std::uint8_t>(170, 0));

    ScriptedPrompt prompt;
    std::vector<SignatureEntry> list;
    std::int64_t defaultCount = 4;  // entries loaded by an earlier Parse
    SignatureSources sources{true, dir_ / "default.sig", {dir_ / "user.sig"}};
    ASSERT_TRUE(loadSignatureSources(sources, defaultCount, list, &prompt));
    EXPECT_TRUE(prompt.messages.empty());
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].index, 4);
    EXPECT_EQ(list[2].index, 6);
    EXPECT_EQ(list[3].index, 0);  // the user file is indexed by ordinal
    EXPECT_EQ(defaultCount, 7);

    // A missing default file is skipped silently, an invalid one with a message; either
    // way loading goes on. A failed user file ends it.
    struct SourceCase { std::filesystem::path def, user; bool ok; std::vector<std::u16string> messages; };
    const SourceCase cases[] = {
        {dir_ / "none.sig", dir_ / "user.sig", true, {}},
        {dir_ / "short.sig", dir_ / "user.sig", true, {u"not a valid file.."}},
        {dir_ / "default.sig", dir_ / "none.sig", false, {u"can not open file"}},
        {dir_ / "default.sig", dir_ / "short.sig", false, {u"not a valid file.."}},
    };
    for (const auto& c : cases) {
        ScriptedPrompt p;
        std::vector<SignatureEntry> l;
        std::int64_t count = 0;
        EXPECT_EQ(loadSignatureSources({true, c.def, {c.user}}, count, l, &p), c.ok) << c.def << " " << c.user;
        EXPECT_EQ(p.messages, c.messages) << c.def << " " << c.user;
    }
}

}  // namespace
}  // namespace dravonel::test
