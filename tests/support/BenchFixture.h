#pragma once
// A bench in a private system directory with the sim Host over it, and small helpers that build the
// buffers the kit sends (vendor requests, hub requests) so tests read like the device layer.

#include "Bench.h"
#include "SimHost.h"
#include "TempDir.h"
#ifdef KIT_TESTS_ON_USB
#include "UsbWorld.h"
#endif

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class BenchFixture : public ::testing::Test {
protected:
    static bench::BenchOptions OptionsIn(const TempDir& dir)
    {
        bench::BenchOptions options;
        options.systemDirectory = dir.path() / "Windows";
        return options;
    }

    TempDir dir;
    bench::Bench bench{OptionsIn(dir)};
#ifdef KIT_TESTS_ON_USB
    // The same tests on the USB world: the bench reached through libusb and an emulated usbfs.
    UsbWorld usb{bench};
    platform::UsbHost &host = usb.host;
#else
    platform::SimHost host{bench.Pc()};
#endif

    // ----- the bridge driver ------------------------------------------------------------------

    void InstallDefaultDriver() { bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"}); }

    platform::Handle OpenControl(const std::string& name)
    {
        return host.OpenFile(name, platform::ACCESS_READ | platform::ACCESS_WRITE,
                             platform::SHARE_READ | platform::SHARE_WRITE, false);
    }
    static std::string HostLink(int n) { return "\\\\.\\HOSTLNK-" + std::to_string(n); }

    // Sends one vendor request the way the device layer does: zeroed buffer of `size` bytes.
    bool Vendor(platform::Handle h, uint8_t type, uint8_t request, uint16_t index, uint16_t length,
                std::vector<uint8_t>& buffer, std::size_t size)
    {
        buffer.assign(size, 0);
        buffer[0] = type, buffer[1] = request;
        buffer[4] = uint8_t(index), buffer[5] = uint8_t(index >> 8);
        buffer[6] = uint8_t(length), buffer[7] = uint8_t(length >> 8);
        return host.DeviceIoControl(h, platform::IOCTL_VENDOR_REQUEST, buffer.data(), uint32_t(buffer.size()), nullptr);
    }
    std::optional<uint16_t> VersionQuery(platform::Handle h)
    {
        std::vector<uint8_t> b;
        if (!Vendor(h, 0xC0, 0xF7, 0, 2, b, 12))
            return std::nullopt;
        return uint16_t(b[8] | b[9] << 8);
    }
    bool ReadBlock(platform::Handle h, uint16_t offset, uint8_t out[8])
    {
        std::vector<uint8_t> b;
        if (!Vendor(h, 0xC0, 0xFE, offset, 8, b, 18))
            return false;
        std::copy(b.begin() + 8, b.begin() + 16, out);
        return true;
    }
    bool WriteBlock(platform::Handle h, uint16_t offset, const uint8_t in[8])
    {
        std::vector<uint8_t> b(18, 0);
        b[0] = 0x40, b[1] = 0xFF, b[4] = uint8_t(offset), b[5] = uint8_t(offset >> 8), b[6] = 8;
        std::copy(in, in + 8, b.begin() + 8);
        return host.DeviceIoControl(h, platform::IOCTL_VENDOR_REQUEST, b.data(), 18, nullptr);
    }
    bool WriteEeprom(platform::Handle h, const bench::EepromBytes& bytes)
    {
        for (uint16_t k = 0; k < 256; k += 8)
            if (!WriteBlock(h, k, bytes.data() + k))
                return false;
        return true;
    }

    // ----- hub requests ------------------------------------------------------------------------

    platform::Handle OpenHub(const std::string& path)
    {
        return host.OpenFile(path, platform::ACCESS_WRITE, platform::SHARE_WRITE, false);
    }
    // "\\.\" path of a root hub, from its SymbolicName as the walk forms it.
    std::string RootHubPath(const std::string& instanceId)
    {
        std::string name;
        if (!host.ReadMachineRegistryString("SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters",
                                            "SymbolicName", 260, name))
            return {};
        return "\\\\.\\" + name.substr(4);
    }
    std::optional<std::array<uint8_t, 388>> ConnectionInfo(platform::Handle hub, uint32_t port)
    {
        std::array<uint8_t, 388> b{};
        b[0] = uint8_t(port);
        if (!host.DeviceIoControl(hub, platform::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, b.data(), 388, nullptr))
            return std::nullopt;
        return b;
    }
    std::optional<int> PortCount(platform::Handle hub)
    {
        std::array<uint8_t, 76> b{};
        if (!host.DeviceIoControl(hub, platform::IOCTL_USB_GET_NODE_INFORMATION, b.data(), 76, nullptr))
            return std::nullopt;
        return b[6];
    }
    // The two-step driver-key request; nullopt when there is no key.
    std::optional<std::string> DriverKey(platform::Handle hub, uint32_t port)
    {
        std::vector<uint8_t> b(10, 0);
        b[0] = uint8_t(port);
        if (!host.DeviceIoControl(hub, platform::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, b.data(), 10, nullptr))
            return std::nullopt;
        const uint32_t actual = Le32(b.data() + 4);
        if (actual <= 10)
            return std::nullopt;
        b.assign(actual, 0);
        b[0] = uint8_t(port);
        if (!host.DeviceIoControl(hub, platform::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, b.data(), actual, nullptr))
            return std::nullopt;
        return Utf16At(b, 8);
    }
    std::optional<std::string> HubName(platform::Handle hub, uint32_t port)
    {
        std::vector<uint8_t> b(520, 0);
        b[0] = uint8_t(port);
        if (!host.DeviceIoControl(hub, platform::IOCTL_USB_GET_NODE_CONNECTION_NAME, b.data(), 520, nullptr))
            return std::nullopt;
        return Utf16At(b, 8);
    }

    static uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
    static uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
    static std::string Utf16At(const std::vector<uint8_t>& b, std::size_t at)
    {
        std::string s;
        for (std::size_t i = at; i + 1 < b.size() && (b[i] || b[i + 1]); i += 2)
            s.push_back(char(b[i]));
        return s;
    }
};
