// mfgkit itself with a line server, on the in-process bench: numbers reserved before the write, a
// station whose counter repeats another's numbers refused cable by cable, the line's records and
// report, and a run that cannot reach the server.

#include "LineRig.h"
#include "PgServer.h"
#include "Station.h"

#include <gtest/gtest.h>

#include <QDate>

namespace {

// Numbers as Numwell forms them for one station; `saved` is the counter, saved past every number spent.
class CountingSerials : public line::SerialSource {
public:
    CountingSerials(int station, int &saved) : m_station(station), m_saved(saved) {}
    bool Begin(std::string *) override { return true; }
    std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *) override {
        std::vector<std::string> numbers;
        for (std::size_t i = 0; i < count; ++i) {
            char text[32];
            std::snprintf(text, sizeof text, "%X%s%05d", m_station,
                          QDate::currentDate().toString("yyMMdd").toStdString().c_str(), ++m_saved);
            numbers.push_back(text);
        }
        return numbers;
    }
    int Station() const override { return m_station; }

private:
    int m_station;
    int &m_saved;
};

struct LineRun : LineRig {
    explicit LineRun(const std::string &conninfo) {
        setenv("QT7730_LEDGER", conninfo.c_str(), 1);
        env.needDisplay = false;
        root = bench.AddController(8);
    }
    ~LineRun() { unsetenv("QT7730_LEDGER"); }
    std::vector<bench::CableId> Plug(int n) {
        std::vector<bench::CableId> cables;
        for (int i = 0; i < n; ++i) {
            cables.push_back(bench.AddCable());
            bench.PlugSide(cables.back(), bench::Side::A, {root, 2 * i + 1});
            bench.PlugSide(cables.back(), bench::Side::B, {root, 2 * i + 2});
        }
        return cables;
    }
    void Unplug(const std::vector<bench::CableId> &cables) {
        for (auto c : cables) {
            bench.UnplugSide(c, bench::Side::A);
            bench.UnplugSide(c, bench::Side::B);
        }
    }
    MfgkitResult Program(int station, int &saved) {
        env.numwell = [station, &saved] { return std::make_unique<CountingSerials>(station, saved); };
        return Run({"program", WriteImage(), "--serial", "numwell"});
    }
    bench::DeviceId root;
};

