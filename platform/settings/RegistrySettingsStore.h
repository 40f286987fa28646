#pragma once
// The settings store as the Windows registry: a key path names a key under HKEY_LOCAL_MACHINE; values
// are REG_DWORD numbers and REG_SZ texts. Texts cross as 8-bit in the system's ANSI code page, as the
// registry's own ANSI functions give them, so a reader's length limit counts 8-bit bytes.
//
// The keys live in the registry's 32-bit view: a 32-bit program of the kit on the same station
// (which the registry redirects there) shares the one serial-number counter instead of starting a
// second one that would hand out the same numbers again.

#include "SettingsStore.h"

namespace platform {

class RegistrySettingsStore final : public SettingsStore {
public:
    std::unique_ptr<SettingsKey> OpenKey(const std::string &path, SettingsAccess access) override;
    std::unique_ptr<SettingsKey> CreateKey(const std::string &path) override;

    // Removes a key and everything under it (for tests and uninstallers); true when it is gone.
    static bool DeleteTree(const std::string &path);
};

} // namespace platform
