#include "EditorModel.h"
#include "FixedDay.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

using namespace editor;

namespace {

EditorModel Model() { return EditorModel(FixedDay); }

std::vector<uint8_t> Bytes(const EepromImage &image)
{
    return {image.Bytes(), image.Bytes() + EepromImage::kImageSize};
}

// An image file as the editor saves it after configuring a QT7730.
std::vector<uint8_t> ConfiguredFile(EditorModel &model)
{
    EXPECT_EQ(model.BuildImage().status, BuildOutcome::Built);
    model.m_image.m_rec.dwChipModel.set(CHIP_MODEL_QT7730);
    model.m_image.m_rec.dwChipVersion.set(0x0100);
    return Bytes(model.m_image);
}

std::string DescriptorText(const EepromImage &image, std::size_t offset)
{
    const uint8_t *b = image.Bytes() + offset;
    return NarrowDescriptorText(b + 2, (b[0] - 2) / 2);
}

} // namespace

TEST(EditorFieldCheck, RefusesNonHexAndKeepsTheOldValue)
{
    EditorModel model = Model();
    EXPECT_STREQ(model.CheckHexField(HexField::VendorId, "0C5G"), kVendorIdError);
    EXPECT_EQ(model.m_fields.m_strVendorId, "0C5E");
    EXPECT_STREQ(model.CheckHexField(HexField::ProductId, "77 3"), kProductIdError);
    EXPECT_STREQ(model.CheckHexField(HexField::Revision, "-1"), kRevisionError);
    EXPECT_EQ(model.m_fields.m_strRevision, "0100");

    EXPECT_EQ(model.CheckHexField(HexField::VendorId, "12"), nullptr);
    EXPECT_EQ(model.m_fields.m_strVendorId, "12");
    EXPECT_EQ(model.CheckHexField(HexField::Revision, ""), nullptr);
    EXPECT_EQ(model.CheckHexField(HexField::ProductId, "abCD"), nullptr);
}

TEST(EditorFieldCheck, ParseHex4TakesExactlyFourDigits)
{
    EXPECT_EQ(ParseHex4("0C5E"), 0x0C5E);
    EXPECT_EQ(ParseHex4("abcd"), 0xABCD);
    EXPECT_EQ(ParseHex4("0000"), 0);
    EXPECT_EQ(ParseHex4("FFFF"), 0xFFFF);
    using namespace std::literals;
    for (std::string_view bad : {""sv, "12"sv, "12345"sv, "0x12"sv, " 123"sv, "+123"sv, "-123"sv, "12G4"sv,
                                 "12\0" "3"sv})
        EXPECT_FALSE(ParseHex4(bad)) << bad;
}

TEST(EditorBuild, DefaultFieldsGiveTheStandardLayout)
{
    EditorModel model = Model();
    const BuildOutcome outcome = model.BuildImage();
    ASSERT_EQ(outcome.status, BuildOutcome::Built);
    const EepromRecord &r = model.m_image.m_rec;
    EXPECT_EQ(r.wVendorId.get(), 0x0C5E);
    EXPECT_EQ(r.wProductId3.get(), 0x7730);
    EXPECT_EQ(r.wRevision.get(), 0x0100);
    EXPECT_EQ(r.wProductId1.get(), 0x7711);
    EXPECT_EQ(r.wProductId2.get(), 0x7712);
    EXPECT_EQ(r.wProductId4.get(), 0x7702);
    EXPECT_EQ(r.bPidSelect, 3);
    EXPECT_EQ(r.bSerialIndex, 0);
    EXPECT_EQ(r.bAttributes, 0x80);

    const uint8_t *b = model.m_image.Bytes();
    EXPECT_EQ(b[36], 50);
    EXPECT_EQ(b[86], 38);
    EXPECT_EQ(b[124], 26);
    EXPECT_EQ(DescriptorText(model.m_image, 36), "Veltrona Technology Inc.");
    EXPECT_EQ(DescriptorText(model.m_image, 86), "USB Transfer Cable");
    EXPECT_EQ(DescriptorText(model.m_image, 124), "026120800000");
    EXPECT_EQ(b[150], 0); // the chain ends after the serial descriptor
    EXPECT_EQ(model.m_image.m_rec.dwChipModel.get(), 0u); // only configuration records the chip
}

