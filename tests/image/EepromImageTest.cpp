#include "EepromImage.h"
#include "ImageChain.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<uint8_t> Bytes(const EepromImage &image)
{
    return {image.Bytes(), image.Bytes() + EepromImage::kImageSize};
}

// A well-formed image file for `model`, with vendor "Veltrona" and product "Bridge".
std::vector<uint8_t> GoodFile(uint32_t model = CHIP_MODEL_QT7730)
{
    EepromImage image;
    uint16_t vid = 0x1234;
    image.SetProperty(EEP_VENDOR_ID, &vid, 2);
    WriteChain(image, {"Veltrona", "Bridge", "0001"});
    image.m_rec.dwChipModel.set(model);
    image.m_rec.dwChipVersion.set(0x0100);
    return Bytes(image);
}

// Writes a descriptor with `units` UTF-16 code units at `offset`.
void PutDescriptor(EepromImage &image, std::size_t offset, const std::vector<uint16_t> &units)
{
    uint8_t *b = image.Bytes();
    b[offset] = static_cast<uint8_t>(2 + 2 * units.size());
    b[offset + 1] = 3;
    for (std::size_t i = 0; i < units.size(); ++i) {
        b[offset + 2 + 2 * i] = static_cast<uint8_t>(units[i]);
        b[offset + 3 + 2 * i] = static_cast<uint8_t>(units[i] >> 8);
    }
}

std::string Text(const EepromImage &image, int index)
{
    char out[256];
    return image.GetString(index, out, sizeof out) ? std::string(out) : std::string("<fail>");
}

TEST(EepromImageReset, WritesTheLayoutDefaultsAndNothingElse)
{
    EepromImage image;
    image.Bytes()[100] = 0x55;
    image.m_bBlank = true;
    image.Reset();

    std::array<uint8_t, 264> expected{};
    expected[0] = 0x5E;
    expected[1] = 0x0C;
    expected[8] = 0x80;
    expected[9] = 0x32;
    for (int i = 10; i < 22; ++i)
        expected[i] = 0xFF;
    expected[23] = 3;
    expected[32] = 4;
    expected[33] = 3;
    expected[34] = 0x09;
    expected[35] = 0x04;
    EXPECT_EQ(Bytes(image), std::vector<uint8_t>(expected.begin(), expected.end()));
    EXPECT_FALSE(image.m_bBlank);
}

TEST(EepromImageLoad, ReportsEveryOutcomeWithItsCode)
{
    TempDir dir;
    EepromImage image;
    EXPECT_EQ(image.LoadFile(dir.file("missing.eep"), CHIP_MODEL_QT7730), EEP_ERR_OPEN);
    EXPECT_EQ(image.LoadFile(dir.path().string(), CHIP_MODEL_QT7730), EEP_ERR_OPEN) << "a folder is no image";

    auto good = GoodFile();
    EXPECT_EQ(image.LoadFile(dir.write("ok.eep", good), CHIP_MODEL_QT7730), EEP_OK);

    const decltype(good) shortFile(good.begin(), good.end() - 1);
    EXPECT_EQ(image.LoadFile(dir.write("263.eep", shortFile), CHIP_MODEL_QT7730), EEP_ERR_SIZE);
    EXPECT_EQ(image.LoadFile(dir.write("empty.eep", {}), CHIP_MODEL_QT7730), EEP_ERR_SIZE);

    auto badSignature = good;
    badSignature[0] ^= 1;
    EXPECT_EQ(image.LoadFile(dir.write("sig.eep", badSignature), CHIP_MODEL_QT7730), EEP_ERR_FORMAT);

    auto modelZero = GoodFile(0);
    EXPECT_EQ(image.LoadFile(dir.write("m0.eep", modelZero), CHIP_MODEL_QT7730), EEP_ERR_FORMAT);

    auto highHalf = GoodFile(0x00017730);
    EXPECT_EQ(image.LoadFile(dir.write("mhi.eep", highHalf), CHIP_MODEL_QT7730), EEP_ERR_FORMAT)
        << "all 32 bits of the model count";

    auto other = GoodFile(CHIP_MODEL_QT7701);
    EXPECT_EQ(image.LoadFile(dir.write("7701.eep", other), CHIP_MODEL_QT7730), EEP_ERR_CHIP_MODEL);
    EXPECT_EQ(image.LoadFile(dir.write("7701b.eep", other), CHIP_MODEL_QT7701), EEP_OK);
}

