#pragma once
// An emulated USB stack (umockdev) in which a bench's world answers a PC's real usbfs requests:
// every controller is a bus with its root hub, every hub and device appears in the emulated sysfs
// and /dev/bus/usb with its descriptors, and a cable side's control transfers and bulk transfers
// (OUT 0x02, IN 0x83) are served by the bench's cable model. Plugging and unplugging on the bench
// is hot-plug in the emulated stack.
//
// The emulated stack is seen by this process when it runs with umockdev's preload library (e.g.
// under umockdev-wrapper), and by children started with Environment(). A program that hosts an
// emulator for others calls RunUnderPreload() first: umockdev announces plugging and unplugging
// through the udev library, which finds the emulated devices only through that preload library, so
// without it the children never hear of a change.
//
// The usbfs requests are answered on umockdev's own worker thread; the bench's notifications are
// applied to the emulated sysfs on the thread that changed the bench.

#include "Bench.h"

#include <map>
#include <memory>
#include <string>

namespace bench {

class UsbEmulator {
public:
    // Restarts this program (argv as given to main) with umockdev's preload library unless it already
    // runs with it; returns only when it does, or when the restart failed (said on stderr: the
    // emulator then works without device-change events). Call before any thread starts.
    static void RunUnderPreload(char** argv);
    // LD_PRELOAD with umockdev's preload library ahead of what it already holds.
    static std::string PreloadValue();

    explicit UsbEmulator(Bench& world);
    ~UsbEmulator();
    UsbEmulator(const UsbEmulator&) = delete;
    UsbEmulator& operator=(const UsbEmulator&) = delete;

    // The environment a child needs to see the emulated stack: the testbed's directory and the
    // preload library ahead of whatever LD_PRELOAD already holds.
    std::map<std::string, std::string> Environment() const;

    // Applies the bench's topology to the emulated stack now (notifications do it on their own).
    void Sync();

    // Makes opening this bench device's node fail as it does for a user without permission.
    void DenyAccess(DeviceId device, bool denied = true);

    // Makes the discards of this device's URBs go unheeded, as with a host controller that gives a
    // cancelled transfer back late or never: a held URB goes on and finishes as it would have without
    // the discard. Released (held = false), the held URBs are discarded then.
    void HoldDiscards(DeviceId device, bool held = true);

    // Makes this device answer vendor IN requests with at most `bytes` bytes (-1: whole answers again),
    // as a chip that returns less than it was asked for.
    void ShortenAnswers(DeviceId device, int bytes);

    // Hubs that appear from now on show no port count (sysfs maxchild 0), as a hub that is still
    // starting may, until ShowPortCount(hub) gives it (without an event of its own).
    void HidePortCounts(bool hidden);
    void ShowPortCount(DeviceId hub);

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

} // namespace bench
