#include "TamberTexts.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace production;

namespace {

struct TableGuard {
    ~TableGuard() { InstallTextTable(QLocale(QLocale::English, QLocale::UnitedStates)); }
};

} // namespace

TEST(TamberTexts, LocalePicksTheTable)
{
    EXPECT_EQ(LanguageFor(QLocale("zh_CN")), TableLanguage::SimplifiedChinese);
    EXPECT_EQ(LanguageFor(QLocale("zh_TW")), TableLanguage::English);
    EXPECT_EQ(LanguageFor(QLocale("de_DE")), TableLanguage::English);
    EXPECT_EQ(LanguageFor(QLocale("en_US")), TableLanguage::English);
}

TEST(TamberTexts, EnglishTable)
{
    TableGuard guard;
    ASSERT_TRUE(InstallTextTable(QLocale("en_US")));
    EXPECT_EQ(LoadText(IDS_PLUG_IN), "Please plug in a configured device via USB cable to test...");
    EXPECT_EQ(LoadText(IDS_UNPLUG), "Please unplug this device...");
    EXPECT_EQ(LoadText(IDS_INIT_DEVICE), "Initialize device\t");
    EXPECT_EQ(LoadText(IDS_VERIFY_CONFIG), "Verify configuration\t");
    EXPECT_EQ(LoadText(IDS_ABOUTBOX).arg("Function Test"), "&About Function Test...");
    EXPECT_EQ(LoadText(IDS_ABOUT_CAPTION).arg("Function Test"), "About Function Test");
    EXPECT_EQ(LoadText(IDS_START), "Start");
    EXPECT_EQ(LoadText(999), "");
}

TEST(TamberTexts, ChineseTableReplacesEveryEntryAndSwitchesBack)
{
    TableGuard guard;
    ASSERT_TRUE(InstallTextTable(QLocale("zh_CN")));
    EXPECT_EQ(LoadText(IDS_PLUG_IN), QString::fromUtf8("请以USB线连接一个已设定过的装置来进行测试..."));
    EXPECT_EQ(LoadText(IDS_UNPLUG), QString::fromUtf8("请拔除此装置..."));
    EXPECT_EQ(LoadText(IDS_INIT_DEVICE), QString::fromUtf8("启用装置\t"));
    EXPECT_EQ(LoadText(IDS_CHECK_CHIP), QString::fromUtf8("检查chip版本\t"));
    EXPECT_EQ(LoadText(IDS_VERIFY_CONFIG), QString::fromUtf8("核对EEPROM资料\t"));
    EXPECT_EQ(LoadText(IDS_ATTENTION), QString::fromUtf8("注意"));
    EXPECT_EQ(LoadText(IDS_ABOUTBOX).arg("Function Test"), QString::fromUtf8("关于Function Test...(&A)"));
    EXPECT_EQ(LoadText(IDS_ABOUT_CAPTION).arg("Function Test"), QString::fromUtf8("关于Function Test"));
    EXPECT_EQ(LoadText(IDS_START), QString::fromUtf8("开始"));
    EXPECT_EQ(LoadText(IDS_CANCEL), QString::fromUtf8("取消"));
    EXPECT_EQ(LoadText(IDS_OK), QString::fromUtf8("确定"));
    EXPECT_EQ(LoadTextUtf8(IDS_ATTENTION), "注意");

    ASSERT_TRUE(InstallTextTable(QLocale("fr_FR")));
    EXPECT_EQ(LoadText(IDS_ATTENTION), "Attention");
}

TEST(TamberTexts, StationMessagesInBothLanguagesKeepWhatTheOperatorNeeds)
{
    TableGuard guard;
    for (const char *locale : {"en_US", "zh_CN"}) {
        ASSERT_TRUE(InstallTextTable(QLocale(locale)));
        EXPECT_FALSE(LoadText(IDS_NOT_RECORDED).isEmpty()) << locale;
        EXPECT_TRUE(LoadText(IDS_NO_BENCH).contains("\"vbench start\"")) << locale;
        // The file and the group to ask for survive the translation.
        const QString ledger = LoadText(IDS_LEDGER_NOT_WRITABLE).arg("/var/lib/qt7730-mfg-kit/ledger.db");
        EXPECT_TRUE(ledger.contains("/var/lib/qt7730-mfg-kit/ledger.db")) << locale;
        EXPECT_TRUE(ledger.contains("qt7730-mfg,") || ledger.contains(QString::fromUtf8("qt7730-mfg 组"))) << locale;
        // On Windows there is no such group: the installer (or its repair) is what gives the right.
        const QString windows = LoadText(IDS_LEDGER_NOT_WRITABLE_WINDOWS).arg("C:\\ProgramData\\QT7730 MFG Kit");
        EXPECT_TRUE(windows.contains("C:\\ProgramData\\QT7730 MFG Kit")) << locale;
        EXPECT_TRUE(windows.contains("MSI")) << locale;
        EXPECT_FALSE(windows.contains("qt7730-mfg")) << locale;
    }
    EXPECT_EQ(LoadText(IDS_NOT_RECORDED), QString::fromUtf8("此结果未能存入本工作站的记录。请联系工作站管理员。"));
}
