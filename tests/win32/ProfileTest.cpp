// The bench's INF reader (what the sim Host answers for GetPrivateProfileString) against the real
// profile API on a corpus of INF texts: both must give the same answer to every query.

#include "Bench.h"
#include "SimHost.h"
#include "Win32Host.h"
#include "WinTempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Query {
    std::string section, key, defaultValue;
    std::size_t bufferBytes = 256;
};

struct Case {
    const char *name;
    std::string text;
    std::vector<Query> queries;
};

std::vector<Case> Corpus()
{
    const std::string longValue(300, 'v');
    return {
        {"plain", "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n\r\n[Strings]\r\nMaker=Veltrona\r\n",
         {{"Version", "Signature", "x"}, {"Version", "Class", "x"}, {"Strings", "Maker", "x"},
          {"Strings", "Class", "none"}, {"Missing", "Maker", "dflt"}}},
        {"odd case", "[sTrInGs]\r\nDeviceDesc = QT7730 Bridge \r\n[Manufacturer]\r\n%Mfg%=Models,NTamd64\r\n",
         {{"STRINGS", "devicedesc", ""}, {"strings", "DEVICEDESC", ""}, {"MANUFACTURER", "%mfg%", ""}}},
        {"quotes",
         "[S]\r\nd=\"double\"\r\ns='single'\r\nu=\"unbalanced\r\nm=\"mixed'\r\ne=\"\"\r\nin=a\"b\"c\r\n"
         "sp = \"  spaced  \" \r\nq3=\"\"x\"\"\r\n",
         {{"S", "d", ""}, {"S", "s", ""}, {"S", "u", ""}, {"S", "m", ""}, {"S", "e", "dflt"}, {"S", "in", ""},
          {"S", "sp", ""}, {"S", "q3", ""}}},
        {"comments",
         "; a comment before any section\r\n[S]\r\n;hidden=1\r\n  ; indented=2\r\nshown=3 ; not a comment\r\n"
         "after=4\r\n",
         {{"S", "hidden", "none"}, {"S", "indented", "none"}, {"S", ";hidden", "none"}, {"S", "shown", ""},
          {"S", "after", ""}}},
        {"missing sections and keys", "[A]\r\nk=1\r\n[B]\r\n",
         {{"B", "k", "from default"}, {"C", "k", "trailing blanks  "}, {"A", "K", ""}, {"A", "none", ""},
          {"A", "k", "", 1}, {"A", "k", "", 0}}},
        {"long values", "[L]\r\nlong=" + longValue + "\r\n",
         {{"L", "long", "", 1024}, {"L", "long", "", 64}, {"L", "long", "", 2}, {"L", "none", longValue, 100}}},
        {"duplicates", "[D]\r\nk=first\r\nk=second\r\n[E]\r\nx=1\r\n[d]\r\nk=third\r\nonly=later\r\n",
         {{"D", "k", ""}, {"d", "K", ""}, {"E", "x", ""}, {"D", "only", "none"}}},
        {"blanks and odd lines",
         "  [ Spaced ]  \r\n\tkey\t=\tvalue\t\r\nno equals here\r\n=novalue\r\nmodel name = two words\r\n"
         "eq=a=b\r\n[Unix]\nlf=only\n[Last]\nend=no newline",
         {{"Spaced", "key", ""}, {" Spaced ", "key", "none"}, {"Spaced", "model name", ""}, {"Spaced", "eq", ""},
          {"Unix", "lf", ""}, {"Last", "end", ""}, {"Spaced", "no equals here", "none"}}},
        {"empty file", "", {{"S", "k", "dflt"}}},
        {"model lines",
         "[Models.NTamd64]\r\n%DeviceDesc%=Install, USB\\VID_0C5E&PID_7730\r\n"
         "%DeviceDesc%=Install, USB\\VID_1234&PID_5678\r\n[Strings]\r\nDeviceDesc=\"QT7730 USB Bridge\"\r\n",
         {{"Models.NTamd64", "%DeviceDesc%", ""}, {"Strings", "DeviceDesc", ""}}},
    };
}

TEST(ProfileApi, TheBenchsReaderAnswersAsTheSystemDoes)
{
    WinTempDir dir;
    bench::BenchOptions options;
    options.systemDirectory = dir.path();
    bench::Bench bench(options);
    platform::SimHost sim(bench.Pc());
    platform::Win32Host real;

    int file = 0;
    for (const Case &c : Corpus()) {
        // A file of its own per case: the system may cache a profile file it has read.
        const std::string path = dir.write("case" + std::to_string(++file) + ".inf", c.text);
        for (const Query &q : c.queries) {
            SCOPED_TRACE(std::string(c.name) + ": [" + q.section + "] " + q.key + " (buffer "
                         + std::to_string(q.bufferBytes) + ")");
            const std::string expected =
                real.GetPrivateProfileString(q.section, q.key, q.defaultValue, q.bufferBytes, path);
            EXPECT_EQ(sim.GetPrivateProfileString(q.section, q.key, q.defaultValue, q.bufferBytes, path), expected);
        }
    }

    // A missing file gives the default, trimmed of trailing blanks, by both.
    const std::string missing = dir.file("missing.inf");
    EXPECT_EQ(real.GetPrivateProfileString("S", "k", "dflt  ", 64, missing), "dflt");
    EXPECT_EQ(sim.GetPrivateProfileString("S", "k", "dflt  ", 64, missing), "dflt");
}

} // namespace
