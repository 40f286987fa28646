// INF string reads with the Windows profile API's rules, through the sim Host.

#include "BenchFixture.h"
#include "IniText.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class IniReads : public BenchFixture {
protected:
    std::string path;
    void SetUp() override
    {
        const std::string text = "; comment\r\n"
                                 "stray=before any section\r\n"
                                 "[Manufacturer]\r\n"
                                 "  %MfgName% =  Veltrona  \r\n"
                                 "[strings]\r\n"
                                 "Quoted = \"  spaced  \"\r\n"
                                 "Single='x'\r\n"
                                 "Lopsided=\"abc\r\n"
                                 "Empty=\r\n"
                                 "Dup=first\r\n"
                                 "dup=second\r\n"
                                 "NoEquals\r\n"
                                 "[Strings]\r\n"
                                 "Late=continued\r\n";
        path = dir.write("test.inf", std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::string Get(const char* section, const char* key, const char* def = "DEF", std::size_t size = 260)
    {
        return host.GetPrivateProfileString(section, key, def, size, path);
    }
};

TEST_F(IniReads, WindowsProfileRules)
{
    EXPECT_EQ(Get("MANUFACTURER", "%mfgname%"), "Veltrona") << "names ignore case; value trimmed";
    EXPECT_EQ(Get("Strings", "Quoted"), "  spaced  ") << "one pair of quotes removed, inside kept";
    EXPECT_EQ(Get("Strings", "Single"), "x");
    EXPECT_EQ(Get("Strings", "Lopsided"), "\"abc");
    EXPECT_EQ(Get("Strings", "Empty"), "");
    EXPECT_EQ(Get("Strings", "DUP"), "first") << "the first key wins";
    EXPECT_EQ(Get("Strings", "Late"), "DEF") << "the profile API reads only a section's first occurrence";
    EXPECT_EQ(Get("Manufacturer", "; comment"), "DEF") << "text before the first section belongs nowhere";
    EXPECT_EQ(Get("Strings", "Missing"), "DEF");
    EXPECT_EQ(Get("Strings", "Missing", "dflt  "), "dflt") << "the default loses trailing blanks";
    EXPECT_EQ(Get("Nowhere", "Quoted"), "DEF");
    EXPECT_EQ(Get("Manufacturer", "stray"), "DEF");
    EXPECT_EQ(Get("Manufacturer", "%MfgName%", "", 5), "Velt") << "cut to the buffer";
    EXPECT_EQ(Get("Manufacturer", "%MfgName%", "", 0), "");
    EXPECT_EQ(host.GetPrivateProfileString("Manufacturer", "%MfgName%", "none", 260, dir.file("absent.inf")), "none");
    // The kit's own paths use backslashes.
    std::string windowsStyle = path;
    windowsStyle[windowsStyle.rfind('/')] = '\\';
    EXPECT_EQ(host.GetPrivateProfileString("Manufacturer", "%MfgName%", "", 260, windowsStyle), "Veltrona");
}

TEST(IniText, TextEndsAtItsFirstZeroByte)
{
    const std::string text("[A]\nk=v\n\0[B]\nx=y\n", 18);
    const pcmodel::IniText ini(text);
    EXPECT_EQ(ini.Value("A", "k"), "v");
    EXPECT_FALSE(ini.Value("B", "x"));
    EXPECT_TRUE(pcmodel::IniText("").Entries("A").empty());
    EXPECT_TRUE(pcmodel::IniText("[unclosed\nk=v").Value("unclosed", "k"));
}

// The profile API and the driver installer read the same text differently: comments are keys to the
// first and skipped by the second; a repeated section is ignored by the first and joined by the second.
TEST(IniText, ProfileReadsAndInstallerEntriesDiffer)
{
    const pcmodel::IniText ini("[Models]\r\n"
                             "; %Old%=Install, USB\\VID_1111&PID_2222\r\n"
                             "%New%=Install, USB\\VID_0C5E&PID_7730\r\n"
                             "[Strings]\r\nOld=old\r\n"
                             "[models]\r\n%Late%=Install, USB\\VID_3333&PID_4444\r\n");
    EXPECT_EQ(ini.Value(" Models ", "; %Old%"), "Install, USB\\VID_1111&PID_2222");
    EXPECT_FALSE(ini.Value("Models", "%Late%")) << "only the first [Models] for the profile API";
    EXPECT_EQ(ini.Value("Models", "%NEW%"), "Install, USB\\VID_0C5E&PID_7730");
    const auto &entries = ini.Entries("MODELS");
    ASSERT_EQ(entries.size(), 2u) << "the commented-out model is no model; the late one is";
    EXPECT_EQ(entries[0].key, "%New%");
    EXPECT_EQ(entries[1].key, "%Late%");
}

TEST_F(IniReads, WholeFileReadAndReplace)
{
    std::string bytes;
    ASSERT_TRUE(host.ReadWholeFile(path, bytes));
    EXPECT_EQ(bytes.substr(0, 9), "; comment");
    ASSERT_TRUE(host.ReplaceFileContents(path, std::string("a\0b", 3)));
    ASSERT_TRUE(host.ReadWholeFile(path, bytes));
    EXPECT_EQ(bytes, std::string("a\0b", 3));
    EXPECT_FALSE(host.ReadWholeFile(dir.file("absent"), bytes));
    EXPECT_FALSE(host.ReplaceFileContents(dir.file("no/such/dir/file"), "x"));
    EXPECT_FALSE(host.ReplaceFileContents(dir.path().string(), "x")) << "a directory";
    EXPECT_FALSE(host.ReadWholeFile("\\\\.\\HOSTLNK-1", bytes)) << "devices are not files";
    // A read-only file is not replaced (Windows refuses to move a file over it), even for root.
    const std::string locked = dir.write("locked.inf", {'o', 'l', 'd'});
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_FALSE(host.ReplaceFileContents(locked, "new"));
    ASSERT_TRUE(host.ReadWholeFile(locked, bytes));
    EXPECT_EQ(bytes, "old");
}

} // namespace
