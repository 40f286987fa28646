#pragma once
// The USB backend's live device (private to platform/usb): a device of this PC as the PC model's
// plugged device, its vendor requests and bulk transfers going to the real device through libusb.

#include "PcModel.h"

#include <libusb.h>

#include <functional>
#include <memory>
#include <string>

namespace platform {

// The chip's interface: claimed while the kit holds a side, released at its last close.
constexpr int kUsbInterface = 0;

// A live device for the PC model. `reportAccess(node, refused)` after every open of the device node
// (refused: for lack of permission); `sayOnce(key, text)` says a text on stderr once per key;
// `closeLater` closes a handle on a thread of the host's: libusb's own event thread must not
// (libusb_close there waits for another thread's close).
std::shared_ptr<pcmodel::PluggedDevice> MakeUsbSide(
    libusb_device* dev, std::function<void(const std::string& node, bool refused)> reportAccess,
    std::function<void(const std::string& key, const std::string& text)> sayOnce,
    std::function<void(libusb_device_handle*)> closeLater);

} // namespace platform
