// Numwell's settings store over the registry: the whole contract the serial-number library relies on.

#include "RegistrySettingsStore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <windows.h>

using namespace platform;

namespace {

// A key of its own per run, removed before and after.
class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = "Software\\Veltrona\\QT7730 MFG Kit Tests\\" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(RegistrySettingsStore::DeleteTree(path));
    }
    void TearDown() override { RegistrySettingsStore::DeleteTree("Software\\Veltrona\\QT7730 MFG Kit Tests"); }

    RegistrySettingsStore store;
    std::string path;
};

TEST_F(RegistryStore, CreateOpenWriteReadFlushAcrossHandles)
{
    EXPECT_EQ(store.OpenKey(path, SettingsAccess::Read), nullptr) << "a missing key is not opened";
    EXPECT_EQ(store.OpenKey(path, SettingsAccess::ReadWrite), nullptr);
    EXPECT_EQ(store.OpenKey("", SettingsAccess::Read), nullptr);
    EXPECT_EQ(store.CreateKey(std::string("bad\0name", 8)), nullptr) << "a name with a zero byte is refused";

    auto key = store.CreateKey(path);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->WriteNumber("LastDate", 0x20261208));
    ASSERT_TRUE(key->WriteNumber("LastSN", 42));
    const char sn[16] = "A2026120800042";
    ASSERT_TRUE(key->WriteText("LastSN-USB", sn, sizeof sn));
    ASSERT_TRUE(key->Flush());
    key->Close();
    key->Close(); // closing twice is harmless
    EXPECT_FALSE(key->WriteNumber("LastSN", 1)) << "a closed key refuses writes";
    std::uint32_t number = 0, length = sizeof number;
    EXPECT_FALSE(key->Read("LastSN", &number, length)) << "and reads";

    // Another handle (as another process would) sees every value, byte for byte.
    auto again = store.OpenKey(path, SettingsAccess::Read);
    ASSERT_NE(again, nullptr);
    length = sizeof number;
    ASSERT_TRUE(again->Read("LastDate", &number, length));
    EXPECT_EQ(number, 0x20261208u);
    EXPECT_EQ(length, 4u);
    length = sizeof number;
    ASSERT_TRUE(again->Read("LastSN", &number, length));
    EXPECT_EQ(number, 42u);
    char text[16] = {};
    length = sizeof text;
    ASSERT_TRUE(again->Read("LastSN-USB", text, length));
    EXPECT_EQ(length, sizeof sn);
    EXPECT_EQ(std::memcmp(text, sn, sizeof sn), 0);
    EXPECT_FALSE(again->Read("Missing", text, length)) << "a missing value fails";
    EXPECT_FALSE(again->WriteNumber("LastSN", 43)) << "a key opened for reading refuses writes";
    EXPECT_FALSE(again->Flush() && again->WriteNumber("StationID", 1));

    // CreateKey on an existing key opens it with its values.
    auto created = store.CreateKey(path);
    ASSERT_NE(created, nullptr);
    length = sizeof number;
    ASSERT_TRUE(created->Read("LastSN", &number, length));
    EXPECT_EQ(number, 42u);

    // The value really is where other programs look: HKLM, the 32-bit view, REG_DWORD and REG_SZ.
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &raw), ERROR_SUCCESS);
    DWORD type = 0, dword = 0, size = sizeof dword;
    EXPECT_EQ(RegQueryValueExA(raw, "LastSN", nullptr, &type, reinterpret_cast<BYTE *>(&dword), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(dword, 42u);
    char ansi[32] = {};
    size = sizeof ansi;
    EXPECT_EQ(RegQueryValueExA(raw, "LastSN-USB", nullptr, &type, reinterpret_cast<BYTE *>(ansi), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_STREQ(ansi, sn);
    RegCloseKey(raw);
}

TEST_F(RegistryStore, ShortBuffersAndValuesOfTheWrongType)
{
    auto key = store.CreateKey(path);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->WriteText("Text", "ABCDEFGH", 9));
    ASSERT_TRUE(key->WriteNumber("Number", 7));
    ASSERT_TRUE(key->WriteText("Unterminated", "XYZ", 3));

    // A value longer than the buffer fails the read, copies nothing and tells the length.
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    std::uint32_t length = sizeof buffer;
    EXPECT_FALSE(key->Read("Text", buffer, length));
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(buffer[0], '#');
    length = 9;
    char exact[9];
    EXPECT_TRUE(key->Read("Text", exact, length)) << "exactly the buffer's size fits";
    EXPECT_STREQ(exact, "ABCDEFGH");

    // A text stored without a terminator gets one, as REG_SZ values carry.
    char small[8] = {};
    length = sizeof small;
    ASSERT_TRUE(key->Read("Unterminated", small, length));
    EXPECT_EQ(length, 4u);
    EXPECT_STREQ(small, "XYZ");

    // A number read into a text buffer gives its four bytes; a text read where a number is expected
    // gives the text's bytes and length (the caller checks the length), or fails when longer.
    length = sizeof small;
    ASSERT_TRUE(key->Read("Number", small, length));
    EXPECT_EQ(length, 4u);
    std::uint32_t number = 0;
    length = sizeof number;
    EXPECT_FALSE(key->Read("Text", &number, length)) << "9 bytes do not fit a number";
    ASSERT_TRUE(key->WriteText("Short", "12", 3));
    length = sizeof number;
    ASSERT_TRUE(key->Read("Short", &number, length));
    EXPECT_EQ(length, 3u) << "the length says it is no number";

    // A value of another registry type (binary) crosses unchanged.
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE | KEY_WOW64_32KEY, &raw), ERROR_SUCCESS);
    const BYTE blob[5] = {1, 0, 2, 0, 3};
    ASSERT_EQ(RegSetValueExA(raw, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    RegCloseKey(raw);
    BYTE got[8] = {};
    length = sizeof got;
    ASSERT_TRUE(key->Read("Blob", got, length));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::memcmp(got, blob, 5), 0);

    // Writes are refused for bad arguments, without touching the stored value.
    EXPECT_FALSE(key->WriteText("Text", nullptr, 4));
    length = sizeof exact;
    ASSERT_TRUE(key->Read("Text", exact, length));
    EXPECT_STREQ(exact, "ABCDEFGH");
}

TEST_F(RegistryStore, TheMachineStoreIsTheRegistry)
{
    auto machine = MachineSettingsStore();
    ASSERT_NE(machine, nullptr);
    auto key = machine->CreateKey(path);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->WriteNumber("StationID", 10));
    ASSERT_TRUE(key->Flush());
    auto other = store.OpenKey(path, SettingsAccess::Read);
    ASSERT_NE(other, nullptr);
    std::uint32_t station = 0, length = sizeof station;
    ASSERT_TRUE(other->Read("StationID", &station, length));
    EXPECT_EQ(station, 10u);
}

} // namespace
