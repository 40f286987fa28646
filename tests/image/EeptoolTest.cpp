#include "EepromImage.h"
#include "ImageChain.h"
#include "RunCommand.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sys/stat.h>

namespace {

std::string Eeptool(const std::string &args)
{
    return std::string(EEPTOOL_PATH) + " " + args;
}

std::vector<uint8_t> ImageFile(uint32_t model)
{
    EepromImage image;
    uint16_t vid = 0x0C5E, pid = 0x7730;
    image.SetProperty(EEP_VENDOR_ID, &vid, 2);
    image.SetProperty(EEP_PRODUCT_ID_3, &pid, 2);
    WriteChain(image, {"Veltrona", "USB Bridge Cable"});
    image.m_rec.bAttributes |= EepromImage::kSelfPowered;
    image.m_rec.dwChipModel.set(model);
    image.m_rec.dwChipVersion.set(0x0100);
    return {image.Bytes(), image.Bytes() + 264};
}

TEST(Eeptool, CheckPrintsTheLoadTextAndExitsWithTheNegatedCode)
{
    TempDir dir;
    auto shortFile = ImageFile(CHIP_MODEL_QT7730);
    shortFile.resize(263);
    const struct {
        std::string path;
        int status;
        const char *line;
    } cases[] = {
        {dir.write("ok.eep", ImageFile(CHIP_MODEL_QT7730)), 0, "No error\n"},
        {dir.file("missing.eep"), 1, "Can't open the file\n"},
        {dir.write("short.eep", shortFile), 2, "File size incorrect\n"},
        {dir.write("model0.eep", ImageFile(0)), 3, "File format incorrect\n"},
        {dir.write("7701.eep", ImageFile(CHIP_MODEL_QT7701)), 8, "Incorrect chip model\n"},
        {dir.path().string(), 1, "Can't open the file\n"},
        {dir.file("fifo.eep"), 1, "Can't open the file\n"},
        {"/dev/zero", 1, "Can't open the file\n"},
    };
    ASSERT_EQ(mkfifo(dir.file("fifo.eep").c_str(), 0600), 0);
    for (const auto &c : cases) {
        // A check that blocks is killed (status 124) rather than hanging the test.
        const auto r = RunCommand("timeout 10 " + Eeptool("check '" + c.path + "'"));
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(r.out, c.line) << c.path;
    }
}

TEST(Eeptool, ShowListsTheIdentityAndTheChain)
{
    TempDir dir;
    const auto r = RunCommand(Eeptool(dir.write("ok.eep", ImageFile(CHIP_MODEL_QT7730))));
    EXPECT_NE(r.status, 0) << "a bare file name is not a command";

    const auto show = RunCommand(Eeptool("show " + dir.file("ok.eep")));
    ASSERT_EQ(show.status, 0);
    for (const char *line : {"Vendor ID:        0x0C5E", "Product ID 3:     0x7730", "Self-powered:     yes",
                             "Vendor text:      \"Veltrona\"", "Product text:     \"USB Bridge Cable\"",
                             "Serial text:      (none)", "Chip model:       0x7730 (QT7730)",
                             "Chip version:     0x0100", "Blank:            no",
                             "  0: offset 32, length 4, type 3", "  1: offset 36, length 18, type 3",
                             "  2: offset 54, length 34, type 3", "  end of chain"})
        EXPECT_NE(show.out.find(line), std::string::npos) << line << "\n" << show.out;
}

TEST(Eeptool, ShowMarksABrokenChainWithoutReadingPastIt)
{
    TempDir dir;
    auto bytes = ImageFile(CHIP_MODEL_QT7730);
    bytes[54] = 250; // the product descriptor claims to run far past offset 254
    const auto show = RunCommand(Eeptool("show " + dir.write("broken.eep", bytes)));
    ASSERT_EQ(show.status, 0);
    EXPECT_NE(show.out.find("broken: the descriptor at offset 54 (length 250) runs past offset 254"),
              std::string::npos)
        << show.out;
    EXPECT_NE(show.out.find("Product text:     (none)"), std::string::npos);
}

TEST(Eeptool, ShowOfAFileThatDoesNotLoadIsAnError)
{
    TempDir dir;
    const auto r = RunCommand(Eeptool("show " + dir.file("missing.eep") + " 2>/dev/null"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(RunCommand(Eeptool("frobnicate x 2>/dev/null")).status, 0);
    EXPECT_EQ(RunCommand(Eeptool("--help")).status, 0);
}

} // namespace
