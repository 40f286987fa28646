// The line's workflow over the bench daemon, as people run it: vbench with eight cables, mfgkit
// program with Numwell's numbers (here in-process, so a stand-in operator can answer Numwell's
// dialogs), then the mfgkit program itself for the test and the CSV records.

#include "BenchHome.h"
#include "Mfgkit.h"
#include "ModalScript.h"
#include "NumwellSerials.h"
#include "StationLedger.h"
#include "TestObserver.h"
#include "RunCommand.h"
#include "SocketHost.h"
#include "TempDir.h"
#include "Topologies.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

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

    // The daemon with sixteen blank cables plugged into a 32-port controller; the batch image's file
    // ("" when the bench could not be set up).
    std::string SixteenCables()
    {
        if (Vbench("start").status != 0 || Vbench("controller add --ports 32").status != 0)
            return {};
        for (int k = 1; k <= 16; ++k)
            if (Vbench("cable add c" + std::to_string(k)).status != 0 || Vbench("plug c" + std::to_string(k)).status != 0)
                return {};
        const bench::EepromBytes eeprom = bench::ConfiguredEeprom(0x0C5E, 0x7730, "Veltrona", "USB Bridge Cable",
                                                                  std::string("000000000001"));
        std::vector<uint8_t> file(eeprom.begin(), eeprom.end());
        for (uint8_t b : {0x30, 0x77, 0, 0, 0x00, 0x01, 0, 0})
            file.push_back(b);
        return m_home.write("batch.eep", file);
    }

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

// Gang work over the daemon: 32 sides asked at once, sixteen cables programmed and tested at once, ten
// runs in a row. A process must stay below the daemon's bound on its connections by itself; none of
// these runs may fail for want of one.
TEST_F(MfgkitDaemon, SixteenCableRunsInARowNeverFailByThemselves)
{
    const std::string image = SixteenCables();
    ASSERT_FALSE(image.empty());
    for (int run = 0; run < 5; ++run) {
        const CommandResult program = Mfgkit("program '" + image + "' --serial LINE-" + std::to_string(run) +
                                             " --expect 16 2>&1");
        ASSERT_EQ(program.status, 0) << program.out;
        const CommandResult test = Mfgkit("test '" + image + "' --expect 16 --any-serial 2>&1");
        // Every step passes but the last: one serial text on sixteen cables is what the test must catch.
        std::size_t carried = 0;
        for (std::size_t at = 0; (at = test.out.find("FAIL  Serial number: LINE-", at)) != std::string::npos; ++at)
            ++carried;
        EXPECT_EQ(carried, 16u) << test.out;
        EXPECT_EQ(test.out.find("not running"), std::string::npos) << test.out;
    }
}

// A line's worst accident, over and over: mfgkit numbering sixteen cables over the bench daemon,
// killed at a random moment. Across all runs no number may reach two cables, and every number a cable
// holds must be in the ledger (reserved before it was written); at the end every cable's number is
// either programmed (and passes the test) or void (and fails it).
TEST_F(MfgkitDaemon, KilledAtRandomMomentsNoNumberReachesTwoCables)
{
    const std::string image = SixteenCables();
    ASSERT_FALSE(image.empty());
    setenv("VBENCH_HOME", m_home.path().c_str(), 1);
    setenv("QT7730_HOST", "sim", 1);
    setenv("QT7730_LEDGER_DB", Ledger().c_str(), 1);
    setenv("QT7730_SETTINGS_DB", m_home.file("settings.db").c_str(), 1);
    unsetenv("QT7730_LEDGER");

    const std::string log = m_home.file("child.log");
    auto start = [&] {
        const char *argv[] = {NUMBERING_CHILD_PATH, "program", image.c_str(), "--serial", "numwell", "--expect", "16",
                              nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        pid_t pid = -1;
        posix_spawn(&pid, argv[0], &files, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&files);
        return pid;
    };
    auto serialOf = [&](int k) {
        const CommandResult hex = Vbench("eeprom c" + std::to_string(k));
        std::istringstream in(hex.out);
        std::array<uint8_t, 256> bytes{};
        for (auto &b : bytes) {
            unsigned v = 0;
            in >> std::hex >> v;
            b = uint8_t(v);
        }
        return EepromImage::OfEeprom(bytes.data()).SerialText();
    };

    // One whole run first: how long a run takes sets the range of the kill moments.
    const auto began = std::chrono::steady_clock::now();
    pid_t pid = start();
    int raw = 0;
    waitpid(pid, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << RunCommand("cat '" + log + "'").out;
    const auto runMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);

    std::mt19937 random(20261209);
    std::map<std::string, std::set<int>> cablesOf; // number -> every cable it was ever seen in
    int kills = 0;
#if defined(__SANITIZE_ADDRESS__)
    const int rounds = 16; // each run costs seconds under the sanitizers; the plain build does the 56
#else
    const int rounds = 56;
#endif
    for (int round = 0; round < rounds; ++round) {
        pid = start();
        if (round % 8 != 7) { // every eighth run is let finish
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<long>(0, runMs.count())(random)));
            if (kill(pid, SIGKILL) == 0)
                ++kills;
        }
        waitpid(pid, &raw, 0);
        line::StationLedger ledger;
        ASSERT_TRUE(ledger.OpenExisting(Ledger()));
        for (int k = 1; k <= 16; ++k) {
            const std::string serial = serialOf(k);
            if (serial.empty())
                continue;
            cablesOf[serial].insert(k);
            ASSERT_LE(cablesOf[serial].size(), 1u) << serial << " reached two cables (round " << round << ")";
            ASSERT_TRUE(ledger.Serial(serial)) << serial << " is in a cable but not in the ledger";
        }
    }
    EXPECT_GE(kills, rounds * 7 / 8 - 1);

    // The end: a last run settles what the killed ones left; every cable's number is either programmed
    // or void, and the test agrees with the ledger cable by cable.
    pid = start();
    waitpid(pid, &raw, 0);
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.OpenExisting(Ledger()));
    int programmed = 0;
    for (const auto &[serial, cables] : cablesOf) {
        const auto entry = ledger.Serial(serial);
        ASSERT_TRUE(entry);
        EXPECT_NE(entry->state, "reserved") << serial;
    }
    for (int k = 1; k <= 16; ++k)
        if (const auto entry = ledger.Serial(serialOf(k)); entry && entry->state == "programmed")
            ++programmed;
    const CommandResult test = Mfgkit("test '" + image + "' --expect 16");
    EXPECT_NE(test.out.find("16 cable(s): " + std::to_string(programmed) + " passed"), std::string::npos)
        << test.out << RunCommand("tail -40 '" + log + "'").out;
}

} // namespace
