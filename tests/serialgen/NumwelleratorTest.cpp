// CNumwellerator against a temporary store and a clock the test sets.

#include <chrono>
#include <cstring>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "NumwellFixture.h"

namespace {

constexpr std::int32_t kDay19May2006 = 869;

using NumwellTest = NumwellFixture;

TEST_F(NumwellTest, IssuesTheNineteenthOfMay2006ExampleAndSavesItsState)
{
    StoreState(10, kDay19May2006 - 1, 41, "A06051800041");
    ModalScript script;
    QString dateText;
    script.Then(AcceptDate(&dateText));

    NumwellProbe sn;
    ASSERT_EQ(sn.Initialize(), 1);
    EXPECT_EQ(script.Seen(), QStringList{QStringLiteral("Date")}); // a stored station is never asked for
    EXPECT_STREQ(sn.GetSN(), "A06051800041");                     // the last saved number, not a new one
    EXPECT_TRUE(dateText.startsWith(QStringLiteral("Today is May 19, 2006.\n")));

    EXPECT_EQ(numwell::DayNumber(m_now, sn.m_timeBase), kDay19May2006);
    EXPECT_EQ(sn.IncreaseSN(), 1);
    EXPECT_STREQ(sn.GetSN(), "A06051900001");
    ASSERT_EQ(sn.Save(), 1);
    EXPECT_EQ(StoredNumber(numwell::kValueLastDate), 869u);
    EXPECT_EQ(StoredNumber(numwell::kValueLastSN), 1u);
    EXPECT_EQ(Stored(numwell::kValueLastSNText), std::string("A06051900001") + std::string(20, '\0'));
}

TEST_F(NumwellTest, CountsOnWithinADayAndRestartsOnALaterDay)
{
    NumwellProbe sn;
    sn.m_nStationID = 3;
    sn.m_nLastDate = kDay19May2006;
    sn.m_nLastSN = 7;
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "306051900008");
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "306051900009");

    SetTime(m_now + 86400);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "306052000001");
    EXPECT_EQ(sn.m_nLastDate, kDay19May2006 + 1);

    // A clock set back after that continues the later day's run instead of restarting.
    SetTime(m_now - 86400);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "306051900002");
}

TEST_F(NumwellTest, CounterRunsPastFiveDigitsAndStationFifteenIsF)
{
    NumwellProbe sn;
    sn.m_nStationID = 15;
    sn.m_nLastDate = kDay19May2006;
    sn.m_nLastSN = 99999;
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "F060519100000");
    EXPECT_EQ(std::strlen(sn.GetSN()), 13u);
}

TEST_F(NumwellTest, DayTurnsOnWholeDaysFromTheBaseInstant)
{
    NumwellProbe sn;
    sn.m_nStationID = 1;
    const std::int64_t base = sn.m_timeBase;
    EXPECT_EQ(base, LocalTime(2004, 1, 1, 0, 0, 0));

    // Winter: whole days from the base fall on local midnight.
    const std::int64_t feb2 = base + 32 * 86400;
    EXPECT_EQ(feb2, LocalTime(2004, 2, 2, 0, 0, 0));
    SetTime(feb2 - 1);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "104020100001");
    SetTime(feb2);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "104020200001");

    // Summer: they fall on 01:00 local time. Between midnight and one o'clock the date text is the
    // new one while the day number is still the old one.
    const std::int64_t may19 = base + std::int64_t(kDay19May2006) * 86400;
    EXPECT_EQ(may19, LocalTime(2006, 5, 19, 1, 0, 0));
    SetTime(may19 - 1800); // 00:30, day 868: the first number of the new date
    sn.IncreaseSN();
    EXPECT_EQ(sn.m_nLastDate, kDay19May2006 - 1);
    EXPECT_STREQ(sn.GetSN(), "106051900001");
    SetTime(may19); // day 869 begins; restarting at 1 would issue 106051900001 twice
    sn.IncreaseSN();
    EXPECT_EQ(sn.m_nLastDate, kDay19May2006);
    EXPECT_STREQ(sn.GetSN(), "106051900002");
    SetTime(may19 + 86400 - 3600); // next local midnight: new date, same day number
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "106052000003");
    SetTime(may19 + 86400);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "106052000004");
}

