#pragma once
// The settings store as one SQLite database file. Every key handle has its own connection, so any
// number of processes may use the file at once: writers queue on SQLite's lock (with a busy
// time-out) and a reader never sees half of another process's writes.

#include "SettingsStore.h"

namespace platform {

class SqliteSettingsStore final : public SettingsStore {
public:
    explicit SqliteSettingsStore(std::string databasePath);

    std::unique_ptr<SettingsKey> OpenKey(const std::string &path, SettingsAccess access) override;
    std::unique_ptr<SettingsKey> CreateKey(const std::string &path) override;
    std::string Location() const override { return m_databasePath; }

    const std::string &DatabasePath() const { return m_databasePath; }

    // How long a writer waits for another process's transaction before its write fails.
    static constexpr int kBusyTimeoutMs = 5000;

private:
    std::string m_databasePath;
};

} // namespace platform
