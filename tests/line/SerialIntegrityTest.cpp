// A serial number never reaches two cables: a failed read-back voids its number and the test catches
// the cable, one numbering run per station, a killed run's reservations found at the next start, and
// ledgers that cannot take records stop the run before any cable is written.

#include "LineRig.h"
#include "StationLock.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

// Numbers "S0001", "S0002", ... with the counter in memory, shared across runs like a station's store.
struct Counter {
    int saved = 0;
    int spends = 0;
};

struct CountingSource : line::SerialSource {
    explicit CountingSource(Counter &c) : m_c(c) {}
    bool Begin(std::string *) override { return true; }
    std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *) override
    {
        ++m_c.spends;
        std::vector<std::string> numbers;
        for (std::size_t i = 0; i < count; ++i) {
            char text[16];
            std::snprintf(text, sizeof text, "S%04d", ++m_c.saved);
            numbers.push_back(text);
        }
        return numbers;
    }
    Counter &m_c;
};

struct FourCables : LineRig {
    std::vector<bench::CableId> cables;
    Counter counter;
    FourCables()
    {
        const bench::DeviceId root = bench.AddController(8);
        for (int k = 0; k < 4; ++k) {
            cables.push_back(bench.AddCable());
            bench.PlugSide(cables.back(), bench::Side::A, {root, 2 * k + 1});
            bench.PlugSide(cables.back(), bench::Side::B, {root, 2 * k + 2});
        }
        env.needDisplay = false;
        env.numwell = [this] { return std::make_unique<CountingSource>(counter); };
    }
    bool AllBlank() const
    {
        for (bench::CableId c : cables)
            if (bench.Eeprom(c) != bench::CableSpec::BlankEeprom())
                return false;
        return true;
    }
};

