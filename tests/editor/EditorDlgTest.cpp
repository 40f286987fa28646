#include "AboutDlg.h"
#include "EditorDlg.h"
#include "FixedDay.h"

#include "QtTestApp.h"
#include "ScriptedPrompter.h"
#include "StubHost.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace {

// A key press carrying any character, also one no keyboard layout of the test machine has.
void TypeChar(QWidget *target, QChar c)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(target, &press);
}

void TypeText(QWidget *target, const QString &text)
{
    for (const QChar c : text)
        TypeChar(target, c);
}

QApplication &App() { return QtTestApp::App(); }

// The editor with a scripted configuration dialog that records the image it was handed.
struct EditorFixture : ::testing::Test {
    EditorFixture() { App(); }

    CEditorDlg &Editor()
    {
        if (!editor)
            editor = std::make_unique<CEditorDlg>(
                prompter, host,
                [this](QWidget *, EepromImage *image) {
                    ++configRuns;
                    configured = *image;
                    image->m_rec.dwChipModel.set(0x7730);
                    image->m_rec.dwChipVersion.set(0x0102);
                    return configResult;
                },
                FixedDay);
        return *editor;
    }

    std::vector<uint8_t> ConfiguredImageFile(const std::function<void(EepromImage &)> &change = {})
    {
        editor::EditorModel model(FixedDay);
        model.BuildImage();
        model.m_image.m_rec.dwChipModel.set(0x7730);
        if (change)
            change(model.m_image);
        return {model.m_image.Bytes(), model.m_image.Bytes() + 264};
    }

    ScriptedPrompter prompter;
    StubHost host;
    std::unique_ptr<CEditorDlg> editor;
    int configRuns = 0;
    int configResult = QDialog::Accepted;
    EepromImage configured;
    TempDir dir;
};

} // namespace

TEST_F(EditorFixture, OpensWithTheDefaultIdentity)
{
    CEditorDlg &dlg = Editor();
    EXPECT_EQ(dlg.windowTitle(), "QT7730 EEPROM Editor - Veltrona");
    EXPECT_EQ(dlg.VendorIdEdit()->text(), "0C5E");
    EXPECT_EQ(dlg.ProductIdEdit()->text(), "7730");
    EXPECT_EQ(dlg.RevisionEdit()->text(), "0100");
    EXPECT_EQ(dlg.VendorDescEdit()->text(), "Veltrona Technology Inc.");
    EXPECT_EQ(dlg.ProductDescEdit()->text(), "USB Transfer Cable");
    EXPECT_FALSE(dlg.EnableSnBox()->isChecked());
    EXPECT_EQ(dlg.VendorIdEdit()->maxLength(), 4);
    EXPECT_EQ(dlg.VendorDescEdit()->maxLength(), 31);
    EXPECT_TRUE(dlg.ConfigButton()->isDefault());
    EXPECT_EQ(dlg.ConfigButton()->text(), "Config");
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_GT(dlg.width(), dlg.height() * 2); // 301 x 97 dialog units
}

TEST_F(EditorFixture, TypingRefusesWhatTheFieldsCannotHold)
{
    CEditorDlg &dlg = Editor();
    QLineEdit *vid = dlg.VendorIdEdit();
    vid->clear();
    TypeText(vid, "12");
    EXPECT_TRUE(prompter.shown().empty());
    TypeText(vid, "G");
    ASSERT_EQ(prompter.shown().size(), 1u);
    EXPECT_EQ(prompter.lastText(), "Vendor ID error");
    EXPECT_TRUE(prompter.shown()[0].caption.isEmpty()); // the application's name
    EXPECT_EQ(vid->text(), "12");

    dlg.RevisionEdit()->selectAll();
    TypeText(dlg.RevisionEdit(), "x");
    EXPECT_EQ(prompter.lastText(), "Revision error");
    EXPECT_EQ(dlg.RevisionEdit()->text(), "0100");

    dlg.ConfigButton()->click(); // "12" is not four digits
    EXPECT_EQ(prompter.lastText(), "Vendor ID error");
    EXPECT_EQ(configRuns, 0);

    QLineEdit *desc = dlg.VendorDescEdit();
    desc->clear();
    TypeText(desc, "Caf");
    for (const QChar c : {QChar(0xE9), QChar(0x0141), QChar('x')})
        TypeChar(desc, c);
    EXPECT_EQ(desc->text(), QString("Caf") + QChar(0xE9) + "x");
    TypeText(desc, QString(40, 'a'));
    EXPECT_EQ(desc->text().size(), 31);
}

