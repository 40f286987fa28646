#pragma once
// A Host that only knows a registry, a Windows folder of files, INF string reads and the program's
// own version: enough for the INF updater and the About box. Every device operation fails.

#include "Host.h"

#include <map>

class StubHost : public platform::Host {
public:
    std::map<std::string, std::string> registry; // "subkey|value" -> text
    std::map<std::string, std::string> files;    // path -> bytes
    std::string manufacturer;                    // "%MfgName%" of "Manufacturer", "" when absent
    bool failReplace = false;
    int replaces = 0;
    std::optional<platform::FileVersion> version = platform::FileVersion{0x00010003, 0, 0x00010003, 0};
    int versionReads = 0;

    bool ReadMachineRegistryString(std::string_view subKey, std::string_view valueName, std::size_t,
                                   std::string &value) override
    {
        const auto it = registry.find(std::string(subKey) + "|" + std::string(valueName));
        if (it == registry.end())
            return false;
        value = it->second;
        return true;
    }
    std::string GetWindowsDirectory() override { return "C:\\WINDOWS"; }
    std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                        std::string_view defaultValue, std::size_t, std::string_view path) override
    {
        if (section == "Manufacturer" && key == "%MfgName%" && files.count(std::string(path)) &&
            !manufacturer.empty())
            return manufacturer;
        return std::string(defaultValue);
    }
    bool ReadWholeFile(std::string_view path, std::string &bytes) override
    {
        const auto it = files.find(std::string(path));
        if (it == files.end())
            return false;
        bytes = it->second;
        return true;
    }
    bool ReplaceFileContents(std::string_view path, std::string_view bytes) override
    {
        ++replaces;
        if (failReplace)
            return false;
        files[std::string(path)] = std::string(bytes);
        return true;
    }

    platform::Handle OpenFile(std::string_view, std::uint32_t, std::uint32_t, bool) override { return 0; }
    bool CloseHandle(platform::Handle) override { return false; }
    bool DeviceIoControl(platform::Handle, std::uint32_t, void *, std::uint32_t, std::uint32_t *) override
    {
        return false;
    }
    platform::IoStart ReadFile(platform::Handle, void *, std::uint32_t, platform::Overlapped &) override
    {
        return platform::IoStart::Failed;
    }
    platform::IoStart WriteFile(platform::Handle, const void *, std::uint32_t, platform::Overlapped &) override
    {
        return platform::IoStart::Failed;
    }
    bool GetOverlappedResult(platform::Handle, platform::Overlapped &, std::uint32_t *, bool) override
    {
        return false;
    }
    bool CancelIo(platform::Handle) override { return false; }
    platform::Handle CreateEvent(bool) override { return 0; }
    bool SetEvent(platform::Handle) override { return false; }
    bool ResetEvent(platform::Handle) override { return false; }
    int WaitForEvents(std::span<const platform::Handle>, bool, std::uint32_t) override
    {
        return platform::WAIT_FAILED;
    }
    bool EnumeratePresentDevices(std::string_view, std::size_t, std::vector<std::string> &) override
    {
        return false;
    }
    platform::DevNode GetRootNode() override { return 0; }
    platform::DevNode GetChild(platform::DevNode) override { return 0; }
    platform::DevNode GetSibling(platform::DevNode) override { return 0; }
    platform::DevNode GetParent(platform::DevNode) override { return 0; }
    bool GetNodeProperty(platform::DevNode, std::uint32_t, std::size_t, std::string &) override { return false; }
    bool GetNodeInstanceId(platform::DevNode, std::size_t, std::string &) override { return false; }
    bool IsDevicePresent(std::string_view) override { return false; }
    platform::InstallWait WaitNoPendingInstallEvents(std::uint32_t) override
    {
        return platform::InstallWait::Unavailable;
    }
    std::uint32_t GetPlatformId() override { return platform::PLATFORM_WIN32_NT; }
    std::uint64_t SubscribeDeviceChanges(DeviceChangeCallback) override { return 1; }
    void UnsubscribeDeviceChanges(std::uint64_t) override {}
    std::string GetModuleFileName() override { return "C:\\Program Files\\Quillon.exe"; }
    std::optional<platform::FileVersion> GetFileVersion(std::string_view path) override
    {
        ++versionReads;
        return path == GetModuleFileName() ? version : std::nullopt;
    }
};