TEST_F(NumwellTest, DaysStayRightAfter2038)
{
    using namespace std::chrono;
    NumwellProbe sn;
    sn.m_nStationID = 2;
    SetTime(LocalTime(2040, 3, 1, 12, 0, 0));
    const auto expected = (sys_days(year(2040) / 3 / 1) - sys_days(year(2004) / 1 / 1)).count();
    EXPECT_EQ(numwell::DayNumber(m_now, sn.m_timeBase), expected);
    sn.IncreaseSN();
    EXPECT_EQ(sn.m_nLastDate, expected);
    EXPECT_STREQ(sn.GetSN(), "240030100001");
}

TEST_F(NumwellTest, StoredDateAfterTodayFailsUntilTheClockCatchesUp)
{
    StoreState(4, kDay19May2006 + 1, 12, "406052000012");
    {
        ModalScript script;
        script.Then(ExpectMessage("The time is incorrect, please correct it."));
        NumwellProbe sn;
        EXPECT_EQ(sn.Initialize(), 0);
        EXPECT_EQ(script.PendingSteps(), 0);
        EXPECT_TRUE(script.Unexpected().isEmpty()) << script.Unexpected().join(';').toStdString();
    }
    SetTime(m_now + 86400);
    ModalScript script;
    script.Then(AcceptDate());
    NumwellProbe sn;
    ASSERT_EQ(sn.Initialize(), 1);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "406052000013");
}

TEST_F(NumwellTest, OverlongOrUnterminatedCounterTextIsNotTaken)
{
    StoreState(5, kDay19May2006, 57, "");
    StoreText(numwell::kValueLastSNText, std::string(33, 'X'));
    {
        ModalScript script;
        script.Then(AcceptDate());
        NumwellProbe sn;
        ASSERT_EQ(sn.Initialize(), 1);
        EXPECT_EQ(sn.m_nLastSN, 0);
        EXPECT_EQ(sn.m_nLastDate, 0);
        sn.IncreaseSN();
        EXPECT_STREQ(sn.GetSN(), "506051900001");
    }
    // Exactly 32 bytes with no terminator is read, but the caller still gets a terminated text.
    StoreText(numwell::kValueLastSNText, std::string(32, 'Y'));
    ModalScript script;
    script.Then(AcceptDate());
    NumwellProbe sn;
    ASSERT_EQ(sn.Initialize(), 1);
    EXPECT_EQ(sn.m_nLastSN, 57);
    EXPECT_EQ(std::string(sn.GetSN()), std::string(31, 'Y'));
}

TEST_F(NumwellTest, TitleBufferIsSharedByAllObjects)
{
    NumwellProbe first;
    NumwellProbe second;
    EXPECT_STREQ(first.GetTitle(), "Veltrona, StationID: 0");
    first.m_nStationID = 3;
    second.m_nStationID = 10;
    char *a = first.GetTitle();
    char *b = second.GetTitle();
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "Veltrona, StationID: 10");
    second.m_nStationID = INT32_MIN; // the longest caption fits
    EXPECT_STREQ(second.GetTitle(), "Veltrona, StationID: -2147483648");
}

TEST_F(NumwellTest, FirstUseOnAMachine)
{
    {
        ModalScript script;
        script.Then(ChooseStation(-1));
        NumwellProbe sn;
        EXPECT_EQ(sn.Initialize(), 0);
        EXPECT_EQ(script.PendingSteps(), 0);
    }
    // Cancelled, but the key was created when the dialog opened; the station was not stored.
    EXPECT_NE(m_store->OpenKey(numwell::SettingsKeyPath(), platform::SettingsAccess::Read), nullptr);
    EXPECT_EQ(Stored(numwell::kValueStationID), std::nullopt);

    ModalScript script;
    script.Then(ChooseStation(12)).Then(AcceptDate());
    NumwellProbe sn;
    ASSERT_EQ(sn.Initialize(), 1);
    EXPECT_EQ(sn.m_nStationID, 12);
    EXPECT_EQ(StoredNumber(numwell::kValueStationID), 12u);
    EXPECT_EQ(Stored(numwell::kValueLastDate), std::nullopt);
    sn.IncreaseSN();
    EXPECT_STREQ(sn.GetSN(), "C06051900001");
    ASSERT_EQ(sn.Save(), 1);
    EXPECT_EQ(StoredNumber(numwell::kValueLastDate), 869u);
    EXPECT_EQ(StoredNumber(numwell::kValueLastSN), 1u);
}