TEST(EditorBuild, RefusesBadIdsAndEmptyTexts)
{
    {
        EditorModel model = Model();
        model.m_fields.m_strVendorId = "0000";
        EXPECT_STREQ(model.BuildImage().message, kVendorIdError);
        model.m_fields.m_strVendorId = "12";
        EXPECT_STREQ(model.BuildImage().message, kVendorIdError);
    }
    {
        EditorModel model = Model();
        model.m_fields.m_strProductId = "0000";
        model.m_fields.m_strRevision = "0000";
        EXPECT_EQ(model.BuildImage().status, BuildOutcome::Built);
        model.m_fields.m_strProductId = "773";
        EXPECT_STREQ(model.BuildImage().message, kProductIdError);
        model.m_fields.m_strProductId = "7730";
        model.m_fields.m_strRevision = "01";
        EXPECT_STREQ(model.BuildImage().message, kRevisionError);
    }
    {
        EditorModel model = Model();
        model.m_fields.m_strVendorId = "1234";
        model.m_fields.m_strVendorDesc.clear();
        EXPECT_STREQ(model.BuildImage().message, kVendorDescError);
        EXPECT_EQ(model.m_image.m_rec.wVendorId.get(), 0x1234); // the ids went in first
        model.m_fields.m_strVendorDesc = "V";
        model.m_fields.m_strProductDesc.clear();
        EXPECT_STREQ(model.BuildImage().message, kProductDescError);
    }
}

TEST(EditorBuild, SizeThresholdsFollowDescriptorZero)
{
    EditorModel model = Model();
    model.m_fields.m_strVendorDesc = std::string(31, 'v');
    model.m_fields.m_strProductDesc = std::string(31, 'p');
    EXPECT_EQ(model.BuildImage().status, BuildOutcome::Built); // ends at 190, room to spare

    EditorModel warned = Model();
    warned.m_image.Bytes()[32] = 0x50; // serial ends at 226: fewer than 36 bytes left
    const BuildOutcome w = warned.BuildImage();
    EXPECT_EQ(w.status, BuildOutcome::NeedsConsent);
    EXPECT_STREQ(w.message, kShortSerialWarning);

    EditorModel full = Model();
    full.m_image.Bytes()[32] = 0x80; // serial would end at 274
    const std::vector<uint8_t> before = Bytes(full.m_image);
    EXPECT_STREQ(full.BuildImage().message, kExceedError);
    EXPECT_TRUE(std::equal(before.begin() + 250, before.end(), full.m_image.Bytes() + 250));

    EditorModel edge = Model(); // serial ends at 252: fewer than 4 bytes remain
    edge.m_image.Bytes()[32] = 0x50 + 26;
    EXPECT_STREQ(edge.BuildImage().message, kExceedError);
}

TEST(EditorBuild, PowerAndSerialFlagsTouchOnlyTheirBits)
{
    EditorModel model = Model();
    model.m_image.m_rec.bAttributes = 0x81;
    model.m_fields.m_bSelfPowered = true;
    model.m_fields.m_bEnableSN = true;
    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(model.m_image.m_rec.bAttributes, 0xC1);
    EXPECT_EQ(model.m_image.m_rec.bSerialIndex, 3);
    model.m_fields.m_bSelfPowered = false;
    model.m_fields.m_bEnableSN = false;
    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(model.m_image.m_rec.bAttributes, 0x81);
    EXPECT_EQ(model.m_image.m_rec.bSerialIndex, 0);
}