TEST(MfgkitLine, SerialsReservedAcrossTheLineRecordsAndReportFromTheServer) {
    PgServer server;
    LineRun rig(server.Conninfo());
    EXPECT_EQ(rig.Run({"ledger", "init"}).status, 0);
    const std::string host = line::CurrentStation().host;
    const std::string today = QDate::currentDate().toString(Qt::ISODate).toStdString();

    // The first station programs four cables; their numbers are reserved, written and confirmed.
    int savedA = 0;
    auto first = rig.Plug(4);
    const MfgkitResult a = rig.Program(10, savedA);
    EXPECT_EQ(a.status, 0) << a.out << a.err;
    EXPECT_EQ(savedA, 4);
    EXPECT_EQ(a.err, "");
    std::set<std::string> written;
    for (auto c : first) written.insert(rig.SerialIn(c));
    EXPECT_EQ(written.size(), 4u);

    // A station with the same number whose counter starts over: every number it forms is held, so no
    // cable is written and each is reported with the holder. The numbers are spent all the same.
    rig.Unplug(first);
    auto second = rig.Plug(2);
    int savedB = 0;
    const MfgkitResult b = rig.Program(10, savedB);
    EXPECT_EQ(b.status, 1) << b.out << b.err;
    EXPECT_EQ(savedB, 2);
    const std::string firstSerial = *written.begin();
    EXPECT_NE(b.out.find("serial " + firstSerial + " already issued by station 10 (host " + host + ") on " + today),
              std::string::npos) << b.out;
    for (auto c : second) EXPECT_EQ(written.count(rig.SerialIn(c)), 0u) << "a held number was written into a cable";

    // Once the counter is past the numbers in use, the station goes on.
    savedB = 4;
    const MfgkitResult c2 = rig.Program(10, savedB);
    EXPECT_EQ(c2.status, 0) << c2.out << c2.err;
    EXPECT_EQ(savedB, 6);

    // A cable that fails its write: its number is void on the line too, with the failing step.
    bench::SideFaults failing;
    failing.failEepromBlock = 0;
    rig.bench.SetSideFaults(second[1], bench::Side::A, failing);
    rig.bench.SetSideFaults(second[1], bench::Side::B, failing);
    EXPECT_EQ(rig.Program(10, savedB).status, 1);
    EXPECT_EQ(savedB, 8);
    rig.bench.SetSideFaults(second[1], bench::Side::A, {});
    rig.bench.SetSideFaults(second[1], bench::Side::B, {});

    // Another station ledger (a second PC, a copied ledger) with the same station number: its numbers
    // would be this station's; it is told who holds the number, and writes no cable.
    const std::string ownLedger = rig.env.ledgerPath;
    rig.env.ledgerPath = rig.dir.file("other-pc.db");
    int savedC = 100;
    const MfgkitResult clone = rig.Program(10, savedC);
    EXPECT_EQ(clone.status, 1) << clone.out << clone.err;
    const std::string inUse = "station number 10 is in use by host " + host + " since " + today +
                              "; set another station number";
    EXPECT_NE(clone.err.find(inUse), std::string::npos) << clone.err;
    EXPECT_EQ(clone.err.find(inUse), clone.err.rfind(inUse)) << "said once";
    for (auto c : second) {
        const std::string serial = rig.SerialIn(c);  // the cable that failed its write holds none
        EXPECT_TRUE(serial.size() < 12 || serial.substr(7) < "00100") << "a cable was written: " << serial;
    }
    rig.env.ledgerPath = ownLedger;

    // The line's view of it.
    const MfgkitResult records = rig.Run({"records", "--line", "--csv"});
    EXPECT_EQ(records.status, 0) << records.err;
    EXPECT_EQ(std::count(records.out.begin(), records.out.end(), '\n'), 1 + 4 + 2 + 2 + 2) << records.out;
    const MfgkitResult report = rig.Run({"report", "--line"});
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_NE(report.out.find("10 (" + host + ")"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("more than one station: 0"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("leased and never confirmed (void), per day: 1\n  " + today + "      1  Write EEPROM\n"),
              std::string::npos) << report.out;
    const MfgkitResult status = rig.Run({"ledger", "status"});
    EXPECT_EQ(status.status, 0) << status.out;
    EXPECT_NE(status.out.find("records on the server: 10\nwaiting in this station's outbox: 0\n"), std::string::npos)
        << status.out;

    // The server out of reach: the cables are programmed, the operator is told once, the records wait.
    setenv("QT7730_LEDGER", server.Conninfo("wrong").c_str(), 1);
    rig.Unplug(second);
    rig.Plug(3);
    const MfgkitResult off = rig.Program(10, savedB);
    EXPECT_EQ(off.status, 0) << off.out << off.err;
    EXPECT_EQ(savedB, 11);
    EXPECT_EQ(off.err.find("checked on this station only"), off.err.rfind("checked on this station only")) << off.err;
    EXPECT_NE(off.err.find("3 record(s) wait in this station's outbox"), std::string::npos) << off.err;
    setenv("QT7730_LEDGER", server.Conninfo().c_str(), 1);
    const MfgkitResult push = rig.Run({"ledger", "push"});
    EXPECT_EQ(push.out, "3 record(s) sent to the line server\n") << push.err;

    // A line server string that is none is a usage error before any cable is touched.
    setenv("QT7730_LEDGER", "lineserver", 1);
    EXPECT_EQ(rig.Program(10, savedB).status, 2);
    EXPECT_EQ(savedB, 11);
}

}  // namespace