TEST_F(NumwellTest, StationOutsideZeroToFifteenBringsTheListBack)
{
    for (const std::uint32_t stored : {16u, 0xFFFFFFFFu}) {
        StoreNumber(numwell::kValueStationID, stored);
        ModalScript script;
        int selected = -1;
        script.Then(ChooseStation(3, nullptr, &selected)).Then(AcceptDate());
        NumwellProbe sn;
        ASSERT_EQ(sn.Initialize(), 1);
        EXPECT_EQ(selected, 0);
        EXPECT_EQ(StoredNumber(numwell::kValueStationID), 3u);
    }
}

TEST_F(NumwellTest, CopyAndAssignmentCopyAllFortyEightBytes)
{
    NumwellProbe source;
    source.m_nStationID = 0x11223344;
    source.m_nLastDate = 0x55667788;
    source.m_nLastSN = -5;
    std::memset(source.m_szSN, 0xA5, sizeof source.m_szSN);
    source.m_szSN[3] = '\0'; // bytes behind the terminator are copied too

    NumwellProbe copy(source);
    EXPECT_EQ(std::memcmp(&copy, &source, sizeof(CNumwellerator)), 0);
    NumwellProbe assigned;
    CNumwellerator &result = (assigned = source);
    EXPECT_EQ(&result, &assigned);
    EXPECT_EQ(std::memcmp(&assigned, &source, sizeof(CNumwellerator)), 0);
}

// --- The store failing

// Fails the named write, the flush, or the full-access open, and passes everything else through.
class FaultyStore final : public platform::SettingsStore {
public:
    explicit FaultyStore(std::shared_ptr<platform::SettingsStore> inner) : m_inner(std::move(inner)) {}
    std::string failWrite;
    bool failFlush = false;
    bool refuseFullAccess = false;

    std::unique_ptr<platform::SettingsKey> OpenKey(const std::string &path, platform::SettingsAccess access) override
    {
        if (refuseFullAccess && access == platform::SettingsAccess::ReadWrite)
            return nullptr;
        auto key = m_inner->OpenKey(path, access);
        return key ? std::make_unique<Key>(*this, std::move(key)) : nullptr;
    }
    std::unique_ptr<platform::SettingsKey> CreateKey(const std::string &path) override
    {
        return refuseFullAccess ? nullptr : m_inner->CreateKey(path);
    }

private:
    struct Key final : platform::SettingsKey {
        Key(FaultyStore &store, std::unique_ptr<platform::SettingsKey> inner) : store(store), inner(std::move(inner)) {}
        bool Read(const std::string &name, void *buffer, std::uint32_t &length) override
        {
            return inner->Read(name, buffer, length);
        }
        bool WriteNumber(const std::string &name, std::uint32_t value) override
        {
            return name != store.failWrite && inner->WriteNumber(name, value);
        }
        bool WriteText(const std::string &name, const void *data, std::uint32_t length) override
        {
            return name != store.failWrite && inner->WriteText(name, data, length);
        }
        bool Flush() override { return !store.failFlush && inner->Flush(); }
        void Close() override { inner->Close(); }
        FaultyStore &store;
        std::unique_ptr<platform::SettingsKey> inner;
    };
    std::shared_ptr<platform::SettingsStore> m_inner;
};

