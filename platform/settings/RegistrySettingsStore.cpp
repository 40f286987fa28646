#include "RegistrySettingsStore.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform {

namespace {

// One view for every process of the kit, whatever its bitness (see the header).
constexpr REGSAM kView = KEY_WOW64_32KEY;
// Longest value the store reads: far beyond anything the kit stores.
constexpr DWORD kMaxValueBytes = 64 * 1024;

std::wstring Wide(const char *text, std::size_t size)
{
    if (size == 0 || size > kMaxValueBytes)
        return {};
    const int count = MultiByteToWideChar(CP_ACP, 0, text, int(size), nullptr, 0);
    std::wstring wide(std::size_t(std::max(count, 0)), L'\0');
    if (count > 0)
        MultiByteToWideChar(CP_ACP, 0, text, int(size), wide.data(), count);
    return wide;
}

std::wstring Wide(const std::string &text) { return Wide(text.data(), text.size()); }

std::string Narrow(const wchar_t *text, std::size_t count)
{
    if (count == 0)
        return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text, int(count), nullptr, 0, nullptr, nullptr);
    std::string narrow(std::size_t(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text, int(count), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

bool SaneName(const std::string &name) { return name.find('\0') == std::string::npos && name.size() < 16384; }

class RegistryKey final : public SettingsKey {
public:
    RegistryKey(HKEY key, SettingsAccess access) : m_key(key), m_access(access) {}
    ~RegistryKey() override { Close(); }

    bool Read(const std::string &name, void *buffer, std::uint32_t &length) override
    {
        if (!m_key || !SaneName(name) || (!buffer && length != 0))
            return false;
        const std::wstring valueName = Wide(name);
        DWORD type = 0, size = 0;
        if (RegQueryValueExW(m_key, valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS
            || size > kMaxValueBytes)
            return false;
        std::vector<BYTE> data(std::max<DWORD>(size, 1));
        if (RegQueryValueExW(m_key, valueName.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            return false;
        std::string bytes;
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            // Texts come back in 8-bit, as the registry's ANSI functions give them.
            bytes = Narrow(reinterpret_cast<const wchar_t *>(data.data()), size / sizeof(wchar_t));
        } else {
            bytes.assign(reinterpret_cast<const char *>(data.data()), size);
        }
        // A value longer than the caller's buffer fails the read and copies nothing.
        if (bytes.size() > length) {
            length = std::uint32_t(bytes.size());
            return false;
        }
        if (!bytes.empty())
            std::memcpy(buffer, bytes.data(), bytes.size());
        length = std::uint32_t(bytes.size());
        return true;
    }

    bool WriteNumber(const std::string &name, std::uint32_t value) override
    {
        const DWORD data = value;
        return Write(name, REG_DWORD, &data, sizeof data);
    }

    bool WriteText(const std::string &name, const void *data, std::uint32_t length) override
    {
        if ((!data && length != 0) || length > kMaxValueBytes)
            return false;
        // The caller's bytes (usually with their terminator) as UTF-16; a text without a terminator
        // gets one, as the registry expects of REG_SZ.
        std::wstring text = Wide(static_cast<const char *>(data), length);
        if (text.empty() || text.back() != L'\0')
            text.push_back(L'\0');
        return Write(name, REG_SZ, text.data(), DWORD(text.size() * sizeof(wchar_t)));
    }

    bool Flush() override { return m_key && RegFlushKey(m_key) == ERROR_SUCCESS; }

    void Close() override
    {
        if (!m_key)
            return;
        // Whatever was written reaches the disk as it would with Flush.
        if (m_wrote)
            RegFlushKey(m_key);
        RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    bool Write(const std::string &name, DWORD type, const void *data, DWORD size)
    {
        if (!m_key || m_access != SettingsAccess::ReadWrite || !SaneName(name))
            return false;
        const std::wstring valueName = Wide(name);
        if (RegSetValueExW(m_key, valueName.c_str(), 0, type, static_cast<const BYTE *>(data), size) != ERROR_SUCCESS)
            return false;
        m_wrote = true;
        return true;
    }

    HKEY m_key;
    SettingsAccess m_access;
    bool m_wrote = false;
};

} // namespace

std::unique_ptr<SettingsKey> RegistrySettingsStore::OpenKey(const std::string &path, SettingsAccess access)
{
    if (path.empty() || !SaneName(path))
        return nullptr;
    const REGSAM rights = access == SettingsAccess::ReadWrite ? KEY_READ | KEY_WRITE : KEY_READ;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, rights | kView, &key) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<RegistryKey>(key, access);
}

std::unique_ptr<SettingsKey> RegistrySettingsStore::CreateKey(const std::string &path)
{
    if (path.empty() || !SaneName(path))
        return nullptr;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<RegistryKey>(key, SettingsAccess::ReadWrite);
}

bool RegistrySettingsStore::DeleteTree(const std::string &path)
{
    if (path.empty() || !SaneName(path))
        return false;
    // Opened in the store's view first: what is under it, then the key itself.
    const std::wstring wide = Wide(path);
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, KEY_ALL_ACCESS | kView, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return true;
    if (opened != ERROR_SUCCESS)
        return false;
    const LONG emptied = RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    return emptied == ERROR_SUCCESS && RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), kView, 0) == ERROR_SUCCESS;
}

std::shared_ptr<SettingsStore> MachineSettingsStore()
{
    return std::make_shared<RegistrySettingsStore>();
}

} // namespace platform
