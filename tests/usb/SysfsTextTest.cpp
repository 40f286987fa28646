// What sysfs says of a device is outside bytes: a device picks its product text, and an attribute
// may be garbage or endless. The kit keeps what it shows clean and what it reads bounded.

#include "SysfsText.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace platform::sysfs;

TEST(SysfsText, AttributesAreReadBoundedAndTakenOnlyWhenWellFormed)
{
    std::istringstream endless(std::string(1 << 20, '7'));
    EXPECT_EQ(FirstLine(endless).size(), kAttributeLimit);
    std::istringstream twoLines("4 \r\nrest\n");
    EXPECT_EQ(FirstLine(twoLines), "4");

    EXPECT_EQ(PortCount("7"), 7);
    EXPECT_EQ(PortCount("255"), 255);
    for (const char* bad : {"", "256", "-1", "4x", " 4", "99999999999999999999"})
        EXPECT_EQ(PortCount(bad), 0) << bad;
}

TEST(SysfsText, ProductTextsAreShownCleanAndBounded)
{
    EXPECT_EQ(ProductText("QT7730 Bridge"), "QT7730 Bridge");
    EXPECT_EQ(ProductText("Br\x1b[31mid\tge\x7f"), "Br[31midge");
    EXPECT_EQ(ProductText("Caf\xe9 \xc3\xa9\xed\xa0\x80"), "Caf\xef\xbf\xbd \xc3\xa9\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(ProductText("\xe4\xb8\xad\xe6\x96\x87"), "\xe4\xb8\xad\xe6\x96\x87");
    EXPECT_EQ(ProductText(" \x01\x02 "), std::nullopt);
    EXPECT_EQ(ProductText(std::string(500, 'x'))->size(), 126u);
}