TEST_F(EditorFixture, ConfigThenSaveEndsTheProgram)
{
    CEditorDlg &dlg = Editor();
    dlg.ProductIdEdit()->setText("abcd");
    dlg.EnableSnBox()->setChecked(true);
    dlg.ConfigButton()->click();
    ASSERT_EQ(configRuns, 1);
    EXPECT_EQ(configured.m_rec.wProductId3.get(), 0xABCD);
    EXPECT_EQ(configured.m_rec.bSerialIndex, 3);
    EXPECT_EQ(dlg.ConfigButton()->text(), "Save");
    for (QWidget *w : std::initializer_list<QWidget *>{dlg.VendorIdEdit(), dlg.ProductIdEdit(), dlg.RevisionEdit(),
                                                       dlg.VendorDescEdit(), dlg.ProductDescEdit(),
                                                       dlg.EnableSnBox(), dlg.LoadButton()})
        EXPECT_FALSE(w->isEnabled());
    EXPECT_TRUE(dlg.CancelButton()->isEnabled());

    dlg.ConfigButton()->click(); // the save chooser is cancelled: stay
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    ASSERT_EQ(prompter.saveRequests().size(), 1u);
    const SaveFileRequest request = prompter.saveRequests()[0];
    EXPECT_EQ(request.filter.name, "Eeprom file");
    EXPECT_EQ(request.filter.patterns, "*.eep");
    EXPECT_EQ(request.initialName, "QT7730_Veltrona_");
    EXPECT_EQ(request.defaultExtension, "eep");

    prompter.SaveNext(QString::fromStdString(dir.file("no/such/dir/a.eep")));
    dlg.ConfigButton()->click();
    EXPECT_EQ(prompter.lastText(), "No EEP file saved...\nPlease try again.");
    EXPECT_EQ(dlg.ConfigButton()->text(), "Save");

    const std::string path = dir.file("QT7730_Veltrona_1.eep");
    prompter.SaveNext(QString::fromStdString(path));
    dlg.ConfigButton()->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EepromImage saved;
    ASSERT_EQ(saved.LoadFile(path, 0x7730), 0);
    EXPECT_EQ(saved.m_rec.dwChipVersion.get(), 0x0102u);
    EXPECT_EQ(0, std::memcmp(saved.Bytes(), configured.Bytes(), 256));
}

// Enter as the keyboard delivers it (to the focused window's focus widget): a focused push button
// takes it; anywhere else the default button, Config (then Save), does.
TEST_F(EditorFixture, EnterPressesTheFocusedButtonElseTheDefaultOne)
{
    CEditorDlg &dlg = Editor();
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    const auto enterOn = [](QWidget *target) {
        target->setFocus(Qt::TabFocusReason);
        QTest::keyClick(static_cast<QWidget *>(nullptr), Qt::Key_Return);
    };

    enterOn(dlg.LoadButton());
    EXPECT_EQ(prompter.openFilters().size(), 1u) << "Load asked for a file";
    EXPECT_EQ(configRuns, 0);

    enterOn(dlg.EnableSnBox());
    EXPECT_EQ(configRuns, 1) << "the check box leaves Enter to Config";
    EXPECT_EQ(dlg.ConfigButton()->text(), "Save");
    EXPECT_TRUE(dlg.ConfigButton()->isDefault());

    enterOn(dlg.CancelButton());
    EXPECT_TRUE(prompter.saveRequests().empty()) << "Enter on Cancel must not save";
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.isVisible());

    // Before any button had the focus, and after one lost it, Enter is Config's.
    configResult = QDialog::Rejected;
    editor.reset();
    CEditorDlg &fresh = Editor();
    fresh.show();
    fresh.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&fresh));
    enterOn(fresh.VendorDescEdit());
    EXPECT_EQ(configRuns, 2);
    fresh.CancelButton()->setFocus(Qt::TabFocusReason);
    enterOn(fresh.RevisionEdit());
    EXPECT_EQ(configRuns, 3);
    EXPECT_TRUE(fresh.isVisible());
}

TEST_F(EditorFixture, CancelledConfigurationReturnsToEditing)
{
    configResult = QDialog::Rejected;
    CEditorDlg &dlg = Editor();
    dlg.ConfigButton()->click();
    EXPECT_EQ(configRuns, 1);
    EXPECT_EQ(dlg.Model().m_nState, editor::EditorModel::Editing);
    EXPECT_EQ(dlg.ConfigButton()->text(), "Config");
    EXPECT_TRUE(dlg.LoadButton()->isEnabled());
}

