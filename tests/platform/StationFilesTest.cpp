// The station's shared files: whoever creates the settings store, the ledger or the driver INF first,
// whatever their umask, leaves them writable for the other operators of the kit's group; existing
// files and links are never changed; a database that cannot be written is named; the station's INF
// keeps what it gained and takes in what a newer package brings.

#include "DataDirectory.h"
#include "SharedFiles.h"
#include "SqliteSettingsStore.h"
#include "StartupWarnings.h"
#include "StationCheck.h"
#include "StationLedger.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t ModeOf(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string Contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void Write(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The umask of an operator who never thought about groups, for the length of a test.
class OperatorUmask {
public:
    OperatorUmask() : m_old(::umask(022)) {}
    ~OperatorUmask() { ::umask(m_old); }

private:
    mode_t m_old;
};

line::LedgerRecord ARecord()
{
    line::LedgerRecord r;
    r.kind = line::LedgerRecord::kTest;
    r.tool = "Tamber";
    r.timeUtc = "2026-12-09T10:00:00.000Z";
    r.verdict = line::LedgerRecord::kPass;
    return r;
}

TEST(StationFiles, StoreAndLedgerAreCreatedGroupWritableWithTheirWalAndShm)
{
    TempDir dir;
    OperatorUmask umask;

    const std::string folder = dir.file("var/lib/kit");
    const std::string store = folder + "/settings.db";
    {
        platform::SqliteSettingsStore settings(store);
        auto key = settings.CreateKey("Software\\Veltrona");
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->WriteNumber("Counter", 7));
        ASSERT_TRUE(key->Flush());
        // While the connection is open, SQLite's -wal and -shm exist.
        for (const std::string &file : {store, store + "-wal", store + "-shm"})
            EXPECT_EQ(ModeOf(file), 0664u) << file;
    }
    // Every folder made on the way is shared with the group, so new files inherit the group.
    EXPECT_EQ(ModeOf(dir.file("var")), 02775u);
    EXPECT_EQ(ModeOf(folder), 02775u);

    const std::string ledgerFile = folder + "/ledger.db";
    line::StationLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(ledgerFile, &error)) << error;
    ASSERT_TRUE(ledger.Append(ARecord(), &error)) << error;
    for (const std::string &file : {ledgerFile, ledgerFile + "-wal", ledgerFile + "-shm"})
        EXPECT_EQ(ModeOf(file), 0664u) << file;
    std::string why;
    EXPECT_TRUE(platform::CanWriteSharedDatabase(ledgerFile, &why)) << why;
}

TEST(StationFiles, ExistingFilesAndLinksAreNeverChanged)
{
    TempDir dir;
    OperatorUmask umask;

    const std::string own = dir.file("own.db");
    Write(own, "kept");
    ::chmod(own.c_str(), 0600);
    std::string error;
    EXPECT_TRUE(platform::PrepareSharedFile(own, &error)) << error;
    EXPECT_EQ(ModeOf(own), 0600u);
    EXPECT_EQ(Contents(own), "kept");

    // A link to a file: the file behind it keeps its mode and contents.
    const std::string linked = dir.file("linked.db");
    ASSERT_EQ(::symlink(own.c_str(), linked.c_str()), 0);
    EXPECT_TRUE(platform::PrepareSharedFile(linked, &error)) << error;
    EXPECT_EQ(ModeOf(own), 0600u);
    EXPECT_EQ(Contents(own), "kept");

    // A link to nothing is refused: opening it would create its target somewhere else.
    const std::string dangling = dir.file("dangling.db");
    ASSERT_EQ(::symlink(dir.file("elsewhere.db").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(platform::PrepareSharedFile(dangling, &error));
    EXPECT_NE(error.find("dangling.db"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere.db")));
    line::StationLedger ledger;
    EXPECT_FALSE(ledger.Open(dangling, &error));
    EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere.db")));

    // A whole-file replacement is group-writable and leaves nothing beside it.
    ASSERT_TRUE(platform::ReplaceSharedFile(own, "new text\n", &error)) << error;
    EXPECT_EQ(Contents(own), "new text\n");
    EXPECT_EQ(ModeOf(own), 0664u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
}

TEST(StationFiles, ADatabaseThisUserCannotWriteIsNamed)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write every file";
    TempDir dir;
    const char *testLedger = std::getenv("QT7730_LEDGER_DB");
    const std::string ledgerOfTests = testLedger ? testLedger : dir.file("unused.db");
    const std::string db = dir.file("ledger.db");
    std::string why;
    // Nothing there yet, in a folder that can be written: it can be created.
    EXPECT_TRUE(platform::CanWriteSharedDatabase(dir.file("new/ledger.db"), &why)) << why;

    // What an earlier operator's run left behind with a plain umask.
    Write(db, "");
    Write(db + "-wal", "");
    ::chmod((db + "-wal").c_str(), 0444);
    EXPECT_FALSE(platform::CanWriteSharedDatabase(db, &why));
    EXPECT_NE(why.find("ledger.db-wal"), std::string::npos) << why;
    ::chmod(db.c_str(), 0444);
    EXPECT_FALSE(platform::CanWriteSharedDatabase(db, &why));
    EXPECT_NE(why.find("ledger.db cannot"), std::string::npos) << why;

    // A folder of someone else's: no -wal could be made there.
    const std::string locked = dir.file("locked");
    std::filesystem::create_directory(locked);
    ::chmod(locked.c_str(), 0555);
    EXPECT_FALSE(platform::CanWriteSharedDatabase(locked + "/ledger.db", &why));
    EXPECT_NE(why.find("locked"), std::string::npos) << why;
    std::string what;
    EXPECT_FALSE(platform::CanWriteSharedDatabase(locked + "/deeper/ledger.db", &why, &what));
    EXPECT_EQ(what, locked);
    std::string error;
    line::StationLedger ledger;
    EXPECT_FALSE(ledger.Open(locked + "/deeper/ledger.db", &error));
    EXPECT_NE(error.find("locked"), std::string::npos) << error;

    // At start, the programs name what this user cannot write, and Quillon what to do about it.
    const std::string store = dir.file("settings.db");
    ::setenv("QT7730_SETTINGS_DB", store.c_str(), 1);
    ::setenv("QT7730_LEDGER_DB", (locked + "/ledger.db").c_str(), 1);
    auto problems = line::StationProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].what, line::StationProblem::What::Ledger);
    EXPECT_EQ(problems[0].path, locked);
    const std::string said = editor::StartupWarnings("The virtual bench is not running.");
    EXPECT_EQ(said.rfind("The virtual bench is not running.", 0), 0u) << said;
    EXPECT_NE(said.find("cannot be recorded in the station's ledger (the folder " + locked), std::string::npos) << said;
    EXPECT_NE(said.find("group qt7730-mfg"), std::string::npos) << said;
    Write(store, "");
    ::chmod(store.c_str(), 0444);
    problems = line::StationProblems();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].what, line::StationProblem::What::SettingsStore);
    ::chmod(locked.c_str(), 0755);
    ::chmod(store.c_str(), 0644);
    EXPECT_TRUE(line::StationProblems().empty());
    EXPECT_EQ(editor::StartupWarnings(""), "");
    ::unsetenv("QT7730_SETTINGS_DB");
    ::setenv("QT7730_LEDGER_DB", ledgerOfTests.c_str(), 1);
}

