// The SQLite settings store on its own.

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "SqliteSettingsStore.h"
#include "TempDir.h"

namespace {

using platform::SettingsAccess;

constexpr const char *kKey = "Software\\Veltrona\\QT7730 MFG Kit";

std::string ReadText(platform::SettingsKey &key, const std::string &name)
{
    char buffer[64];
    std::uint32_t length = sizeof buffer;
    return key.Read(name, buffer, length) ? std::string(buffer, length) : std::string("<fail>");
}

TEST(SettingsStore, MissingStoreOrKeyOpensNothingAndCreatesNothing)
{
    TempDir dir;
    platform::SqliteSettingsStore store(dir.file("settings.db"));
    EXPECT_EQ(store.OpenKey(kKey, SettingsAccess::Read), nullptr);
    EXPECT_EQ(store.OpenKey(kKey, SettingsAccess::ReadWrite), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("settings.db")));

    ASSERT_NE(store.CreateKey("Software\\Other"), nullptr);
    EXPECT_EQ(store.OpenKey(kKey, SettingsAccess::Read), nullptr);
    EXPECT_NE(store.OpenKey("software\\OTHER", SettingsAccess::Read), nullptr); // names ignore case
}

TEST(SettingsStore, ReadsBackWithALengthLimit)
{
    TempDir dir;
    platform::SqliteSettingsStore store(dir.file("nested/folder/settings.db"));
    auto key = store.CreateKey(kKey);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->WriteNumber("StationID", 12));
    const char text[6] = {'A', 'B', 0, 'x', 'y', 0};
    ASSERT_TRUE(key->WriteText("LastSN-USB", text, sizeof text));
    ASSERT_TRUE(key->Flush());

    std::uint32_t number = 0;
    std::uint32_t length = sizeof number;
    ASSERT_TRUE(key->Read("stationid", &number, length));
    EXPECT_EQ(number, 12u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(ReadText(*key, "LastSN-USB"), std::string(text, sizeof text)); // bytes behind the zero too

    // Longer than the buffer: fails, copies nothing, reports the size needed.
    char small[5];
    std::memset(small, '#', sizeof small);
    length = sizeof small;
    EXPECT_FALSE(key->Read("LastSN-USB", small, length));
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::string(small, sizeof small), "#####");
    // Types play no part when reading, only lengths: a number fits an 8-byte text buffer.
    EXPECT_EQ(ReadText(*key, "StationID").size(), 4u);
    length = 4;
    EXPECT_FALSE(key->Read("Missing", small, length));
    key->Close();
    key->Close(); // closing twice is harmless

    auto reader = store.OpenKey(kKey, SettingsAccess::Read);
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->WriteNumber("StationID", 1));
    EXPECT_EQ(ReadText(*reader, "LastSN-USB"), std::string(text, sizeof text));
}

TEST(SettingsStore, OthersSeeAllWritesAtFlushOrCloseAndNoneBefore)
{
    TempDir dir;
    platform::SqliteSettingsStore store(dir.file("settings.db"));
    auto writer = store.CreateKey(kKey);
    ASSERT_TRUE(writer->WriteNumber("LastDate", 1) && writer->WriteNumber("LastSN", 1) && writer->Flush());

    ASSERT_TRUE(writer->WriteNumber("LastDate", 2) && writer->WriteNumber("LastSN", 2));
    auto reader = store.OpenKey(kKey, SettingsAccess::Read);
    std::uint32_t value = 0;
    std::uint32_t length = 4;
    ASSERT_TRUE(reader->Read("LastSN", &value, length));
    EXPECT_EQ(value, 1u);
    ASSERT_TRUE(writer->Flush());
    length = 4;
    ASSERT_TRUE(reader->Read("LastSN", &value, length));
    EXPECT_EQ(value, 2u);

    ASSERT_TRUE(writer->WriteNumber("LastSN", 3));
    writer->Close();
    auto later = platform::SqliteSettingsStore(dir.file("settings.db")).OpenKey(kKey, SettingsAccess::Read);
    length = 4;
    ASSERT_TRUE(later->Read("LastSN", &value, length));
    EXPECT_EQ(value, 3u);
}

TEST(SettingsStore, SecondWriterWaitsForTheFirstInsteadOfFailing)
{
    TempDir dir;
    platform::SqliteSettingsStore store(dir.file("settings.db"));
    auto first = store.CreateKey(kKey);
    auto second = store.OpenKey(kKey, SettingsAccess::ReadWrite);
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(first->WriteNumber("LastSN", 1)); // holds the write lock until flushed

    bool secondWrote = false;
    std::thread other([&] { secondWrote = second->WriteNumber("LastSN", 2) && second->Flush(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(first->Flush());
    other.join();
    EXPECT_TRUE(secondWrote);
    std::uint32_t value = 0;
    std::uint32_t length = 4;
    ASSERT_TRUE(first->Read("LastSN", &value, length));
    EXPECT_EQ(value, 2u); // the last save wins
}

TEST(SettingsStore, DamagedStoreFailsCleanlyAndIsLeftAlone)
{
    TempDir dir;
    const std::string file = dir.file("settings.db");
    {
        std::ofstream garbage(file, std::ios::binary);
        garbage << std::string(4096, 'Z');
    }
    platform::SqliteSettingsStore store(file);
    EXPECT_EQ(store.OpenKey(kKey, SettingsAccess::Read), nullptr);
    EXPECT_EQ(store.CreateKey(kKey), nullptr);
    std::ifstream check(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(check), {}), std::string(4096, 'Z'));
}

} // namespace