TEST_F(EditorFixture, ShortSerialAreaAsksFirst)
{
    CEditorDlg &dlg = Editor();
    dlg.Model().m_image.Bytes()[32] = 0x50;
    prompter.AnswerNext(MessageResult::No);
    dlg.ConfigButton()->click();
    ASSERT_EQ(prompter.shown().size(), 1u);
    const auto asked = prompter.shown()[0];
    EXPECT_EQ(asked.text, "Maximum USB S/N below 16 characters\nContinue?");
    EXPECT_EQ(asked.caption, "WARNING");
    EXPECT_EQ(asked.buttons, MessageButtons::YesNo);
    EXPECT_EQ(asked.icon, MessageIcon::Warning);
    EXPECT_EQ(configRuns, 0);
    prompter.AnswerNext(MessageResult::Yes);
    dlg.ConfigButton()->click();
    EXPECT_EQ(configRuns, 1);
}

TEST_F(EditorFixture, LoadShowsAFileOrSaysWhyNot)
{
    CEditorDlg &dlg = Editor();
    const std::string good = dir.write("a.eep", ConfiguredImageFile([](EepromImage &i) {
        i.m_rec.wVendorId.set(0xBEEF);
        i.SetString(1, std::string(50, 'L').c_str(), 50);
    }));
    const std::string qt7701 = dir.write("b.eep", ConfiguredImageFile([](EepromImage &i) {
        i.m_rec.dwChipModel.set(0x7701);
    }));
    const std::string broken = dir.write("c.sdt", ConfiguredImageFile([](EepromImage &i) { i.Bytes()[32] = 0; }));

    prompter.OpenNext(QString::fromStdString(qt7701));
    dlg.LoadButton()->click();
    EXPECT_EQ(prompter.lastText(), "Incorrect chip model");
    EXPECT_EQ(dlg.VendorIdEdit()->text(), "0C5E");
    EXPECT_EQ(prompter.openFilters().at(0).patterns, "*.eep;*.sdt");

    // Not a file at all: refused at once, the fields as they were.
    prompter.OpenNext(QString::fromStdString(dir.path().string()));
    dlg.LoadButton()->click();
    EXPECT_EQ(prompter.lastText(), "Can't open the file");
    EXPECT_EQ(dlg.VendorIdEdit()->text(), "0C5E");

    prompter.OpenNext(QString::fromStdString(broken));
    dlg.LoadButton()->click();
    EXPECT_EQ(prompter.lastText(), "Can't open file!");
    EXPECT_EQ(prompter.shown().back().caption, "File Error");

    prompter.OpenNext(QString::fromStdString(good));
    dlg.LoadButton()->click();
    EXPECT_EQ(dlg.VendorIdEdit()->text(), "BEEF");
    EXPECT_EQ(dlg.VendorDescEdit()->text(), QString(50, 'L')); // shown whole, not cut to 31
    dlg.ConfigButton()->click();
    ASSERT_EQ(configRuns, 1);
    EXPECT_EQ(configured.m_rec.abStrings[4], 102); // the 50-character text went back in whole
}

TEST_F(EditorFixture, AboutShowsTheProgramVersionOrNothing)
{
    App();
    CAboutDlg about(host);
    QTimer::singleShot(0, &about, [&] {
        EXPECT_EQ(about.m_strVersion, "QT7730 EEPROM Editor 1.3");
        EXPECT_EQ(about.findChild<QLabel *>("version")->text(), "QT7730 EEPROM Editor 1.3");
        EXPECT_EQ(about.windowTitle(), "About QT7730 EEPROM Editor");
        about.accept();
    });
    EXPECT_EQ(about.exec(), QDialog::Accepted);

    host.version = platform::FileVersion{0x0002000A, 0x00050007, 0, 0};
    QTimer::singleShot(0, &about, [&] { about.accept(); });
    about.exec();
    EXPECT_EQ(about.m_strVersion, "QT7730 EEPROM Editor 2.10");
    EXPECT_EQ(host.versionReads, 2);

    host.version.reset();
    CAboutDlg none(host);
    EXPECT_EQ(none.exec(), QDialog::Rejected); // returns at once, never shown
}

TEST_F(EditorFixture, ContextMenuOffersTheAboutBox)
{
    CEditorDlg &dlg = Editor();
    dlg.show();
    QStringList items;
    QTimer::singleShot(0, &dlg, [&] {
        if (QWidget *popup = QApplication::activePopupWidget()) {
            for (QAction *action : popup->actions())
                items << action->text();
            popup->close();
        }
    });
    emit dlg.customContextMenuRequested(QPoint(5, 5));
    EXPECT_EQ(items, QStringList{"&About EEPROM Editor.."});
}