TEST(StationInf, SeededFromThePackageThenKeepsItsOwnLinesAndTakesInNewDefaults)
{
    TempDir dir;
    OperatorUmask umask;
    const std::string package = dir.file("package.inf");
    const std::string station = dir.file("station/INF/qt7730.inf");
    const std::string v1 = "; driver\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[Veltrona]\r\n"
                           "%Dev%=Dev, USB\\VID_0C5E&PID_7730\r\n\r\n[Strings]\r\nMfgName=\"Veltrona\"\r\n";
    Write(package, v1);
    std::string error;
    ASSERT_TRUE(platform::MergeDefaultInf(package, station, &error)) << error;
    EXPECT_EQ(Contents(station), v1);
    EXPECT_EQ(ModeOf(station), 0664u);
    EXPECT_EQ(ModeOf(dir.file("station/INF")), 02775u);

    // Quillon taught the station a new ID; then a newer package brings a default ID and a section.
    std::string taught = v1;
    taught.insert(taught.find("\r\n\r\n[Strings]"), "\r\n%Dev%=Dev, USB\\VID_1234&PID_ABCD");
    Write(station, taught);
    std::string v2 = v1;
    v2.insert(v2.find("\r\n\r\n[Strings]"), "\r\n%Dev%=Dev, USB\\VID_0C5E&PID_7702");
    v2 += "[Extra]\r\nKey=1\r\n";
    Write(package, v2);
    ASSERT_TRUE(platform::MergeDefaultInf(package, station, &error)) << error;
    const std::string merged = Contents(station);
    EXPECT_EQ(merged, "; driver\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[Veltrona]\r\n"
                      "%Dev%=Dev, USB\\VID_0C5E&PID_7730\r\n%Dev%=Dev, USB\\VID_1234&PID_ABCD\r\n"
                      "%Dev%=Dev, USB\\VID_0C5E&PID_7702\r\n\r\n[Strings]\r\nMfgName=\"Veltrona\"\r\n"
                      "\r\n[Extra]\r\nKey=1\r\n");

    // Nothing new: the file is not written again.
    const auto before = std::filesystem::last_write_time(station);
    ::chmod(station.c_str(), 0644);
    ASSERT_TRUE(platform::MergeDefaultInf(package, station, &error)) << error;
    EXPECT_EQ(Contents(station), merged);
    EXPECT_EQ(ModeOf(station), 0644u);
    EXPECT_EQ(std::filesystem::last_write_time(station), before);

    // A package copy that cannot be read changes nothing.
    EXPECT_FALSE(platform::MergeDefaultInf(dir.file("missing.inf"), station, &error));
    EXPECT_NE(error.find("missing.inf"), std::string::npos) << error;
    EXPECT_EQ(Contents(station), merged);
}

} // namespace
