// The station's shared files on Windows (platform/settings/SharedFilesWin32.cpp), under Wine here:
// made once and never changed, replaced whole, and the first thing this user cannot write named.

#include "SharedFiles.h"
#include "WinTempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string Read(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

} // namespace

TEST(SharedFilesWin32, MadeOnceReplacedWholeAndRefusalsNamed)
{
    WinTempDir dir;
    std::string error;
    // Missing folders on the way are made; an existing file is left exactly as it is.
    const std::string ledger = dir.file("station\\data\\ledger.db");
    ASSERT_TRUE(platform::PrepareSharedFile(ledger, &error)) << error;
    EXPECT_EQ(Read(ledger), "");
    std::ofstream(ledger, std::ios::binary) << "records";
    ASSERT_TRUE(platform::PrepareSharedFile(ledger, &error)) << error;
    EXPECT_EQ(Read(ledger), "records");
    EXPECT_FALSE(platform::PrepareSharedFile("", &error));

    // Replaced whole; nothing is left beside it.
    const std::string inf = dir.file("station\\data\\qt7730.inf");
    ASSERT_TRUE(platform::ReplaceSharedFile(inf, "[Version]\r\n", &error)) << error;
    ASSERT_TRUE(platform::ReplaceSharedFile(inf, "[Models]\r\n", &error)) << error;
    EXPECT_EQ(Read(inf), "[Models]\r\n");
    EXPECT_FALSE(std::filesystem::exists(inf + ".new"));
    // A folder in the file's place is refused and stays.
    std::filesystem::create_directories(dir.file("station\\data\\folder.inf"));
    EXPECT_FALSE(platform::ReplaceSharedFile(dir.file("station\\data\\folder.inf"), "x", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("station\\data\\folder.inf")));

    // A database that can be written, also where its folder is still to be made; the probe leaves
    // nothing behind.
    std::string why, what;
    EXPECT_TRUE(platform::CanWriteSharedDatabase(ledger, &why, &what)) << why;
    EXPECT_TRUE(platform::CanWriteSharedDatabase(dir.file("later\\deeper\\ledger.db"), &why, &what)) << why;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);
    // A folder in the database's place is named.
    EXPECT_FALSE(platform::CanWriteSharedDatabase(dir.file("station\\data\\folder.inf"), &why, &what));
    EXPECT_EQ(what, dir.file("station\\data\\folder.inf"));
}