// Loads `path` in a child process that is killed after five seconds, so a load that blocks fails the
// test instead of hanging it. The load's code, or 1 when the child did not finish.
int LoadInChild(const std::string &path)
{
    const pid_t child = fork();
    if (child == 0) {
        alarm(5);
        EepromImage image;
        _exit(-image.LoadFile(path, CHIP_MODEL_QT7730));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return 1;
    return -WEXITSTATUS(status);
}

TEST(EepromImageLoad, AnythingButARegularFileIsRefusedAtOnce)
{
    TempDir dir;
    const std::string good = dir.write("ok.eep", GoodFile());
    const std::string fifo = dir.file("fifo.eep");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A socket file, left behind by a listener that has gone.
    const std::string socketPath = dir.file("sock.eep");
    {
        const int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(socketPath.size(), sizeof address.sun_path);
        std::strcpy(address.sun_path, socketPath.c_str());
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        close(s);
    }
    const std::string toZero = dir.file("zero.eep");
    ASSERT_EQ(symlink("/dev/zero", toZero.c_str()), 0);
    const std::string toGood = dir.file("link.eep");
    ASSERT_EQ(symlink(good.c_str(), toGood.c_str()), 0);
    const std::string dangling = dir.file("dangling.eep");
    ASSERT_EQ(symlink(dir.file("gone.eep").c_str(), dangling.c_str()), 0);

    for (const std::string &path : {fifo, socketPath, toZero, dangling, dir.path().string(), std::string("/dev/zero"),
                                     std::string("/dev/null"), std::string("/dev/tty")})
        EXPECT_EQ(LoadInChild(path), EEP_ERR_OPEN) << path;

    // A link to a real image file is an image file; the refusals leave the caller's image alone.
    EepromImage image;
    EXPECT_EQ(image.LoadFile(toGood, CHIP_MODEL_QT7730), EEP_OK);
    const auto before = Bytes(image);
    for (const std::string &path : {toZero, socketPath, dir.path().string()}) {
        EXPECT_EQ(image.LoadFileOrRestore(path, CHIP_MODEL_QT7730), EEP_ERR_OPEN) << path;
        EXPECT_EQ(Bytes(image), before) << path;
    }
}

TEST(EepromImageLoad, IgnoresBytesAfterThe264th)
{
    TempDir dir;
    auto file = GoodFile();
    file.resize(300, 0xAB);
    EepromImage image;
    ASSERT_EQ(image.LoadFile(dir.write("long.eep", file), CHIP_MODEL_QT7730), EEP_OK);
    EXPECT_EQ(Bytes(image), std::vector<uint8_t>(file.begin(), file.begin() + 264));
}

TEST(EepromImageLoad, FailedLoadLeavesFileBytesUnlessRestored)
{
    TempDir dir;
    auto bad = GoodFile(CHIP_MODEL_QT7701);

    EepromImage plain;
    EXPECT_EQ(plain.LoadFile(dir.write("a.eep", bad), CHIP_MODEL_QT7730), EEP_ERR_CHIP_MODEL);
    EXPECT_EQ(Bytes(plain), bad) << "the bare load holds the file's bytes whatever the result";

    EepromImage kept;
    uint16_t vid = 0xBEEF;
    kept.SetProperty(EEP_VENDOR_ID, &vid, 2);
    const auto before = Bytes(kept);
    auto shortFile = bad;
    shortFile.resize(100);
    for (const auto &file : {bad, shortFile}) {
        EXPECT_LT(kept.LoadFileOrRestore(dir.write("b.eep", file), CHIP_MODEL_QT7730), 0);
        EXPECT_EQ(Bytes(kept), before);
    }
    EXPECT_EQ(kept.LoadFileOrRestore(dir.file("nothing-here.eep"), CHIP_MODEL_QT7730), EEP_ERR_OPEN);
    EXPECT_EQ(Bytes(kept), before);

    const auto good = GoodFile();
    EXPECT_EQ(kept.LoadFileOrRestore(dir.write("c.eep", good), CHIP_MODEL_QT7730), EEP_OK);
    EXPECT_EQ(Bytes(kept), good);
}

TEST(EepromImageLoad, BlankFlagIsSetOnlyOnSuccessAndSticks)
{
    TempDir dir;
    auto blank = GoodFile();
    std::memset(blank.data() + 160, 0xFF, 32);
    auto almost = blank;
    almost[191] = 0xFE;
    auto blankWrongModel = blank;
    blankWrongModel[256] = 0x01; // 0x7701

    EepromImage image;
    EXPECT_EQ(image.LoadFile(dir.write("w.eep", blankWrongModel), CHIP_MODEL_QT7730), EEP_ERR_CHIP_MODEL);
    EXPECT_FALSE(image.m_bBlank);
    EXPECT_EQ(image.LoadFile(dir.write("a.eep", almost), CHIP_MODEL_QT7730), EEP_OK);
    EXPECT_FALSE(image.m_bBlank);
    EXPECT_EQ(image.LoadFile(dir.write("b.eep", blank), CHIP_MODEL_QT7730), EEP_OK);
    EXPECT_TRUE(image.m_bBlank);
    EXPECT_EQ(image.LoadFile(dir.write("c.eep", GoodFile()), CHIP_MODEL_QT7730), EEP_OK);
    EXPECT_TRUE(image.m_bBlank) << "only Reset clears it";
    image.Reset();
    EXPECT_FALSE(image.m_bBlank);
}

TEST(EepromImageErrorText, CoversEveryCode)
{
    const std::pair<int, const char *> texts[] = {
        {0, "No error"},
        {-1, "Can't open the file"},
        {-2, "File size incorrect"},
        {-3, "File format incorrect"},
        {-4, "Out of memory"},
        {-5, "Firmware check sum incorrect"},
        {-6, "Firmware version dismatch"},
        {-7, "Firmware file not loaded"},
        {-8, "Incorrect chip model"},
        {-9, "Unknown error"},
        {1, "Unknown error"},
    };
    for (const auto &[code, text] : texts)
        EXPECT_STREQ(EepromImage::ErrorText(code), text) << code;
}

TEST(EepromImageProperties, WordsAreLittleEndianAtTheirOffsets)
{
    EepromImage image;
    const std::pair<int, std::size_t> words[] = {
        {EEP_VENDOR_ID, 2}, {EEP_PRODUCT_ID_1, 4}, {EEP_REVISION, 6},
        {EEP_PRODUCT_ID_2, 24}, {EEP_PRODUCT_ID_3, 26}, {EEP_PRODUCT_ID_4, 28},
    };
    uint16_t value = 0xA100;
    for (const auto &[id, offset] : words) {
        ++value;
        ASSERT_TRUE(image.SetProperty(id, &value, 2)) << id;
        EXPECT_EQ(image.Bytes()[offset], value & 0xFF) << id;
        EXPECT_EQ(image.Bytes()[offset + 1], value >> 8) << id;
        uint8_t out[260];
        std::memset(out, 0xEE, sizeof out);
        ASSERT_TRUE(image.GetProperty(id, out, 4)) << "a larger capacity is fine";
        uint16_t read;
        std::memcpy(&read, out, 2);
        EXPECT_EQ(read, value);
        EXPECT_EQ(out[2], 0xEE) << "only two bytes are stored";
    }

    uint32_t model = CHIP_MODEL_QT7701, version = 0x8003;
    ASSERT_TRUE(image.SetProperty(EEP_CHIP_MODEL, &model, 4));
    ASSERT_TRUE(image.SetProperty(EEP_CHIP_VERSION, &version, 4));
    EXPECT_EQ(image.m_rec.dwChipModel.get(), 0x7701u);
    EXPECT_EQ(image.Bytes()[260], 0x03);
    EXPECT_EQ(image.Bytes()[261], 0x80);

    uint8_t select = 2;
    ASSERT_TRUE(image.SetProperty(EEP_PID_SELECT, &select, 1));
    EXPECT_EQ(image.Bytes()[23], 2);
}

TEST(EepromImageProperties, EnforceCapacityAndExactSize)
{
    EepromImage image;
    const auto before = Bytes(image);
    uint32_t big = 0x11223344;
    uint8_t out[260] = {};
    EXPECT_FALSE(image.SetProperty(EEP_VENDOR_ID, &big, 4)) << "size must be exactly 2";
    EXPECT_FALSE(image.SetProperty(EEP_VENDOR_ID, &big, 1));
    EXPECT_FALSE(image.SetProperty(EEP_PID_SELECT, &big, 2));
    EXPECT_FALSE(image.SetProperty(EEP_CHIP_MODEL, &big, 2));
    EXPECT_EQ(Bytes(image), before);

    EXPECT_FALSE(image.GetProperty(EEP_VENDOR_ID, out, 1));
    EXPECT_FALSE(image.GetProperty(EEP_PID_SELECT, out, 0));
    EXPECT_FALSE(image.GetProperty(EEP_CHIP_VERSION, out, 3));
    EXPECT_TRUE(image.GetProperty(EEP_CHIP_VERSION, out, 4));

    for (int id : {0, 4, 5, 6, 7, 8, 18, -1, 1000}) {
        EXPECT_FALSE(image.GetProperty(id, out, sizeof out)) << id;
        EXPECT_FALSE(image.SetProperty(id, "ab", 2)) << id;
    }
    EXPECT_EQ(Bytes(image), before);
}

TEST(EepromImageStrings, CapacityMustExceedTheTextBytes)
{
    EepromImage image;
    WriteChain(image, {"Vendor"});
    ASSERT_TRUE(image.SetProperty(EEP_VENDOR_STRING, "Veltrona", 8));
    char out[32];
    std::memset(out, 'x', sizeof out);
    EXPECT_FALSE(image.GetProperty(EEP_VENDOR_STRING, out, 16)) << "capacity == 2 x characters";
    EXPECT_EQ(out[0], 'x') << "a failed read leaves the buffer alone";
    ASSERT_TRUE(image.GetProperty(EEP_VENDOR_STRING, out, 17));
    EXPECT_STREQ(out, "Veltrona");
    for (int i = 9; i < 17; ++i)
        EXPECT_EQ(out[i], 0) << "the first capacity bytes are zeroed";
    EXPECT_EQ(out[17], 'x');
}

TEST(EepromImageStrings, SerialIsWriteOnlyAsAProperty)
{
    EepromImage image;
    WriteChain(image, {"V", "P", "S"});
    ASSERT_TRUE(image.SetProperty(EEP_SERIAL_STRING, "SN42", 4));
    char out[260] = {};
    EXPECT_FALSE(image.GetProperty(EEP_SERIAL_STRING, out, sizeof out));
    EXPECT_EQ(Text(image, 3), "SN42");
}

TEST(EepromImageStrings, NarrowingStopsAtZeroOrWideUnits)
{
    EepromImage image;
    PutDescriptor(image, 36, {'A', 'b', 0x0141, 'c'});
    PutDescriptor(image, 46, {'x', 0, 'y'});
    PutDescriptor(image, 54, {0xE9, 0xFF});
    EXPECT_EQ(Text(image, 1), "Ab");
    EXPECT_EQ(Text(image, 2), "x");
    EXPECT_EQ(Text(image, 3), "\xE9\xFF");
}

TEST(EepromImageStrings, ShortLengthEndsTheChain)
{
    EepromImage image;
    EXPECT_FALSE(image.SetProperty(EEP_VENDOR_STRING, "x", 1)) << "a fresh image has only descriptor 0";
    image.Bytes()[36] = 2;
    image.Bytes()[37] = 3;
    char out[260] = {};
    for (int id : {EEP_VENDOR_STRING, EEP_PRODUCT_STRING})
        EXPECT_FALSE(image.GetProperty(id, out, sizeof out));
    for (int id : {EEP_VENDOR_STRING, EEP_PRODUCT_STRING, EEP_SERIAL_STRING})
        EXPECT_FALSE(image.SetProperty(id, "x", 1));
    EXPECT_FALSE(image.GetString(-1, out, sizeof out));
    EXPECT_TRUE(image.GetString(0, out, sizeof out)) << "descriptor 0 itself is intact";
}

TEST(EepromImageStrings, RewriteMovesLaterDescriptorsAndZeroesTheFreedEnd)
{
    EepromImage image;
    WriteChain(image, {"Vendor", "Product", "0123"}); // 36..49, 50..65, 66..75
    // Fill the rest of the area so that the freed end is visible.
    std::memset(image.Bytes() + 76, 0xAA, 254 - 76);
    image.Bytes()[254] = 0x5A;
    image.Bytes()[255] = 0xA5;

    const auto before = Bytes(image);
    ASSERT_TRUE(image.SetProperty(EEP_VENDOR_STRING, "Vend", 4));
    const auto after = Bytes(image);
    EXPECT_EQ(Text(image, 1), "Vend");
    EXPECT_EQ(Text(image, 2), "Product");
    EXPECT_EQ(Text(image, 3), "0123");
    EXPECT_TRUE(std::equal(before.begin() + 50, before.begin() + 254, after.begin() + 46))
        << "everything after descriptor 1 moved down by four bytes";
    for (int i = 250; i < 254; ++i)
        EXPECT_EQ(after[i], 0) << i;
    EXPECT_EQ(after[254], 0x5A);
    EXPECT_EQ(after[255], 0xA5);

    // Longer again: the tail moves up and loses its last bytes, never touching 254/255.
    ASSERT_TRUE(image.SetProperty(EEP_VENDOR_STRING, "Vendor!!", 8));
    EXPECT_EQ(Text(image, 2), "Product");
    EXPECT_EQ(Text(image, 3), "0123");
    EXPECT_EQ(image.Bytes()[254], 0x5A);
    EXPECT_EQ(image.Bytes()[255], 0xA5);
}

TEST(EepromImageStrings, NulInsideTheCountIsStoredAsZeroUnits)
{
    EepromImage image;
    WriteChain(image, {"v"});
    ASSERT_TRUE(image.SetProperty(EEP_VENDOR_STRING, "ab\0cd", 5));
    EXPECT_EQ(image.Bytes()[36], 12);
    const uint8_t expected[] = {'a', 0, 'b', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(image.Bytes() + 38, expected, sizeof expected));
    EXPECT_EQ(Text(image, 1), "ab");
}

TEST(EepromImageStrings, DescriptorEndingAt254IsReadableButNotRewritable)
{
    EepromImage image;
    image.Bytes()[36] = 254 - 36; // descriptor 1 fills the area exactly
    image.Bytes()[37] = 3;
    for (int i = 38; i < 254; i += 2)
        image.Bytes()[i] = 'z';
    EXPECT_EQ(Text(image, 1), std::string(108, 'z'));
    const auto before = Bytes(image);
    EXPECT_FALSE(image.SetProperty(EEP_VENDOR_STRING, "short", 5));
    EXPECT_EQ(Bytes(image), before);
}

TEST(EepromImageStrings, TextThatWouldRunIntoTheTailIsRefusedWhole)
{
    EepromImage image;
    WriteChain(image, {"V", "P"});
    image.Bytes()[254] = 0x77;
    const auto before = Bytes(image);
    const std::string big(120, 'x'); // 36 + 242 > 254
    EXPECT_FALSE(image.SetProperty(EEP_VENDOR_STRING, big.c_str(), static_cast<uint16_t>(big.size())));
    EXPECT_FALSE(image.SetProperty(EEP_VENDOR_STRING, big.c_str(), 0xFFFF));
    EXPECT_EQ(Bytes(image), before);

    const std::string fits(108, 'y'); // ends exactly at 254
    EXPECT_TRUE(image.SetProperty(EEP_VENDOR_STRING, fits.c_str(), 108));
    EXPECT_EQ(Text(image, 1), fits);
    EXPECT_EQ(Text(image, 2), "<fail>") << "the product text was pushed out of the area";
    EXPECT_EQ(image.Bytes()[254], 0x77);
}

TEST(EepromImageStrings, DamagedChainsAreNeverReadPastTheArea)
{
    EepromImage image;
    image.Bytes()[32] = 0xFF; // descriptor 0 claims 255 bytes
    char out[260];
    EXPECT_FALSE(image.GetString(0, out, sizeof out));
    EXPECT_FALSE(image.GetString(1, out, sizeof out));
    EXPECT_FALSE(image.SetString(1, "x", 1));

    EepromImage::ChainEnd end{};
    EXPECT_TRUE(image.Descriptors(&end).empty());
    EXPECT_EQ(end, EepromImage::ChainEnd::PastArea);

    // A chain of 3-byte descriptors up to 251, then a length byte at 251 that runs past 254.
    image.Reset();
    for (std::size_t at = 32; at < 251; at += 3)
        image.Bytes()[at] = 3;
    image.Bytes()[251] = 5;
    const auto chain = image.Descriptors(&end);
    EXPECT_EQ(chain.size(), 73u);
    EXPECT_EQ(end, EepromImage::ChainEnd::PastArea);
    EXPECT_FALSE(image.GetString(73, out, sizeof out));
    EXPECT_FALSE(image.GetString(100000, out, sizeof out));
}

} // namespace
