// Several processes and sudden death against one store: it must always open again, hold one whole
// Save, and a counter that never goes back.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "NumwellServices.h"
#include "SqliteSettingsStore.h"
#include "TempDir.h"

namespace {

// One numbering process with its standard output on a pipe.
class SaveLoop {
public:
    SaveLoop(const std::string &store, long count)
    {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(pipeFds[1], STDOUT_FILENO);
            close(pipeFds[0]);
            close(pipeFds[1]);
            setenv("QT7730_SETTINGS_DB", store.c_str(), 1);
            const std::string seconds = std::to_string(kNoon19May2006);
            const std::string countText = std::to_string(count);
            execl(SAVE_LOOP_PATH, SAVE_LOOP_PATH, seconds.c_str(), countText.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        m_out = pipeFds[0];
    }
    ~SaveLoop()
    {
        Kill();
        if (m_out >= 0)
            close(m_out);
    }

    bool Started() const { return m_pid > 0; }

    // Reads what arrived within `ms` milliseconds; false at end of output.
    bool Pump(int ms)
    {
        pollfd fd{m_out, POLLIN, 0};
        if (poll(&fd, 1, ms) <= 0)
            return true;
        char buffer[4096];
        const ssize_t got = read(m_out, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        m_text.append(buffer, std::size_t(got));
        return true;
    }
    void Kill()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
    }
    int Wait()
    {
        int status = -1;
        if (m_pid > 0) {
            while (Pump(50)) {
            }
            waitpid(m_pid, &status, 0);
            m_pid = -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return m_status;
    }

    // The counter of the last complete "saved" line: a Save that had returned 1.
    long LastSaved() const
    {
        long last = -1;
        std::size_t start = 0;
        for (std::size_t end; (end = m_text.find('\n', start)) != std::string::npos; start = end + 1)
            if (m_text.compare(start, 6, "saved ") == 0)
                last = std::stol(m_text.substr(start + 6, end - start - 6));
        return last;
    }
    std::size_t Lines() const { return std::size_t(std::count(m_text.begin(), m_text.end(), '\n')); }

    static constexpr std::int64_t kNoon19May2006 = 1148032800; // 10:00 UTC

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_text;
};

struct StoredState {
    bool opened = false;
    bool intact = false;
    std::uint32_t lastSN = 0;
    std::string text;
};

StoredState Inspect(const std::string &file)
{
    StoredState state;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt *check = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK
            && sqlite3_step(check) == SQLITE_ROW)
            state.intact = std::strcmp(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "ok") == 0;
        sqlite3_finalize(check);
    }
    sqlite3_close_v2(db);

    auto key = platform::SqliteSettingsStore(file).OpenKey(numwell::SettingsKeyPath(), platform::SettingsAccess::Read);
    if (!key)
        return state;
    state.opened = true;
    std::uint32_t length = 4;
    key->Read(numwell::kValueLastSN, &state.lastSN, length);
    char text[32] = {};
    length = sizeof text;
    if (key->Read(numwell::kValueLastSNText, text, length))
        state.text.assign(text, strnlen(text, sizeof text));
    return state;
}

std::string Prepare(const TempDir &dir)
{
    const std::string file = dir.file("settings.db");
    auto key = platform::SqliteSettingsStore(file).CreateKey(numwell::SettingsKeyPath());
    EXPECT_TRUE(key && key->WriteNumber(numwell::kValueStationID, 3) && key->Flush());
    return file;
}

std::string NumberFor(std::uint32_t counter)
{
    char text[32];
    std::snprintf(text, sizeof text, "3060519%05u", counter);
    return text;
}

TEST(StoreCrash, KilledWhileSavingLeavesAStoreThatOpensAndNeverGoesBack)
{
    TempDir dir;
    const std::string file = Prepare(dir);
    std::mt19937 random(20060519);
    std::uint32_t previous = 0;
    for (int round = 0; round < 12; ++round) {
        SaveLoop loop(file, 0);
        ASSERT_TRUE(loop.Started());
        // Let it get going, then kill it at a random moment in its loop.
        for (int i = 0; i < 200 && loop.Lines() == 0; ++i)
            ASSERT_TRUE(loop.Pump(50)) << "the numbering process ended early";
        ASSERT_GT(loop.Lines(), 0u);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 40);
        while (std::chrono::steady_clock::now() < until)
            loop.Pump(1);
        loop.Kill();

        const StoredState state = Inspect(file);
        ASSERT_TRUE(state.opened) << "round " << round;
        EXPECT_TRUE(state.intact);
        EXPECT_GE(long(state.lastSN), loop.LastSaved()) << "a saved number was lost";
        EXPECT_GT(state.lastSN, previous) << "the counter went back";
        EXPECT_EQ(state.text, NumberFor(state.lastSN)) << "the values of two Saves were mixed";
        previous = state.lastSN;
    }
}

TEST(StoreCrash, ProcessesSavingAtOnceNeverCorruptTheStore)
{
    TempDir dir;
    const std::string file = Prepare(dir);
    constexpr long kSaves = 60;
    std::vector<std::unique_ptr<SaveLoop>> loops;
    for (int i = 0; i < 3; ++i)
        loops.push_back(std::make_unique<SaveLoop>(file, kSaves));
    for (auto &loop : loops) {
        EXPECT_EQ(loop->Wait(), 0) << "a Save failed or the process crashed";
        EXPECT_EQ(loop->Lines(), std::size_t(kSaves));
    }
    const StoredState state = Inspect(file);
    ASSERT_TRUE(state.opened);
    EXPECT_TRUE(state.intact);
    // Each process kept its own counter in memory and the last Save won, whole.
    EXPECT_GE(state.lastSN, std::uint32_t(kSaves));
    EXPECT_EQ(state.text, NumberFor(state.lastSN));
}

} // namespace
