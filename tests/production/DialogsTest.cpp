#include "AboutDlg.h"
#include "DetectDlg.h"
#include "FakeFlow.h"
#include "InfoDlg.h"
#include "ProductionDlg.h"
#include "ProductionScript.h"
#include "ScriptedPrompter.h"
#include "TamberTexts.h"
#include "TempDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace production;
using namespace production_test;

namespace {

std::vector<uint8_t> ImageFile(uint8_t pidSelect = 3, uint32_t model = 0x7730, bool blank = false)
{
    EepromImage image;
    image.m_rec.wVendorId.set(0x0C5E);
    image.m_rec.wProductId1.set(0x1111);
    image.m_rec.wProductId3.set(0x7730);
    image.m_rec.wRevision.set(0x0100);
    image.m_rec.bPidSelect = pidSelect;
    image.m_rec.bSerialIndex = 3;
    image.m_rec.dwChipModel.set(model);
    image.m_rec.dwChipVersion.set(0x0100);
    uint8_t *b = image.Bytes();
    const char *texts[] = {"Veltrona", "USB Bridge", "000000000001"};
    std::size_t at = 36;
    for (const char *t : texts) {
        const std::size_t n = std::strlen(t);
        b[at] = uint8_t(2 + 2 * n);
        b[at + 1] = 3;
        for (std::size_t i = 0; i < n; ++i)
            b[at + 2 + 2 * i] = uint8_t(t[i]);
        at += b[at];
    }
    if (blank)
        std::memset(b + 160, 0xFF, 32);
    return {b, b + EepromImage::kImageSize};
}

} // namespace

TEST(InfoDlg, ShowsTheChosenImageAndHandsOverItsIds)
{
    TempDir dir;
    ScriptedPrompter prompter;
    prompter.OpenNext(QString::fromStdString(dir.write("batch.eep", ImageFile(1))));
    EepromImage image;
    CInfoDlg dlg(prompter);
    dlg.m_pImage = &image;
    QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(dlg.Field(1000)->text(), "0C5E");
        EXPECT_EQ(dlg.Field(1001)->text(), "7730");
        EXPECT_EQ(dlg.Field(1002)->text(), "0100");
        EXPECT_EQ(dlg.Field(1003)->text(), "Veltrona");
        EXPECT_EQ(dlg.Field(1004)->text(), "USB Bridge");
        EXPECT_TRUE(dlg.Field(1003)->isReadOnly());
        EXPECT_TRUE(dlg.EnableSN()->isChecked());
        EXPECT_FALSE(dlg.EnableSN()->isEnabled());
        EXPECT_EQ(dlg.m_btnStart->text(), "Start");
        EXPECT_EQ(dlg.windowTitle(), "QT7730 EEPROM Info");
        dlg.m_btnStart->click();
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(dlg.m_fields.m_strVendorID, "0C5E");
    EXPECT_EQ(dlg.m_fields.m_strSelectedPID, "1111"); // selection value 1
    ASSERT_EQ(prompter.openFilters().size(), 1u);
    EXPECT_EQ(prompter.openFilters()[0].name, "Eeprom file");
    EXPECT_EQ(prompter.openFilters()[0].patterns, "*.eep");
    EXPECT_TRUE(prompter.shown().empty());
}

TEST(InfoDlg, BlankImageClosesWithOkByItself)
{
    TempDir dir;
    ScriptedPrompter prompter;
    prompter.OpenNext(QString::fromStdString(dir.write("blank.eep", ImageFile(3, 0x7730, true))));
    EepromImage image;
    CInfoDlg dlg(prompter);
    dlg.m_pImage = &image;
    EXPECT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_TRUE(image.m_bBlank);
}

