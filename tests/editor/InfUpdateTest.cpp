#include "InfUpdate.h"

#include "StubHost.h"

#include <gtest/gtest.h>

using namespace editor;

namespace {

const std::string kInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
    "[Manufacturer]\r\n%MfgName%=Veltrona\r\n\r\n"
    "[Veltrona]\r\n%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_0C5E&PID_7730\r\n\r\n"
    "[Strings]\r\nMfgName=\"Veltrona\"\r\n";

std::string Utf16Le(const std::string &text)
{
    std::string wide("\xFF\xFE", 2);
    for (char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

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

namespace {

const std::string kKey = "{36fc9e60-c465-11cf-8056-444553540000}\\0003";
const std::string kInfPath = "C:\\WINDOWS\\INF\\oem3.inf";

StubHost StandardHost()
{
    StubHost host;
    host.registry["System\\CurrentControlSet\\Control\\Class\\" + kKey + "|InfPath"] = "oem3.inf";
    host.files[kInfPath] = kInf;
    host.manufacturer = "Veltrona";
    return host;
}

} // namespace

TEST(UpdateInfFile, AddsTheLineOnceToTheDriversInf)
{
    StubHost host = StandardHost();
    EXPECT_EQ(UpdateInfFile(host, kKey, 0x10C5E, 0x1234), 1); // only the low 16 bits count
    const std::string once = host.files[kInfPath];
    EXPECT_NE(once.find("[Veltrona]\r\n%Vel.DeviceDesc%=USBBC2.Dev, USB\\VID_0C5E&PID_1234\r\n"),
              std::string::npos);
    EXPECT_EQ(UpdateInfFile(host, kKey, 0x0C5E, 0x1234), 1);
    EXPECT_EQ(host.files[kInfPath], once);
    EXPECT_EQ(host.replaces, 1);
    // The default identity is listed already: nothing to write.
    EXPECT_EQ(UpdateInfFile(host, kKey, 0x0C5E, 0x7730), 1);
    EXPECT_EQ(host.replaces, 1);
}

TEST(UpdateInfFile, QuietZeroWhenTheFileCannotBeFoundOrEdited)
{
    {
        StubHost host = StandardHost();
        EXPECT_EQ(UpdateInfFile(host, std::nullopt, 0x1234, 0x5678), 0);
        EXPECT_EQ(UpdateInfFile(host, std::string("{other}\\0001"), 0x1234, 0x5678), 0); // no class key
    }
    {
        StubHost host = StandardHost();
        host.manufacturer.clear(); // header "[]", which the file does not have
        EXPECT_EQ(UpdateInfFile(host, kKey, 0x1234, 0x5678), 0);
        EXPECT_EQ(host.files[kInfPath], kInf);
    }
    {
        StubHost host = StandardHost();
        host.files.clear(); // InfPath names a file that is not there
        EXPECT_EQ(UpdateInfFile(host, kKey, 0x1234, 0x5678), 0);
    }
    {
        StubHost host = StandardHost();
        host.failReplace = true; // the Host keeps the old contents when it cannot write
        EXPECT_EQ(UpdateInfFile(host, kKey, 0x1234, 0x5678), 0);
        EXPECT_EQ(host.files[kInfPath], kInf);
    }
}

TEST(UpdateInfFile, RefusesAnInfPathThatLeavesTheInfFolder)
{
    for (const char *bad : {"..\\system.ini", "..", "C:\\boot.ini", "sub\\oem3.inf", "/etc/fstab", ""}) {
        StubHost host = StandardHost();
        host.registry["System\\CurrentControlSet\\Control\\Class\\" + kKey + "|InfPath"] = bad;
        host.files[std::string("C:\\WINDOWS\\INF\\") + bad] = kInf;
        EXPECT_EQ(UpdateInfFile(host, kKey, 0x1234, 0x5678), 0) << bad;
        EXPECT_EQ(host.replaces, 0) << bad;
    }
}
