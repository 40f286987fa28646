// The station's ledger as its writers and readers use it: records survive reopening whole, sequence
// numbers only grow, concurrent writers lose nothing, hostile files are refused with a reason.

#include "StationLedger.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

line::LedgerRecord Sample(const std::string &serial, const std::string &time, bool pass)
{
    line::LedgerRecord r;
    r.kind = line::LedgerRecord::kTest;
    r.tool = "mfgkit";
    r.timeUtc = time;
    r.station = 3;
    r.host = "line-pc";
    r.serial = serial;
    r.imageSha256 = std::string(64, 'a');
    r.chipModel = 0x7730;
    r.chipVersion = 0x0100;
    r.devices = {"\\\\.\\HOSTLNK-1", "\\\\.\\HOSTLNK-2"};
    r.steps = {{"Check chip", "OK"}, {"Verify configuration", pass ? "OK" : "FAIL"}};
    if (!pass)
        r.differing = {{"vendor ID", "0C5E", "1234"}, {"product text", "Cable \"A\"\n", "B"}};
    r.verdict = pass ? line::LedgerRecord::kPass : line::LedgerRecord::kFail;
    r.durationMs = 1234;
    return r;
}

int UserVersion(const std::string &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
    sqlite3_step(s);
    const int v = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
}

void RunSql(const std::string &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(StationLedger, RecordsSurviveReopeningWholeAndSequenceNumbersNeverRepeat)
{
    TempDir dir;
    const std::string path = dir.file("sub/folder/ledger.db"); // the folder is created
    std::int64_t firstSeq = 0, lastSeq = 0;
    {
        line::StationLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open(path, &error)) << error;
        auto a = ledger.Append(Sample("0261208000001", "2026-12-07T10:00:00.000Z", true), &error);
        auto b = ledger.Append(Sample("0261208000002", "2026-12-08T10:00:00.000Z", false), &error);
        ASSERT_TRUE(a && b) << error;
        EXPECT_LT(*a, *b);
        firstSeq = *a;
        lastSeq = *b;
    }
    EXPECT_EQ(UserVersion(path), line::kLedgerSchemaVersion);

    // Removing the newest row must not hand its number out again.
    RunSql(path, ("DELETE FROM records WHERE seq = " + std::to_string(lastSeq)).c_str());
    line::StationLedger ledger;
    ASSERT_TRUE(ledger.OpenExisting(path));
    auto c = ledger.Append(Sample("0261208000003", "2026-12-08T11:00:00.000Z", false));
    ASSERT_TRUE(c);
    EXPECT_GT(*c, lastSeq);

    const auto all = ledger.Query({});
    ASSERT_EQ(all.size(), 2u);
    line::LedgerRecord expected = Sample("0261208000003", "2026-12-08T11:00:00.000Z", false);
    expected.seq = *c;
    EXPECT_EQ(all[1], expected); // every field, quotes and line breaks included
    EXPECT_EQ(all[1].FailedStep(), "Verify configuration");
    EXPECT_EQ(all[0].seq, firstSeq);

    EXPECT_EQ(ledger.Query({"2026-12-08", "", ""}).size(), 1u);
    EXPECT_EQ(ledger.Query({"", "0261208000001", ""}).size(), 1u);
    EXPECT_EQ(ledger.Query({"", "", line::LedgerRecord::kProgram}).size(), 0u);

    // The outbox hands out what was not sent, oldest first, and forgets what was marked.
    auto unsent = ledger.Unsent(10);
    ASSERT_EQ(unsent.size(), 2u);
    EXPECT_EQ(unsent[0].seq, firstSeq);
    ASSERT_TRUE(ledger.MarkSent({firstSeq}));
    unsent = ledger.Unsent(10);
    ASSERT_EQ(unsent.size(), 1u);
    EXPECT_EQ(unsent[0].seq, *c);

    // A row whose body is damaged is skipped and counted, not fatal.
    RunSql(path, ("UPDATE records SET body = 'not json' WHERE seq = " + std::to_string(*c)).c_str());
    int unreadable = 0;
    EXPECT_EQ(ledger.Query({}, nullptr, &unreadable).size(), 1u);
    EXPECT_EQ(unreadable, 1);
}

