// The Win32 Host against the real APIs: whole-file replace, the program's own file and version
// resource, overlapped transfers over named pipes standing in for a cable (as the production
// function test drives them), events and waits, device-change notifications, and clean failures of
// everything the contract says fails.

#include "PipeCable.h"
#include "WinTempDir.h"

#include "WindowsApi.h"

#include "Win32Host.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <vector>

using namespace platform;

namespace {

// ----- Files and the program's own file -------------------------------------------------------------

TEST(Win32Files, WholeFileReplaceAndRead)
{
    WinTempDir dir;
    Win32Host host;
    const std::string inf = dir.file("oem7.inf");
    std::string bytes;

    EXPECT_FALSE(host.ReadWholeFile(inf, bytes)) << "missing";
    ASSERT_TRUE(host.ReplaceFileContents(inf, "[Version]\r\n")) << "a new file is made";
    ASSERT_TRUE(host.ReadWholeFile(inf, bytes));
    EXPECT_EQ(bytes, "[Version]\r\n");
    const std::string binary("a\0b\r\n\xff", 6);
    ASSERT_TRUE(host.ReplaceFileContents(inf, binary)) << "an existing one replaced";
    ASSERT_TRUE(host.ReadWholeFile(inf, bytes));
    EXPECT_EQ(bytes, binary) << "raw bytes, no text translation";
    ASSERT_TRUE(host.ReplaceFileContents(inf, ""));
    ASSERT_TRUE(host.ReadWholeFile(inf, bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "oem7.inf.new")) << "no temporary file left behind";

    // What cannot be replaced keeps its contents: a read-only file, a folder, a device, a folder
    // that does not exist, a name with a zero byte.
    const std::string locked = dir.write("locked.inf", "old");
    ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(host.ReplaceFileContents(locked, "new"));
    EXPECT_EQ(WinTempDir::read(locked), "old");
    SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::create_directory(dir.path() / "folder.inf");
    EXPECT_FALSE(host.ReplaceFileContents(dir.file("folder.inf"), "x"));
    EXPECT_FALSE(host.ReadWholeFile(dir.file("folder.inf"), bytes));
    EXPECT_FALSE(host.ReplaceFileContents("\\\\.\\HOSTLNK-1", "x"));
    EXPECT_FALSE(host.ReplaceFileContents(dir.file("none\\x.inf"), "x"));
    EXPECT_FALSE(host.ReplaceFileContents(std::string("a\0b", 3), "x"));
    EXPECT_FALSE(host.ReplaceFileContents("", "x"));
    EXPECT_FALSE(host.ReadWholeFile("", bytes));

    // A pipe given as a path is not an ordinary file: refused rather than read forever.
    PipeCable cable("kit-readwhole-" + std::to_string(GetCurrentProcessId()));
    EXPECT_FALSE(host.ReadWholeFile(cable.SideA() + "\\3", bytes));
}

TEST(Win32Files, TheProgramsOwnFileAndVersionResource)
{
    WinTempDir dir;
    Win32Host host;
    const std::string self = host.GetModuleFileName();
    ASSERT_GE(self.size(), 15u);
    EXPECT_EQ(self.substr(self.size() - 15), "win32_tests.exe");
    const auto version = host.GetFileVersion(self);
    ASSERT_TRUE(version) << "the version resource of this test program";
    EXPECT_EQ(version->fileVersionMS, 0x00010003u);
    EXPECT_EQ(version->fileVersionLS, 0x00000007u);
    EXPECT_EQ(version->productVersionMS, 0x00010003u);
    EXPECT_EQ(version->productVersionLS, 0x00000007u);

    // The strings of the resource, as Explorer shows them.
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(self.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(self.c_str(), 0, size, data.data()));
    char *text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\ProductName", reinterpret_cast<void **>(&text), &length));
    EXPECT_STREQ(text, "Veltrona QT7730 MFG Kit");
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\OriginalFilename", reinterpret_cast<void **>(&text), &length));
    EXPECT_STREQ(text, "win32_tests.exe");

    EXPECT_FALSE(host.GetFileVersion(dir.write("plain.exe", "MZ not really")));
    EXPECT_FALSE(host.GetFileVersion(dir.file("missing.exe")));
    EXPECT_FALSE(host.GetFileVersion(""));
}

// ----- Overlapped transfers ---------------------------------------------------------------------------

constexpr std::uint32_t kPatternSize = 0x1FFFF;

std::vector<std::uint8_t> Pattern()
{
    std::vector<std::uint8_t> bytes(kPatternSize);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(i + 1);
    return bytes;
}

struct DirectionResult {
    bool inTime = false;
    bool readOk = false, writeOk = false;
    std::uint32_t readBytes = 0;
    bool patternArrived = false;
};

// One direction of the production function test, step for step: the read in flight before the write,
// both awaited together with a time limit, both collected (cancelled first after a time-out) before
// the comparison, every handle closed.
DirectionResult SendOneDirection(Host &host, const std::string &readSide, const std::string &writeSide,
                                 std::uint32_t limitMs)
{
    DirectionResult result;
    const Handle readPipe = host.OpenFile(readSide + "\\3", ACCESS_READ, SHARE_READ, true);
    const Handle writePipe = host.OpenFile(writeSide + "\\2", ACCESS_WRITE, SHARE_WRITE, true);
    EXPECT_NE(readPipe, INVALID_HANDLE);
    EXPECT_NE(writePipe, INVALID_HANDLE);
    std::vector<std::uint8_t> received(kPatternSize, 0);
    const std::vector<std::uint8_t> sent = Pattern();
    Overlapped readOv, writeOv;
    readOv.event = host.CreateEvent(false);
    writeOv.event = host.CreateEvent(false);
    const IoStart read = host.ReadFile(readPipe, received.data(), kPatternSize, readOv);
    const IoStart write = host.WriteFile(writePipe, sent.data(), kPatternSize, writeOv);
    EXPECT_NE(read, IoStart::Failed);
    EXPECT_NE(write, IoStart::Failed);
    const std::array<Handle, 2> events{readOv.event, writeOv.event};
    result.inTime = host.WaitForEvents(events, true, limitMs) == 0;
    if (!result.inTime) {
        host.CancelIo(writePipe);
        host.CancelIo(readPipe);
    }
    std::uint32_t wrote = 0;
    result.writeOk = host.GetOverlappedResult(writePipe, writeOv, &wrote, true);
    result.readOk = host.GetOverlappedResult(readPipe, readOv, &result.readBytes, true);
    result.patternArrived = result.readOk && result.readBytes == kPatternSize && received == sent;
    EXPECT_TRUE(host.CloseHandle(readOv.event));
    EXPECT_TRUE(host.CloseHandle(writeOv.event));
    EXPECT_TRUE(host.CloseHandle(readPipe));
    EXPECT_TRUE(host.CloseHandle(writePipe));
    return result;
}

TEST(Win32Overlapped, TheFunctionTestOverNamedPipes)
{
    Win32Host host;
    PipeCable cable("kit-cable-" + std::to_string(GetCurrentProcessId()));

    // A good cable: the pattern arrives whole in both directions. (Each pipe serves one connection,
    // so each direction runs once per cable.)
    const DirectionResult ab = SendOneDirection(host, cable.SideB(), cable.SideA(), 2000);
    EXPECT_TRUE(ab.inTime);
    EXPECT_TRUE(ab.patternArrived) << ab.readBytes << " bytes";

    PipeCable second("kit-cable2-" + std::to_string(GetCurrentProcessId()));
    second.SetFault(true, PipeCable::Fault::DropLastByte);
    const DirectionResult dropped = SendOneDirection(host, second.SideB(), second.SideA(), 2000);
    EXPECT_TRUE(dropped.inTime) << "a short transfer ends";
    EXPECT_TRUE(dropped.readOk);
    EXPECT_EQ(dropped.readBytes, kPatternSize - 1);
    EXPECT_FALSE(dropped.patternArrived) << "and is caught by the comparison";

    // A dead direction: the wait times out, both transfers are cancelled and collected, and the
    // read reports failure; the time-out is the limit, not more.
    second.SetFault(false, PipeCable::Fault::Dead);
    const auto start = std::chrono::steady_clock::now();
    const DirectionResult dead = SendOneDirection(host, second.SideA(), second.SideB(), 300);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(dead.inTime);
    EXPECT_FALSE(dead.readOk) << "a cancelled read is no success";
    EXPECT_FALSE(dead.patternArrived);
    EXPECT_LT(took, std::chrono::seconds(5)) << "cancellation does not hang";
}

TEST(Win32Overlapped, CancelCloseAndPollInFlight)
{
    Win32Host host;
    PipeCable cable("kit-cancel-" + std::to_string(GetCurrentProcessId()));
    const Handle readPipe = host.OpenFile(cable.SideB() + "\\3", ACCESS_READ, SHARE_READ, true);
    ASSERT_NE(readPipe, INVALID_HANDLE);
    std::vector<char> buffer(64);
    Overlapped ov;
    ov.event = host.CreateEvent(true);
    ASSERT_NE(ov.event, INVALID_HANDLE);
    ASSERT_EQ(host.ReadFile(readPipe, buffer.data(), 64, ov), IoStart::Pending);
    const std::array<Handle, 1> events{ov.event};
    EXPECT_EQ(host.WaitForEvents(events, true, 0), WAIT_TIMED_OUT) << "the start reset the event";
    std::uint32_t got = 99;
    EXPECT_FALSE(host.GetOverlappedResult(readPipe, ov, &got, false)) << "still in flight";
    ASSERT_TRUE(host.CancelIo(readPipe));
    EXPECT_EQ(host.WaitForEvents(events, false, 2000), 0) << "a cancelled transfer sets its event";
    EXPECT_FALSE(host.GetOverlappedResult(readPipe, ov, &got, true));
    EXPECT_FALSE(host.GetOverlappedResult(readPipe, ov, &got, true)) << "collected once only";

    // Closing a pipe with a read in flight cancels and collects it.
    Overlapped second;
    second.event = host.CreateEvent(false);
    ASSERT_EQ(host.ReadFile(readPipe, buffer.data(), 64, second), IoStart::Pending);
    EXPECT_TRUE(host.CloseHandle(readPipe));
    const std::array<Handle, 1> secondEvents{second.event};
    EXPECT_EQ(host.WaitForEvents(secondEvents, true, 0), 0);
    EXPECT_FALSE(host.GetOverlappedResult(readPipe, second, &got, true));
    EXPECT_FALSE(host.CloseHandle(readPipe)) << "closing twice";
    EXPECT_EQ(host.ReadFile(readPipe, buffer.data(), 64, second), IoStart::Failed) << "a stale handle";

    // Refused starts never touch the event.
    const Handle plain = host.OpenFile(cable.SideA() + "\\3", ACCESS_READ, SHARE_READ, false);
    ASSERT_NE(plain, INVALID_HANDLE);
    EXPECT_EQ(host.ReadFile(plain, buffer.data(), 64, second), IoStart::Failed) << "not opened overlapped";
    Overlapped noEvent;
    EXPECT_EQ(host.ReadFile(plain, buffer.data(), 64, noEvent), IoStart::Failed);
    EXPECT_EQ(host.WriteFile(plain, nullptr, 64, second), IoStart::Failed);
    EXPECT_TRUE(host.CloseHandle(plain));
    EXPECT_TRUE(host.CloseHandle(second.event));
    EXPECT_TRUE(host.CloseHandle(ov.event));
}

TEST(Win32Overlapped, EventsWaitsAndHandles)
{
    Win32Host host;
    const Handle a = host.CreateEvent(false), b = host.CreateEvent(true);
    ASSERT_NE(a, INVALID_HANDLE);
    ASSERT_NE(b, a);
    const std::array<Handle, 2> both{a, b};
    EXPECT_EQ(host.WaitForEvents(both, false, 0), 1);
    EXPECT_EQ(host.WaitForEvents(both, true, 10), WAIT_TIMED_OUT);
    ASSERT_TRUE(host.SetEvent(a));
    EXPECT_EQ(host.WaitForEvents(both, true, 0), 0);
    ASSERT_TRUE(host.ResetEvent(b));
    EXPECT_EQ(host.WaitForEvents(both, false, 0), 0) << "manual reset: still set";

    EXPECT_EQ(host.WaitForEvents({}, true, 0), WAIT_FAILED);
    std::vector<Handle> many(65, a);
    EXPECT_EQ(host.WaitForEvents(many, false, 0), WAIT_FAILED);
    const std::array<Handle, 2> withBad{a, Handle(0xDEAD)};
    EXPECT_EQ(host.WaitForEvents(withBad, false, 0), WAIT_FAILED);

    ASSERT_TRUE(host.CloseHandle(a));
    EXPECT_FALSE(host.SetEvent(a)) << "closed";
    EXPECT_FALSE(host.CloseHandle(a));
    const Handle c = host.CreateEvent(false);
    EXPECT_NE(c, a) << "a handle value is never handed out twice";
    EXPECT_FALSE(host.CloseHandle(INVALID_HANDLE));
    EXPECT_TRUE(host.CloseHandle(b));
    EXPECT_TRUE(host.CloseHandle(c));
}

// ----- Devices and the system ----------------------------------------------------------------------

TEST(Win32System, QueriesFailCleanly)
{
    Win32Host host;
    EXPECT_EQ(host.OpenFile("\\\\.\\HOSTLNK-1", ACCESS_READ | ACCESS_WRITE, SHARE_READ | SHARE_WRITE, false),
              INVALID_HANDLE) << "no driver here";
    EXPECT_EQ(host.OpenFile("", ACCESS_READ, SHARE_READ, false), INVALID_HANDLE);
    EXPECT_EQ(host.OpenFile(std::string(300, 'x'), ACCESS_READ, SHARE_READ, false), INVALID_HANDLE);
    std::uint8_t buffer[16] = {};
    std::uint32_t returned = 7;
    EXPECT_FALSE(host.DeviceIoControl(INVALID_HANDLE, IOCTL_VENDOR_REQUEST, buffer, sizeof buffer, &returned));
    EXPECT_EQ(returned, 0u);
    const Handle event = host.CreateEvent(false);
    EXPECT_FALSE(host.DeviceIoControl(event, IOCTL_VENDOR_REQUEST, buffer, sizeof buffer, nullptr)) << "not a device";
    EXPECT_FALSE(host.DeviceIoControl(event, 0x1234, buffer, sizeof buffer, nullptr));
    host.CloseHandle(event);

    const std::string windows = host.GetWindowsDirectory();
    EXPECT_FALSE(windows.empty());
    EXPECT_EQ(host.GetPlatformId(), PLATFORM_WIN32_NT);
    std::string value;
    ASSERT_TRUE(host.ReadMachineRegistryString("Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", 260,
                                               value));
    EXPECT_EQ(value.size(), windows.size());
    EXPECT_FALSE(host.ReadMachineRegistryString("Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                                                value.size(), value)) << "no room for the terminator";
    EXPECT_FALSE(host.ReadMachineRegistryString("Software\\Microsoft\\Windows NT\\CurrentVersion", "NoSuchValue", 260, value));
    EXPECT_FALSE(host.ReadMachineRegistryString("Software\\NoSuchKey", "x", 260, value));

    // The device manager: whatever this system has, answers stay within the contract.
    std::vector<std::string> ids;
    if (host.EnumeratePresentDevices("USB", 200, ids)) {
        for (const std::string &id : ids)
            EXPECT_LT(id.size(), 200u);
    }
    EXPECT_FALSE(host.EnumeratePresentDevices("", 200, ids));
    EXPECT_EQ(host.GetChild(NO_DEVNODE), NO_DEVNODE);
    EXPECT_EQ(host.GetSibling(NO_DEVNODE), NO_DEVNODE);
    EXPECT_FALSE(host.GetNodeProperty(NO_DEVNODE, DEVNODE_PROP_DRIVER, 256, value));
    EXPECT_FALSE(host.GetNodeInstanceId(NO_DEVNODE, 256, value));
    EXPECT_FALSE(host.IsDevicePresent(""));
    EXPECT_FALSE(host.IsDevicePresent("USB\\VID_0C5E&PID_7730\\NOSUCHDEVICE"));
    const DevNode root = host.GetRootNode();
    if (root != NO_DEVNODE) {
        EXPECT_FALSE(host.GetNodeInstanceId(root, 1, value)) << "an ID does not fit one byte";
        EXPECT_FALSE(host.GetNodeProperty(root, 99, 256, value)) << "only the two properties the kit reads";
    }
    const InstallWait wait = host.WaitNoPendingInstallEvents(0);
    EXPECT_TRUE(wait == InstallWait::NoneLeft || wait == InstallWait::TimedOut || wait == InstallWait::Unavailable
                || wait == InstallWait::Failed);
}

TEST(Win32System, DeviceChangesReachSubscribers)
{
    std::atomic<int> arrivals{0}, removals{0}, selfRemoving{0};
    {
        Win32Host host;
        const auto first = host.SubscribeDeviceChanges([&](DeviceChange change) {
            (change == DeviceChange::Arrival ? arrivals : removals)++;
        });
        std::uint64_t second = 0;
        second = host.SubscribeDeviceChanges([&](DeviceChange) {
            selfRemoving++;
            host.UnsubscribeDeviceChanges(second); // from inside its own callback
        });
        EXPECT_NE(first, 0u);
        EXPECT_NE(second, first);
        const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, Win32Host::kNotifyWindowClass, nullptr);
        ASSERT_NE(window, nullptr);
        DEV_BROADCAST_HDR header{};
        header.dbch_size = sizeof header;
        header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
        SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&header));
        EXPECT_EQ(arrivals, 1);
        EXPECT_EQ(removals, 1);
        EXPECT_EQ(selfRemoving, 1) << "ended its own subscription at the first change";
        host.UnsubscribeDeviceChanges(first);
        SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
        EXPECT_EQ(arrivals, 1) << "no call after unsubscribing";
        host.UnsubscribeDeviceChanges(12345); // unknown ids are ignored
    } // the window's thread is joined here
    EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, Win32Host::kNotifyWindowClass, nullptr), nullptr);
}

} // namespace