TEST_F(NumwellTest, SaveWithoutAStoreFailsAndKeepsTheState)
{
    numwell::SetSettingsStore(std::make_shared<platform::SqliteSettingsStore>(m_dir.file("missing/settings.db")));
    NumwellProbe sn;
    sn.m_nStationID = 6;
    sn.IncreaseSN();
    const NumwellProbe before(sn);
    EXPECT_EQ(sn.Save(), 0);
    EXPECT_EQ(std::memcmp(&sn, &before, sizeof(CNumwellerator)), 0);

    // Once the key is there, the same state is stored.
    numwell::SetSettingsStore(m_store);
    StoreNumber(numwell::kValueStationID, 6);
    ASSERT_EQ(sn.Save(), 1);
    EXPECT_EQ(StoredNumber(numwell::kValueLastSN), 1u);
}

TEST_F(NumwellTest, FailedWriteOrFlushReturnsZeroAndKeepsWhatWasWritten)
{
    StoreState(7, kDay19May2006 - 1, 30, "706051800030");
    auto faulty = std::make_shared<FaultyStore>(m_store);
    numwell::SetSettingsStore(faulty);
    NumwellProbe sn;
    sn.m_nStationID = 7;
    sn.IncreaseSN();

    faulty->failWrite = numwell::kValueLastSNText;
    EXPECT_EQ(sn.Save(), 0);
    EXPECT_EQ(StoredNumber(numwell::kValueLastDate), 869u); // written before the failure
    EXPECT_EQ(StoredNumber(numwell::kValueLastSN), 1u);
    EXPECT_EQ(Stored(numwell::kValueLastSNText)->c_str(), std::string("706051800030"));
    EXPECT_STREQ(sn.GetSN(), "706051900001");

    faulty->failWrite.clear();
    faulty->failFlush = true;
    EXPECT_EQ(sn.Save(), 0);
    faulty->failFlush = false;
    ASSERT_EQ(sn.Save(), 1);
    EXPECT_EQ(Stored(numwell::kValueLastSNText)->c_str(), std::string("706051900001"));
}

// A store that holds a station but cannot be written: said once (naming the store), no station
// dialog, nothing issued.
TEST_F(NumwellTest, InitializeSaysOnceThatTheStoreCannotBeWritten)
{
    StoreState(9, kDay19May2006, 2, "906051900002");
    auto faulty = std::make_shared<FaultyStore>(m_store);
    faulty->refuseFullAccess = true;
    numwell::SetSettingsStore(faulty);
    ModalScript script;
    QString said;
    script.Then([&](QWidget *window) {
        said = ModalScript::MessageText(window);
        ModalScript::Click(window, QStringLiteral("OK"));
    });
    NumwellProbe sn;
    EXPECT_EQ(sn.Initialize(), 0);
    QApplication::processEvents();
    EXPECT_EQ(script.Seen(), QStringList{QStringLiteral("Numwell")});
    EXPECT_TRUE(script.Unexpected().isEmpty());
    EXPECT_EQ(said.toStdString(), "Create registry key fail\nThe settings store cannot be written: "
                                  "Software\\Veltrona\\QT7730 MFG Kit");
}

TEST_F(NumwellTest, ReadOnlyStoreRefusesSave)
{
    StoreState(8, kDay19May2006, 2, "806051900002");
    const std::string file = m_dir.file("settings.db");
    // Root may write any file, so as root the store is made read-only by an unprivileged child.
    const bool dropPrivileges = geteuid() == 0;
    ASSERT_EQ(chmod(m_dir.path().c_str(), dropPrivileges ? 0755 : 0555), 0);
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (dropPrivileges && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        if (access(file.c_str(), W_OK) == 0)
            _exit(3);
        NumwellProbe sn;
        sn.m_nStationID = 8;
        sn.m_nLastDate = kDay19May2006;
        sn.m_nLastSN = 2;
        sn.IncreaseSN();
        const int saved = sn.Save();
        _exit(saved == 0 && std::strcmp(sn.GetSN(), "806051900003") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod(m_dir.path().c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(StoredNumber(numwell::kValueLastSN), 2u);
}

} // namespace