TEST(InfoDlg, RefusedFileOrCancelledChooserEndsWithCancel)
{
    TempDir dir;
    ScriptedPrompter prompter;
    prompter.OpenNext(QString::fromStdString(dir.write("7701.eep", ImageFile(3, 0x7701))));
    EepromImage image;
    image.m_rec.wVendorId.set(0x1234);
    const std::vector<uint8_t> before(image.Bytes(), image.Bytes() + EepromImage::kImageSize);
    {
        CInfoDlg dlg(prompter);
        dlg.m_pImage = &image;
        EXPECT_EQ(dlg.exec(), QDialog::Rejected);
    }
    EXPECT_EQ(prompter.lastText(), "Incorrect chip model");
    EXPECT_EQ(prompter.shown().back().caption, ""); // the program's name
    EXPECT_EQ(std::vector<uint8_t>(image.Bytes(), image.Bytes() + EepromImage::kImageSize), before);

    CInfoDlg cancelled(prompter); // no file chosen
    cancelled.m_pImage = &image;
    EXPECT_EQ(cancelled.exec(), QDialog::Rejected);
    EXPECT_EQ(prompter.shown().size(), 1u);

    CInfoDlg noImage(prompter);
    EXPECT_EQ(noImage.exec(), QDialog::Rejected);
}

TEST(InfoDlg, UnreadableTextsLeaveOnlyCancel)
{
    TempDir dir;
    std::vector<uint8_t> bytes = ImageFile();
    bytes[36] = 2; // descriptor 1 ends the chain
    ScriptedPrompter prompter;
    prompter.OpenNext(QString::fromStdString(dir.write("broken.eep", bytes)));
    EepromImage image;
    CInfoDlg dlg(prompter);
    dlg.m_pImage = &image;
    QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(prompter.lastText(), "Can't open file!");
        EXPECT_EQ(prompter.shown().back().caption, "File Error");
        EXPECT_EQ(dlg.Field(1000)->text(), "");
        EXPECT_FALSE(dlg.m_btnStart->isEnabled());
        dlg.accept(); // even a forced Start hands nothing over
        EXPECT_TRUE(dlg.isVisible());
        dlg.m_btnCancel->click();
    });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
}

TEST(DetectDlg, TemplateWithCentredCancel)
{
    QDialog owner;
    bool ownerCancelled = false;
    QObject::connect(&owner, &QDialog::rejected, [&] { ownerCancelled = true; });
    CDetectDlg dlg(&owner);
    dlg.m_strTitle = "Attention";
    dlg.m_bShowOK = 0;
    dlg.Create();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.windowTitle(), "Attention");
    EXPECT_TRUE(dlg.m_btnOK->isHidden());
    const QRect cancel = dlg.m_btnCancel->geometry();
    EXPECT_EQ(cancel.left(), (dlg.width() - cancel.width()) / 2);
    EXPECT_EQ(dlg.m_btnCancel->text(), "Cancel");
    EXPECT_EQ(dlg.ShownIcon(), 132);
    EXPECT_EQ(dlg.m_stcIcon->size(), QSize(48, 48));

    dlg.ShowIcon(133);
    dlg.ShowIcon(131);
    dlg.ShowIcon(137);
    EXPECT_EQ(dlg.ShownIcon(), 133);

    dlg.m_strPrompt = "first";
    dlg.m_strDetail = "second";
    dlg.UpdateData();
    EXPECT_EQ(dlg.m_stcPrompt->text(), "first");
    EXPECT_EQ(dlg.m_stcDetail->text(), "second");

    dlg.show();
    dlg.m_btnCancel->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return ownerCancelled; }, 2000));
}

TEST(DetectDlg, OkButtonStaysWhereTheTemplatePutsIt)
{
    CDetectDlg dlg(nullptr);
    dlg.m_bShowOK = 1;
    dlg.Create();
    EXPECT_FALSE(dlg.m_btnOK->isHidden());
    EXPECT_GT(dlg.m_btnCancel->geometry().left(), dlg.m_btnOK->geometry().right());
}

