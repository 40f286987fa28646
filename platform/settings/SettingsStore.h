#pragma once
// The machine-wide settings store: keys holding named 32-bit numbers and text values, shaped after
// the registry operations the serial-number library uses (open existing, create, read with a length
// limit, write, flush, close). Plain C++, no Qt.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class SettingsAccess { Read, ReadWrite };

// Value types as the registry records them; a reader never looks at them, only at the length.
enum class SettingsValueType : std::uint32_t { Text = 1, Number = 4 };

// One open key. Destroying it closes it.
class SettingsKey {
public:
    virtual ~SettingsKey() = default;

    // Copies the value's bytes into buffer. `length` holds the buffer's size on entry and the value's
    // size on return. A missing value, or one longer than the buffer, fails and copies nothing.
    virtual bool Read(const std::string &name, void *buffer, std::uint32_t &length) = 0;

    // Writes take effect for this key at once and for other processes at Flush or Close. A key
    // opened for reading refuses them.
    virtual bool WriteNumber(const std::string &name, std::uint32_t value) = 0;
    virtual bool WriteText(const std::string &name, const void *data, std::uint32_t length) = 0;

    // Makes every write so far permanent; returns only when it has reached the disk.
    virtual bool Flush() = 0;

    // Publishes what was written and not yet flushed (as durably as Flush), then releases the key.
    // Closing twice is harmless.
    virtual void Close() = 0;
};

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Opens an existing key; null when it is missing or the store refuses the access asked for.
    virtual std::unique_ptr<SettingsKey> OpenKey(const std::string &path, SettingsAccess access) = 0;

    // Opens the key with full access, creating it (and the store) when missing; null on failure.
    virtual std::unique_ptr<SettingsKey> CreateKey(const std::string &path) = 0;

    // Where the store lives, as a person would look for it (the database file); empty when it has
    // no such name.
    virtual std::string Location() const { return {}; }
};

// The store every program on this machine shares: the database named by the environment variable
// QT7730_SETTINGS_DB, or the machine-wide default path. Read on every call, so a test can point it
// elsewhere before it runs.
std::shared_ptr<SettingsStore> MachineSettingsStore();

inline constexpr const char *kSettingsPathVariable = "QT7730_SETTINGS_DB";
inline constexpr const char *kDefaultSettingsPath = "/var/lib/qt7730-mfg-kit/settings.db";

} // namespace platform
