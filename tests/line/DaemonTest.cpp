// The line's workflow over the bench daemon, as people run it: vbench with eight cables, mfgkit
// program with Numwell's numbers (here in-process, so a stand-in operator can answer Numwell's
// dialogs), then the mfgkit program itself for the test and the CSV records.

#include "BenchHome.h"
#include "Mfgkit.h"
#include "ModalScript.h"
#include "NumwellSerials.h"
#include "RunCommand.h"
#include "SocketHost.h"
#include "TempDir.h"
#include "Topologies.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

void AnswerDialogsWithOk()
{
    auto *script = new ModalScript(QCoreApplication::instance());
    for (int i = 0; i < 4; ++i)
        script->Then([](QWidget *window) { ModalScript::Click(window, QStringLiteral("OK")); });
}

class MfgkitDaemon : public ::testing::Test {
protected:
    ~MfgkitDaemon() override { Vbench("stop"); }

    std::string Env() const
    {
        return "VBENCH_HOME='" + m_home.path().string() + "' QT7730_HOST=sim QT7730_LEDGER_DB='" + Ledger() +
               "' QT7730_SETTINGS_DB='" + m_home.file("settings.db") + "' ";
    }
    CommandResult Vbench(const std::string &args) { return RunCommand(Env() + VBENCH_PATH " " + args + " 2>&1"); }
    CommandResult Mfgkit(const std::string &args) { return RunCommand(Env() + MFGKIT_PATH " " + args); }
    std::string Ledger() const { return m_home.file("ledger.db"); }

    TempDir m_home;
};

TEST_F(MfgkitDaemon, EightCablesProgrammedWithNumwellThenTestedThenListed)
{
    ASSERT_EQ(Vbench("start").status, 0);
    ASSERT_EQ(Vbench("hub add line --ports 16 --at root1:2").status, 0);
    for (int k = 1; k <= 8; ++k) {
        ASSERT_EQ(Vbench("cable add c" + std::to_string(k)).status, 0);
        const CommandResult plug = Vbench("plug c" + std::to_string(k));
        ASSERT_EQ(plug.status, 0) << plug.out;
    }
    const bench::EepromBytes eeprom = bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable",
                                                              std::string("000000000001"));
    std::vector<uint8_t> file(eeprom.begin(), eeprom.end());
    for (uint8_t b : {0x30, 0x77, 0, 0, 0x00, 0x01, 0, 0})
        file.push_back(b);
    const std::string image = m_home.write("batch.eep", file);

    // 1. Program: every cable at once, each with its own number.
    setenv("QT7730_SETTINGS_DB", m_home.file("settings.db").c_str(), 1);
    qAddPreRoutine(AnswerDialogsWithOk);
    {
        benchwire::SocketHost host(benchwire::BenchSocketPath(m_home.path().string()));
        std::ostringstream out, err;
        line::MfgkitEnv env;
        env.host = &host;
        env.out = &out;
        env.err = &err;
        env.ledgerPath = Ledger();
        env.needDisplay = false;
        env.numwell = [] { return std::make_unique<line::NumwellSerials>(NUMWELL_LIBRARY); };
        const int status = line::RunMfgkit({"program", image, "--serial", "numwell", "--expect", "8"}, env);
        ASSERT_EQ(status, 0) << out.str() << err.str();
        EXPECT_NE(out.str().find("8 cable(s): 8 passed, 0 failed"), std::string::npos) << out.str();
    }

    // 2. Test, by the program itself.
    const CommandResult test = Mfgkit("test '" + image + "' --expect 8");
    EXPECT_EQ(test.status, 0) << test.out;
    EXPECT_NE(test.out.find("8 cable(s): 8 passed, 0 failed"), std::string::npos) << test.out;

    // 3. The records as CSV: each serial programmed once and tested once, by the same cable.
    const CommandResult csv = Mfgkit("records --csv");
    ASSERT_EQ(csv.status, 0);
    std::istringstream lines(csv.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("seq,time_utc,kind", 0), 0u);
    std::map<std::string, std::map<std::string, std::string>> bySerial; // serial -> kind -> devices
    int rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');)
            f.push_back(x);
        ASSERT_GE(f.size(), 12u) << line;
        EXPECT_EQ(f[11], "pass") << line;
        bySerial[f[6]][f[2]] = f[10];
    }
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(bySerial.size(), 8u);
    for (const auto &[serial, kinds] : bySerial) {
        EXPECT_EQ(serial.size(), 12u) << serial;
        ASSERT_EQ(kinds.size(), 2u) << serial;
        EXPECT_EQ(kinds.at("program"), kinds.at("test")) << serial;
    }
}

} // namespace
