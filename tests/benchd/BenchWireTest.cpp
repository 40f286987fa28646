#include "BenchWire.h"

#include <gtest/gtest.h>

using namespace benchwire;

TEST(BenchWire, FieldsRoundTrip)
{
    Writer w(Op::DeviceIoControl);
    w.u64(0x1122334455667788ull).u32(0x222008).str("abc").strings({"x", "", "yz"}).u8(7);
    const std::string frame = w.Frame();
    ASSERT_EQ(frame.size(), 4 + w.Payload().size());
    const auto length = PayloadLength(reinterpret_cast<const uint8_t *>(frame.data()));
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, w.Payload().size());

    Reader r(w.Payload());
    EXPECT_EQ(static_cast<Op>(r.u8()), Op::DeviceIoControl);
    EXPECT_EQ(r.u64(), 0x1122334455667788ull);
    EXPECT_EQ(r.u32(), 0x222008u);
    EXPECT_EQ(r.str(), "abc");
    EXPECT_EQ(r.strings(), (std::vector<std::string>{"x", "", "yz"}));
    EXPECT_EQ(r.u8(), 7);
    EXPECT_TRUE(r.AtEnd());
}

TEST(BenchWire, ShortOrLyingPayloadsAreRefusedNotReadPast)
{
    // A string that claims more bytes than there are.
    std::string payload = Writer().u32(1000).Payload() + "abc";
    Reader r(payload);
    EXPECT_EQ(r.str(), "");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u32(), 0u) << "a failed reader stays failed";

    // A list count far beyond what the payload can hold is refused before anything is allocated.
    const std::string hugeCount = Writer().u32(0xFFFFFFFF).Payload();
    Reader list(hugeCount);
    EXPECT_TRUE(list.strings().empty());
    EXPECT_FALSE(list.ok());

    // A string longer than the caller allows.
    const std::string longText = Writer().str(std::string(300, 'n')).Payload();
    Reader capped(longText);
    EXPECT_EQ(capped.str(260), "");
    EXPECT_FALSE(capped.ok());

    // Trailing bytes make a message malformed.
    const std::string twoBytes = Writer().u8(1).u8(2).Payload();
    Reader trailing(twoBytes);
    trailing.u8();
    EXPECT_TRUE(trailing.ok());
    EXPECT_FALSE(trailing.AtEnd());

    Reader empty("");
    empty.u8();
    EXPECT_FALSE(empty.ok());
}

TEST(BenchWire, HugeLengthFieldsAreRefused)
{
    const uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(PayloadLength(huge));
    const uint32_t limit = kMaxPayload;
    const uint8_t atLimit[4] = {uint8_t(limit), uint8_t(limit >> 8), uint8_t(limit >> 16), uint8_t(limit >> 24)};
    EXPECT_TRUE(PayloadLength(atLimit));
    const uint32_t over = kMaxPayload + 1;
    const uint8_t overLimit[4] = {uint8_t(over), uint8_t(over >> 8), uint8_t(over >> 16), uint8_t(over >> 24)};
    EXPECT_FALSE(PayloadLength(overLimit));
}
