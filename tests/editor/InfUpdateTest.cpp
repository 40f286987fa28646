#include "InfUpdate.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace editor;

namespace {

const std::string kInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
    "[Manufacturer]\r\n%MfgName%=Veltrona\r\n\r\n"
    "[Veltrona]\r\n%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_0C5E&PID_7730\r\n\r\n"
    "[Strings]\r\nMfgName=\"Veltrona\"\r\n";

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string Utf16Le(const std::string &text)
{
    std::string wide("\xFF\xFE", 2);
    for (char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

std::vector<uint8_t> AsBytes(const std::string &s) { return {s.begin(), s.end()}; }

} // namespace

TEST(InfModelLine, UpperCaseFourDigitIds)
{
    EXPECT_EQ(InfModelLine(0x0C5E, 0x1234), "%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_0C5E&PID_1234");
    EXPECT_EQ(InfModelLine(0xabcd, 0x0007), "%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_ABCD&PID_0007");
    EXPECT_EQ(InfModelsHeader("Veltrona"), "[Veltrona]");
    EXPECT_EQ(InfModelsHeader(""), "[]");
}

TEST(InfModelLine, OnlyPlainFileNamesAreInfNames)
{
    EXPECT_TRUE(IsPlainFileName("oem12.inf"));
    EXPECT_TRUE(IsPlainFileName("..inf"));
    for (const char *bad : {"", ".", "..", "../oem12.inf", "sub/oem.inf", "..\\..\\boot.ini", "C:oem.inf",
                            "/etc/passwd"})
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
    EXPECT_FALSE(IsPlainFileName(std::string_view("oem\0.inf", 8)));
}

TEST(InfEditText, AddsTheLineOnceAfterTheHeader)
{
    const std::string line = InfModelLine(0x1234, 0x5678);
    std::string text = kInf;
    ASSERT_EQ(AddModelLine(text, "[Veltrona]", line), InfEdit::Added);
    EXPECT_NE(text.find("[Veltrona]\r\n" + line + "\r\n%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_0C5E&PID_7730"),
              std::string::npos);
    const std::string once = text;
    EXPECT_EQ(AddModelLine(text, "[Veltrona]", line), InfEdit::AlreadyListed);
    EXPECT_EQ(text, once);

    std::string noHeader = kInf;
    EXPECT_EQ(AddModelLine(noHeader, "[]", line), InfEdit::NoHeader);
    EXPECT_EQ(noHeader, kInf);
    // The search is case-sensitive: a lower-case hex line is another line.
    std::string lower = kInf;
    EXPECT_EQ(AddModelLine(lower, "[Veltrona]", "%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_0c5e&PID_7730"),
              InfEdit::Added);
}

TEST(InfEditText, Utf16IsEditedAsUtf16OrNotAtAll)
{
    const std::string line = InfModelLine(0x1234, 0x5678);
    std::string wide = Utf16Le(kInf);
    ASSERT_EQ(AddModelLine(wide, "[Veltrona]", line), InfEdit::Added);
    EXPECT_EQ(wide, Utf16Le(std::string(kInf).insert(kInf.find("[Veltrona]") + 10, "\r\n" + line)));
    EXPECT_EQ(AddModelLine(wide, "[Veltrona]", line), InfEdit::AlreadyListed);

    std::string bigEndian = "\xFE\xFF" + Utf16Le(kInf).substr(2);
    EXPECT_EQ(AddModelLine(bigEndian, "[Veltrona]", line), InfEdit::Unsupported);
    std::string embeddedNul = kInf + std::string(1, '\0') + "tail";
    EXPECT_EQ(AddModelLine(embeddedNul, "[Veltrona]", line), InfEdit::Unsupported);
}

TEST(InfEditFile, RewritesByReplacingTheFile)
{
    TempDir dir;
    const std::string path = dir.write("oem3.inf", AsBytes(kInf));
    // A second name for the old file: an in-place rewrite would change it, a replacement does not.
    const std::string oldLink = dir.file("old-link");
    ASSERT_EQ(link(path.c_str(), oldLink.c_str()), 0);

    const std::string line = InfModelLine(0x1234, 0x5678);
    EXPECT_EQ(AddModelLineToFile(path, "[Veltrona]", line), 1);
    EXPECT_NE(ReadAll(path).find(line), std::string::npos);
    EXPECT_EQ(ReadAll(oldLink), kInf);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2); // no temp left

    const std::string after = ReadAll(path);
    EXPECT_EQ(AddModelLineToFile(path, "[Veltrona]", line), 1);
    EXPECT_EQ(ReadAll(path), after);
}

TEST(InfEditFile, UnchangedWhenItCannotBeEdited)
{
    TempDir dir;
    const std::string line = InfModelLine(0x1234, 0x5678);
    const std::string path = dir.write("oem3.inf", AsBytes(kInf));
    EXPECT_EQ(AddModelLineToFile(path, "[]", line), 0);
    EXPECT_EQ(ReadAll(path), kInf);
    EXPECT_EQ(AddModelLineToFile(dir.file("missing.inf"), "[Veltrona]", line), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.inf")));

    const std::string nul = kInf + std::string(1, '\0') + "[Veltrona]";
    const std::string nulPath = dir.write("nul.inf", AsBytes(nul));
    EXPECT_EQ(AddModelLineToFile(nulPath, "[Veltrona]", line), 0);
    EXPECT_EQ(ReadAll(nulPath), nul);
}