TEST(AboutDlg, VersionLineAndMissingVersion)
{
    platform::FileVersion v;
    v.fileVersionMS = 0x00010003;
    EXPECT_EQ(VersionLine(v), "Function Test 1.3");
    v.fileVersionMS = 0x000A0014;
    EXPECT_EQ(VersionLine(v), "Function Test 10.20");

    CAboutDlg none([] { return std::optional<platform::FileVersion>(); });
    EXPECT_EQ(none.exec(), QDialog::Rejected);

    CAboutDlg about([] { return std::optional<platform::FileVersion>(platform::FileVersion{0x00010003, 0, 0, 0}); });
    QTimer::singleShot(0, &about, [&] {
        EXPECT_EQ(about.windowTitle(), "About Function Test");
        EXPECT_EQ(about.VersionLabel()->text(), "Function Test 1.3");
        about.accept();
    });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

namespace {

struct MainWindow : ::testing::Test {
    TempDir dir;
    ScriptedPrompter prompter;
    FakeMachine machine;
    std::atomic<int> runs{0};
    std::unique_ptr<CProductionDlg> dlg;

    void SetUp() override
    {
        dlg = std::make_unique<CProductionDlg>(
            prompter, machine,
            [this](const RunInputs &, const LogFn &log) {
                ++runs;
                log("Initialize device\tOK\r\n");
                return true;
            },
            [] { return std::optional<platform::FileVersion>(platform::FileVersion{0x00010003, 0, 0, 0}); });
    }
    void WhenProductionRuns(std::function<void()> script) { ::WhenProductionRuns(dlg.get(), std::move(script)); }
};

} // namespace

TEST_F(MainWindow, CancelInTheInfoDialogEndsAtOnce)
{
    EXPECT_EQ(dlg->exec(), QDialog::Rejected);
    EXPECT_EQ(machine.scans, 0);
    EXPECT_FALSE(dlg->m_pDetectDlg);
}


namespace {

// A left click at the middle of `widget`, delivered as the window system delivers one: to the widget's
// top-level window, where a modal window blocks it.
void RealClick(QWidget *widget)
{
    QWidget *top = widget->window();
    QTest::mouseClick(top->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                      widget->mapTo(top, widget->rect().center()));
}

} // namespace

// The About box is modal to the main window only: the prompt window's Cancel still takes a real click
// and ends the box first, then the program; the main window itself takes no input meanwhile.
TEST_F(MainWindow, CancelWhileTheAboutBoxIsOpenClosesItFirst)
{
    prompter.OpenNext(QString::fromStdString(dir.write("batch.eep", ImageFile())));
    bool aboutWasOpen = false, mainIgnoredEscape = false, applicationModal = true;
    QPointer<CAboutDlg> about;
    WhenProductionRuns([&] {
        EXPECT_EQ(dlg->AboutCommandText(), "&About Function Test...");
        QTimer::singleShot(50, dlg.get(), [&] {
            about = dlg->m_pAboutDlg;
            aboutWasOpen = about && about->isVisible();
            // The main window runs modally itself; the box must not stand in front of everything.
            applicationModal = about && (QApplication::activeModalWidget() == about || about->isModal());
            // Escape typed into the main window would cancel it; blocked, it does nothing.
            QTest::keyClick(dlg->windowHandle(), Qt::Key_Escape);
            mainIgnoredEscape = dlg->isVisible() && about && about->isVisible();
            CDetectDlg *prompt = dlg->m_pDetectDlg.get();
            ASSERT_TRUE(QTest::qWaitFor([prompt] { return prompt->isVisible(); }, 3000));
            ASSERT_TRUE(QTest::qWaitForWindowExposed(prompt));
            RealClick(prompt->m_btnCancel);
        });
        // Should the click be blocked, the test fails here instead of waiting forever.
        QTimer::singleShot(5000, dlg.get(), [&] {
            if (dlg->m_pAboutDlg)
                dlg->m_pAboutDlg->reject();
            QTimer::singleShot(0, dlg.get(), [&] { dlg->reject(); });
        });
        dlg->OnSysCommand(IDM_ABOUTBOX | 0x3); // low bits do not matter
        EXPECT_EQ(dlg->m_pAboutDlg, nullptr);
        EXPECT_FALSE(dlg->isVisible()) << "the prompt window's Cancel ended the program";
    });
    EXPECT_EQ(dlg->exec(), QDialog::Rejected);
    EXPECT_TRUE(aboutWasOpen);
    EXPECT_FALSE(applicationModal);
    EXPECT_TRUE(mainIgnoredEscape);
}
