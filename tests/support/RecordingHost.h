#pragma once
// A Host that passes every call on to another Host, recording the vendor requests it carries and the
// handles it opens, and refusing the opens a test names. Lets device-layer tests see exactly what
// went over the wire.

#include "Host.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class RecordingHost : public platform::Host {
public:
    struct Request {
        uint32_t code;
        std::vector<uint8_t> sent; // the buffer as it was handed over
    };

    explicit RecordingHost(platform::Host &inner) : m_inner(inner) {}

    // Opens whose name this returns true for fail.
    std::function<bool(std::string_view name)> refuseOpen;

    std::vector<Request> requests() const { std::lock_guard lock(m_mutex); return m_requests; }
    std::vector<Request> vendorRequests() const
    {
        std::vector<Request> vendor;
        for (const auto &r : requests())
            if (r.code == platform::IOCTL_VENDOR_REQUEST)
                vendor.push_back(r);
        return vendor;
    }
    void clear() { std::lock_guard lock(m_mutex); m_requests.clear(); m_opens = 0; }
    std::size_t openHandles() const { std::lock_guard lock(m_mutex); return m_open.size(); }
    std::size_t opens() const { std::lock_guard lock(m_mutex); return m_opens; }

    platform::Handle OpenFile(std::string_view name, uint32_t access, uint32_t share, bool overlapped) override
    {
        if (refuseOpen && refuseOpen(name))
            return platform::INVALID_HANDLE;
        const platform::Handle h = m_inner.OpenFile(name, access, share, overlapped);
        std::lock_guard lock(m_mutex);
        ++m_opens;
        if (h != platform::INVALID_HANDLE)
            m_open.insert(h);
        return h;
    }
    bool CloseHandle(platform::Handle handle) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_open.erase(handle);
        }
        return m_inner.CloseHandle(handle);
    }
    bool DeviceIoControl(platform::Handle handle, uint32_t code, void *buffer, uint32_t size,
                         uint32_t *bytesReturned) override
    {
        {
            std::lock_guard lock(m_mutex);
            const auto *bytes = static_cast<const uint8_t *>(buffer);
            m_requests.push_back({code, std::vector<uint8_t>(bytes, bytes + (buffer ? size : 0))});
        }
        return m_inner.DeviceIoControl(handle, code, buffer, size, bytesReturned);
    }

    platform::IoStart ReadFile(platform::Handle h, void *b, uint32_t s, platform::Overlapped &o) override { return m_inner.ReadFile(h, b, s, o); }
    platform::IoStart WriteFile(platform::Handle h, const void *b, uint32_t s, platform::Overlapped &o) override { return m_inner.WriteFile(h, b, s, o); }
    bool GetOverlappedResult(platform::Handle h, platform::Overlapped &o, uint32_t *n, bool w) override { return m_inner.GetOverlappedResult(h, o, n, w); }
    bool CancelIo(platform::Handle h) override { return m_inner.CancelIo(h); }
    platform::Handle CreateEvent(bool s) override { return m_inner.CreateEvent(s); }
    bool SetEvent(platform::Handle e) override { return m_inner.SetEvent(e); }
    bool ResetEvent(platform::Handle e) override { return m_inner.ResetEvent(e); }
    int WaitForEvents(std::span<const platform::Handle> e, bool a, uint32_t t) override { return m_inner.WaitForEvents(e, a, t); }
    bool ReadWholeFile(std::string_view p, std::string &b) override { return m_inner.ReadWholeFile(p, b); }
    bool ReplaceFileContents(std::string_view p, std::string_view b) override { return m_inner.ReplaceFileContents(p, b); }
    std::string NoDeviceAdvice() override { return m_inner.NoDeviceAdvice(); }
    std::string DeviceNotice() override { return m_inner.DeviceNotice(); }
    bool EnumeratePresentDevices(std::string_view e, std::size_t n, std::vector<std::string> &ids) override { return m_inner.EnumeratePresentDevices(e, n, ids); }
    platform::DevNode GetRootNode() override { return m_inner.GetRootNode(); }
    platform::DevNode GetChild(platform::DevNode n) override { return m_inner.GetChild(n); }
    platform::DevNode GetSibling(platform::DevNode n) override { return m_inner.GetSibling(n); }
    platform::DevNode GetParent(platform::DevNode n) override { return m_inner.GetParent(n); }
    bool GetNodeProperty(platform::DevNode n, uint32_t p, std::size_t b, std::string &v) override { return m_inner.GetNodeProperty(n, p, b, v); }
    bool GetNodeInstanceId(platform::DevNode n, std::size_t b, std::string &id) override { return m_inner.GetNodeInstanceId(n, b, id); }
    bool IsDevicePresent(std::string_view id) override { return m_inner.IsDevicePresent(id); }
    platform::InstallWait WaitNoPendingInstallEvents(uint32_t t) override { return m_inner.WaitNoPendingInstallEvents(t); }
    bool ReadMachineRegistryString(std::string_view k, std::string_view v, std::size_t b, std::string &out) override { return m_inner.ReadMachineRegistryString(k, v, b, out); }
    std::string GetWindowsDirectory() override { return m_inner.GetWindowsDirectory(); }
    uint32_t GetPlatformId() override { return m_inner.GetPlatformId(); }
    std::string GetPrivateProfileString(std::string_view s, std::string_view k, std::string_view d, std::size_t b, std::string_view p) override { return m_inner.GetPrivateProfileString(s, k, d, b, p); }
    uint64_t SubscribeDeviceChanges(DeviceChangeCallback c) override { return m_inner.SubscribeDeviceChanges(std::move(c)); }
    void UnsubscribeDeviceChanges(uint64_t id) override { m_inner.UnsubscribeDeviceChanges(id); }
    std::string GetModuleFileName() override { return m_inner.GetModuleFileName(); }
    std::optional<platform::FileVersion> GetFileVersion(std::string_view p) override { return m_inner.GetFileVersion(p); }

private:
    platform::Host &m_inner;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::set<platform::Handle> m_open;
    std::size_t m_opens = 0;
};
