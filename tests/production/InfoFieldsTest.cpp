#include "InfoFields.h"

#include "ImageChain.h"

#include <gtest/gtest.h>

using namespace production;

namespace {

EepromImage EditorImage(uint8_t pidSelect)
{
    EepromImage image;
    image.m_rec.wVendorId.set(0x0C5E);
    image.m_rec.wProductId1.set(0x1111);
    image.m_rec.wProductId2.set(0x2222);
    image.m_rec.wProductId3.set(0xabcd);
    image.m_rec.wRevision.set(0x0102);
    image.m_rec.bPidSelect = pidSelect;
    image.m_rec.bSerialIndex = 3;
    WriteChain(image, {"Veltrona", "Bridge Cable", "SN0001"});
    return image;
}

} // namespace

TEST(InfoFields, EditorImageShowsAndHandsOverTheSelectedProductId)
{
    InfoFields f;
    ASSERT_TRUE(ReadInfoFields(EditorImage(3), f));
    EXPECT_EQ(f.m_strVendorID, "0C5E");
    EXPECT_EQ(f.m_strPID1, "1111");
    EXPECT_EQ(f.m_strPID2, "2222");
    EXPECT_EQ(f.m_strProductID, "ABCD"); // upper case
    EXPECT_EQ(f.m_strSelectedPID, "ABCD");
    EXPECT_EQ(f.m_strRevision, "0102");
    EXPECT_EQ(f.m_strVendorDesc, "Veltrona");
    EXPECT_EQ(f.m_strProductDesc, "Bridge Cable");
    EXPECT_EQ(f.m_bEnableSN, 1);
}

TEST(InfoFields, SelectionValueNamesTheWordHandedOver)
{
    InfoFields f;
    ASSERT_TRUE(ReadInfoFields(EditorImage(1), f));
    EXPECT_EQ(f.m_strProductID, "ABCD");
    EXPECT_EQ(f.m_strSelectedPID, "1111");
    ASSERT_TRUE(ReadInfoFields(EditorImage(2), f));
    EXPECT_EQ(f.m_strSelectedPID, "2222");
    // Values that name no word (0, 4, and 0xFF read as -1) fall back to the third word.
    for (uint8_t other : {0, 4, 0xFF}) {
        ASSERT_TRUE(ReadInfoFields(EditorImage(other), f));
        EXPECT_EQ(f.m_strSelectedPID, "ABCD") << int(other);
    }
}

TEST(InfoFields, LeadingZerosAndSerialFlag)
{
    EepromImage image = EditorImage(3);
    image.m_rec.wVendorId.set(0x00AB);
    image.m_rec.bSerialIndex = 1; // any non-zero value ticks the box
    InfoFields f;
    ASSERT_TRUE(ReadInfoFields(image, f));
    EXPECT_EQ(f.m_strVendorID, "00AB");
    EXPECT_EQ(f.m_bEnableSN, 1);
    image.m_rec.bSerialIndex = 0;
    ASSERT_TRUE(ReadInfoFields(image, f));
    EXPECT_EQ(f.m_bEnableSN, 0);
}

TEST(InfoFields, BrokenChainStopsAtTheTexts)
{
    EepromImage image = EditorImage(3);
    image.Bytes()[EepromImage::kStringsBegin + 4] = 2; // descriptor 1 ends the chain
    InfoFields f;
    f.m_strVendorDesc = "untouched";
    EXPECT_FALSE(ReadInfoFields(image, f));
    EXPECT_EQ(f.m_strVendorID, "0C5E");
    EXPECT_EQ(f.m_strVendorDesc, "untouched");
}

TEST(InfoFields, Hex4Checks)
{
    EXPECT_TRUE(IsHex4("0C5E"));
    EXPECT_TRUE(IsHex4("abcd"));
    EXPECT_FALSE(IsHex4(""));
    EXPECT_FALSE(IsHex4("C5E"));
    EXPECT_FALSE(IsHex4("0C5G"));
    EXPECT_FALSE(IsHex4("00C5E"));
    EXPECT_EQ(Hex4(0x12345), "2345");
}