TEST(EditorFile, SaveLoadShowBuildRoundTrip)
{
    TempDir dir;
    EditorModel saver = Model();
    saver.m_fields.m_strProductId = "abcd";
    saver.m_fields.m_bEnableSN = true;
    const std::vector<uint8_t> saved = ConfiguredFile(saver);
    const std::string path = dir.file(InitialImageFileName() + "1.eep");
    ASSERT_TRUE(saver.SaveImageFile(path));

    EditorModel loader = Model();
    const LoadOutcome loaded = loader.LoadImageFile(path);
    ASSERT_EQ(loaded.code, EEP_OK);
    ASSERT_TRUE(loaded.shown);
    EXPECT_EQ(Bytes(loader.m_image), saved);
    EXPECT_EQ(loader.m_fields.m_strProductId, "ABCD");
    EXPECT_TRUE(loader.m_fields.m_bEnableSN);
    EXPECT_EQ(loader.m_fields.m_strVendorDesc, "Veltrona Technology Inc.");
    ASSERT_EQ(loader.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(Bytes(loader.m_image), saved);
}

TEST(EditorFile, LoadedVariantsAreNormalisedByTheNextBuild)
{
    TempDir dir;
    EditorModel source = Model();
    ConfiguredFile(source);
    EepromRecord &r = source.m_image.m_rec;
    r.bPidSelect = 1;
    r.wProductId1.set(0x1111);
    r.wProductId2.set(0x2222);
    r.wProductId3.set(0x4321);
    r.bSerialIndex = 7;
    r.bAttributes = 0xC0;
    const std::string path = dir.write("variant.sdt", Bytes(source.m_image));

    EditorModel model = Model();
    ASSERT_TRUE(model.LoadImageFile(path).shown);
    EXPECT_EQ(model.m_fields.m_strProductId, "4321");
    EXPECT_TRUE(model.m_fields.m_bEnableSN);
    EXPECT_TRUE(model.m_fields.m_bSelfPowered);
    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(model.m_image.m_rec.bPidSelect, 3);
    EXPECT_EQ(model.m_image.m_rec.wProductId1.get(), 0x7711);
    EXPECT_EQ(model.m_image.m_rec.wProductId2.get(), 0x7712);
    EXPECT_EQ(model.m_image.m_rec.wProductId3.get(), 0x4321);
    EXPECT_EQ(model.m_image.m_rec.bSerialIndex, 3);
    EXPECT_EQ(model.m_image.m_rec.bAttributes, 0xC0); // self-powered survived the edit

    model.m_image.m_rec.bPidSelect = 2;
    model.m_fields.m_bEnableSN = false;
    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(model.m_image.m_rec.bPidSelect, 3);
    EXPECT_EQ(model.m_image.m_rec.bSerialIndex, 0);
}

TEST(EditorFile, FailedLoadChangesNothing)
{
    TempDir dir;
    EditorModel other = Model();
    ConfiguredFile(other);
    other.m_image.m_rec.dwChipModel.set(CHIP_MODEL_QT7701);
    other.m_fields = EditorFields{};
    const std::string qt7701 = dir.write("qt7701.eep", Bytes(other.m_image));
    const std::string shortFile = dir.write("short.eep", std::vector<uint8_t>(263, 0x5E));

    EditorModel model = Model();
    model.m_fields.m_strVendorDesc = "kept";
    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    const std::vector<uint8_t> before = Bytes(model.m_image);
    const EditorFields fieldsBefore = model.m_fields;
    for (const auto &[path, code] : {std::pair{qt7701, EEP_ERR_CHIP_MODEL}, std::pair{shortFile, EEP_ERR_SIZE},
                                     std::pair{dir.file("missing.eep"), EEP_ERR_OPEN}}) {
        const LoadOutcome outcome = model.LoadImageFile(path);
        EXPECT_EQ(outcome.code, code);
        EXPECT_FALSE(outcome.shown);
        EXPECT_EQ(Bytes(model.m_image), before);
        EXPECT_EQ(model.m_fields, fieldsBefore);
    }
}

TEST(EditorFile, UnreadableChainKeepsTheFieldsButNotTheImage)
{
    TempDir dir;
    EditorModel source = Model();
    ConfiguredFile(source);
    source.m_image.Bytes()[32] = 0; // descriptor 0 claims length 0: nothing can be found
    const std::vector<uint8_t> file = Bytes(source.m_image);
    const std::string path = dir.write("broken.eep", file);

    EditorModel model = Model();
    model.m_fields.m_strVendorId = "1234";
    const EditorFields before = model.m_fields;
    const LoadOutcome outcome = model.LoadImageFile(path);
    EXPECT_EQ(outcome.code, EEP_OK);
    EXPECT_FALSE(outcome.shown);
    EXPECT_EQ(model.m_fields, before);
    EXPECT_EQ(Bytes(model.m_image), file);

    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(model.m_image.Bytes()[32], 50); // the vendor text now starts at 32
}

TEST(EditorFile, LongLoadedTextsSurviveUntouched)
{
    TempDir dir;
    EditorModel source = Model();
    source.m_fields.m_strVendorDesc = std::string(50, 'L');
    const std::vector<uint8_t> file = ConfiguredFile(source);
    const std::string path = dir.write("long.eep", file);

    EditorModel model = Model();
    ASSERT_TRUE(model.LoadImageFile(path).shown);
    EXPECT_EQ(model.m_fields.m_strVendorDesc.size(), 50u);
    ASSERT_EQ(model.BuildImage().status, BuildOutcome::Built);
    EXPECT_EQ(Bytes(model.m_image), file);
}

TEST(EditorFile, FailedSaveLeavesThePreviousFileAndNoDebris)
{
    TempDir dir;
    EditorModel model = Model();
    ConfiguredFile(model);
    const std::string path = dir.write("old.eep", std::vector<uint8_t>(264, 0xAB));

    // Creating works; writing the bytes does not (a file-size limit below 264 bytes).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &tiny);
    const bool saved = model.SaveImageFile(path);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);

    EXPECT_FALSE(saved);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> kept((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(kept, std::vector<uint8_t>(264, 0xAB));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    EXPECT_FALSE(model.SaveImageFile(dir.file("no/such/folder/x.eep")));
    EXPECT_TRUE(model.SaveImageFile(path));
    EXPECT_EQ(std::filesystem::file_size(path), 264u);
}