TEST(SerialIntegrity, AFailedReadBackVoidsItsNumberAndTheTestCatchesEveryBadSerial)
{
    FourCables rig;
    const std::string image = rig.WriteImage();
    bench::CableFaults flip;
    flip.flippedEepromBit = 1300;
    rig.bench.SetCableFaults(rig.cables[1], flip);
    MfgkitResult r = rig.Run({"program", image, "--serial", "numwell"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(rig.counter.spends, 1);
    EXPECT_EQ(rig.counter.saved, 4);
    EXPECT_NE(LineRig::LineOf(r.out, rig.CableName(rig.cables[1])).find("FAIL  Verify configuration"), std::string::npos)
        << r.out;

    // The failed cable's number is void and in no other cable; the others carry their own.
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.OpenExisting(rig.LedgerPath()));
    std::set<std::string> carried;
    for (bench::CableId c : rig.cables)
        carried.insert(rig.SerialIn(c));
    const auto voided = ledger.VoidSerials("");
    ASSERT_EQ(voided.size(), 1u);
    EXPECT_EQ(voided[0].devices, rig.CableName(rig.cables[1]));
    EXPECT_EQ(voided[0].reason.rfind("Verify configuration", 0), 0u) << voided[0].reason;
    for (bench::CableId c : {rig.cables[0], rig.cables[2], rig.cables[3]}) {
        EXPECT_NE(rig.SerialIn(c), voided[0].serial);
        EXPECT_EQ(ledger.Serial(rig.SerialIn(c))->state, "programmed");
    }

    // The fault gone, the test: the three good cables pass; the failed one does not.
    rig.bench.SetCableFaults(rig.cables[1], {});
    r = rig.Run({"test", image});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("4 cable(s): 3 passed, 1 failed"), std::string::npos) << r.out;
    EXPECT_EQ(LineRig::LineOf(r.out, rig.CableName(rig.cables[1])).find("PASS"), std::string::npos) << r.out;

    // A cable given another's number, and one with a number this station never issued.
    rig.bench.SetEeprom(rig.cables[2], rig.bench.Eeprom(rig.cables[0]));
    rig.bench.SetEeprom(rig.cables[3], bench::ConfiguredEeprom(LineRig::kVid, LineRig::kPid, "Veltrona",
                                                               "USB Bridge Cable", std::string("S9999")));
    r = rig.Run({"test", image});
    EXPECT_NE(LineRig::LineOf(r.out, rig.CableName(rig.cables[0])).find("is carried by another cable of this run"),
              std::string::npos)
        << r.out;
    EXPECT_NE(LineRig::LineOf(r.out, rig.CableName(rig.cables[3])).find("S9999 was never programmed on this station"),
              std::string::npos)
        << r.out;
    r = rig.Run({"test", image, "--any-serial"});
    EXPECT_NE(LineRig::LineOf(r.out, rig.CableName(rig.cables[3])).find("PASS"), std::string::npos) << r.out;
    EXPECT_EQ(LineRig::LineOf(r.out, rig.CableName(rig.cables[2])).find("PASS"), std::string::npos) << r.out;

    // Records and the report show the void number.
    r = rig.Run({"records", "--void", "--csv"});
    EXPECT_NE(r.out.find(voided[0].serial + ",void,"), std::string::npos) << r.out;
    EXPECT_NE(rig.Run({"report"}).out.find("Verify configuration"), std::string::npos);

    // An image with the serial number off cannot be programmed with numbers.
    const std::string off = rig.WriteImage(bench::ConfiguredEeprom(LineRig::kVid, LineRig::kPid, "Veltrona",
                                                                   "USB Bridge Cable", std::nullopt),
                                           0x7730, 0x0100, "off.eep");
    r = rig.Run({"program", off, "--serial", "numwell"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Enable S/N"), std::string::npos) << r.err;
    EXPECT_EQ(rig.counter.saved, 4);
}

// A child process that holds `path` locked until it is killed.
pid_t HoldLock(const std::string &path)
{
    const char *argv[] = {"flock", path.c_str(), "sleep", "60", nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    posix_spawnp(&pid, "flock", nullptr, &attr, const_cast<char **>(argv), environ);
    posix_spawnattr_destroy(&attr);
    for (int i = 0; i < 200; ++i) { // until the lock is really held
        line::StationLock probe;
        if (!probe.TryLock(nullptr))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

TEST(SerialIntegrity, OneNumberingRunPerStationAndAKilledRunIsFoundAtTheNextStart)
{
    FourCables rig;
    const std::string image = rig.WriteImage();

    // Another run holds the station: refused at once, touching nothing; a plain program still runs.
    const pid_t holder = HoldLock(line::StationLock::Path());
    ASSERT_GT(holder, 0);
    for (const char *serial : {"numwell", "FIXED-1"}) {
        const MfgkitResult r = rig.Run({"program", image, "--serial", serial});
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("another numbering run holds this station"), std::string::npos) << r.err;
        EXPECT_TRUE(rig.AllBlank());
        EXPECT_TRUE(rig.Records().empty());
        EXPECT_EQ(rig.counter.saved, 0);
    }
    // The holder killed: its lock does not block.
    kill(-holder, SIGKILL); // flock and the command it runs
    waitpid(holder, nullptr, 0);
    for (int i = 0; i < 500; ++i) { // the kernel drops the lock once the last of them is gone
        line::StationLock probe;
        if (probe.TryLock(nullptr))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(rig.Run({"program", image, "--serial", "numwell"}).status, 0);
    EXPECT_EQ(rig.counter.saved, 4);

    // A run killed after its reservations: the next start makes them void and lists the cables.
    {
        line::StationLedger ledger;
        ASSERT_TRUE(ledger.Open(rig.LedgerPath()));
        const auto run = ledger.BeginRun("program", "mfgkit");
        ASSERT_TRUE(run);
        std::vector<std::string> held;
        ASSERT_TRUE(ledger.ReserveSerials(*run, {{"S0005", "HOSTLNK-1+HOSTLNK-2"}, {"S0006", "HOSTLNK-3+HOSTLNK-4"}},
                                          &held));
        EXPECT_TRUE(held.empty());
        // A number reserved already is never reserved twice.
        ASSERT_TRUE(ledger.ReserveSerials(*run, {{"S0001", "HOSTLNK-9+HOSTLNK-10"}}, &held));
        EXPECT_EQ(held, std::vector<std::string>{"S0001"});
    }
    rig.counter.saved = 6;
    MfgkitResult r = rig.Run({"test", image});
    EXPECT_NE(r.out.find("An earlier run ended before the verdicts of 2 cable(s)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HOSTLNK-3+HOSTLNK-4"), std::string::npos) << r.out;
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.OpenExisting(rig.LedgerPath()));
    EXPECT_EQ(ledger.Serial("S0006")->state, "void");
    EXPECT_EQ(ledger.Serial("S0006")->reason, "the run ended before this cable's verdict");
    r = rig.Run({"test", image});
    EXPECT_EQ(r.out.find("An earlier run"), std::string::npos) << r.out; // said once

    // A counter set back: its numbers are held by the ledger, so no cable is written with them.
    rig.counter.saved = 0;
    r = rig.Run({"program", image, "--serial", "numwell"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("was issued by this station before (its counter was set back)"), std::string::npos) << r.out;
}

// A small file system of its own (root only): filled up, then read-only.
struct SmallDisk {
    std::string dir;
    bool mounted = false;
    explicit SmallDisk(const std::string &at) : dir(at)
    {
        mkdir(dir.c_str(), 0700);
        mounted = std::system(("mount -t tmpfs -o size=512k tmpfs '" + dir + "' 2>/dev/null").c_str()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            std::system(("umount '" + dir + "'").c_str());
    }
    void Fill() const
    {
        std::ofstream fill(dir + "/fill", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 1024 && fill.write(block.data(), block.size()); ++i) {
        }
    }
    bool ReadOnly() const { return std::system(("mount -o remount,ro '" + dir + "'").c_str()) == 0; }
};

TEST(SerialIntegrity, LedgersThatCannotTakeRecordsStopTheRunBeforeAnyCableIsWritten)
{
    FourCables rig;
    const std::string image = rig.WriteImage();

    // Locked by another process for longer than the ledger waits.
    {
        line::StationLedger create;
        ASSERT_TRUE(create.Open(rig.LedgerPath()));
    }
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(rig.LedgerPath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    MfgkitResult r = rig.Run({"program", image, "--serial", "numwell"});
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("no cable is touched"), std::string::npos) << r.err;
    EXPECT_TRUE(rig.AllBlank());
    EXPECT_EQ(rig.counter.saved, 0);

    SmallDisk disk(rig.dir.file("disk"));
    if (!disk.mounted)
        GTEST_SKIP() << "mounting a small file system needs root";
    rig.env.ledgerPath = disk.dir + "/ledger.db";
    ASSERT_EQ(rig.Run({"program", image, "--serial", "numwell"}).status, 0);
    ASSERT_EQ(rig.counter.saved, 4);
    for (bench::CableId c : rig.cables)
        rig.bench.SetEeprom(c, bench::CableSpec::BlankEeprom());

    disk.Fill();
    r = rig.Run({"program", image, "--serial", "numwell"});
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    EXPECT_TRUE(rig.AllBlank()) << r.out << r.err;
    EXPECT_EQ(rig.counter.saved, 4);

    ASSERT_TRUE(disk.ReadOnly());
    r = rig.Run({"program", image, "--serial", "numwell"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("cannot be written"), std::string::npos) << r.err;
    EXPECT_TRUE(rig.AllBlank());
    EXPECT_EQ(rig.counter.saved, 4);
    EXPECT_EQ(rig.Run({"test", image}).status, 4);
}

} // namespace