TEST(StationLedger, ConcurrentWritersInThreadsAndConnectionsLoseNothing)
{
    TempDir dir;
    const std::string path = dir.file("ledger.db");
    line::StationLedger shared;
    ASSERT_TRUE(shared.Open(path));
    std::vector<std::thread> threads;
    std::mutex seqMutex;
    std::set<std::int64_t> seqs;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            line::StationLedger own; // a second connection, as another program would have
            ASSERT_TRUE(own.Open(path));
            for (int i = 0; i < 10; ++i) {
                line::StationLedger &target = i % 2 ? own : shared;
                std::string serial = "s";
                serial.append(std::to_string(t)).append("-").append(std::to_string(i));
                auto seq = target.Append(Sample(serial, "2026-12-08T10:00:00.000Z", true));
                ASSERT_TRUE(seq);
                std::lock_guard lock(seqMutex);
                seqs.insert(*seq);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(seqs.size(), 40u);
    EXPECT_EQ(shared.Query({}).size(), 40u);
}

TEST(StationLedger, HostileFilesAreRefusedWithAReason)
{
    TempDir dir;
    line::StationLedger ledger;
    std::string error;

    EXPECT_FALSE(ledger.Open(dir.path().string(), &error)); // a folder
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

#ifndef _WIN32
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ledger.Open(fifo, &error)); // would otherwise wait for ever
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
#endif

    const std::string text = dir.write("text.db", std::vector<uint8_t>(5000, 'x'));
    EXPECT_FALSE(ledger.Open(text, &error));
    EXPECT_FALSE(error.empty());

    const std::string other = dir.file("other.db");
    RunSql(other, "CREATE TABLE settings(x)");
    EXPECT_FALSE(ledger.Open(other, &error));
    EXPECT_NE(error.find("not a ledger"), std::string::npos) << error;

    const std::string newer = dir.file("newer.db");
    ASSERT_TRUE(ledger.Open(newer));
    ledger.Close();
    RunSql(newer, "PRAGMA user_version = 99");
    EXPECT_FALSE(ledger.Open(newer, &error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;

    EXPECT_FALSE(ledger.OpenExisting(dir.file("missing.db"), &error));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));

    // A closed ledger refuses appends instead of claiming them.
    EXPECT_FALSE(ledger.Append(Sample("x", "2026-12-08T10:00:00.000Z", true), &error));

    // A ledger replaced by another file while it is open takes no more records. (Windows does not
    // let a file SQLite holds open be replaced.)
    const std::string replaced = dir.file("replaced.db");
    ASSERT_TRUE(ledger.Open(replaced));
    ASSERT_TRUE(ledger.Append(Sample("x", "2026-12-08T10:00:00.000Z", true), &error)) << error;
    {
        line::StationLedger other;
        ASSERT_TRUE(other.Open(dir.file("other-ledger.db")));
    }
    std::error_code refused;
    std::filesystem::rename(dir.file("other-ledger.db"), replaced, refused);
    if (!refused) {
        EXPECT_FALSE(ledger.Append(Sample("y", "2026-12-08T10:00:00.000Z", true), &error));
        EXPECT_NE(error.find("was replaced by another file"), std::string::npos) << error;
    }
    ledger.Close();

    // A read-only ledger file: the append fails, and says so.
    const std::string readOnly = dir.file("ro.db");
    ASSERT_TRUE(ledger.Open(readOnly));
    ledger.Close();
#ifndef _WIN32
    if (::geteuid() != 0) {
        ::chmod(readOnly.c_str(), 0444);
        if (ledger.Open(readOnly, &error)) {
            EXPECT_FALSE(ledger.Append(Sample("x", "2026-12-08T10:00:00.000Z", true), &error));
        }
    }
#endif
}

} // namespace
