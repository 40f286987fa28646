#pragma once
// Inside the USB backend (private to platform/usb): the host's state, shared by its public face
// (UsbHost.cpp) and the topology mirror that keeps the PC model in step with libusb (UsbHostMirror.cpp).

#include "UsbHost.h"

#include "PcModel.h"
#include "SimHost.h"
#include "UsbSide.h"

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform {

struct UsbHost::Impl {
    libusb_context* ctx = nullptr;
    std::unique_ptr<pcmodel::PcModel> face;
    std::unique_ptr<SimHost> host;

    // The mirror: the kernel's name of each device -> the PC model's device standing for it, and which
    // live device (bus and address) it was.
    struct Mirrored {
        pcmodel::DeviceId id = 0;
        pcmodel::DeviceId parentHub = 0;
        int port = 0;
        int bus = 0, address = 0;
        int hubPorts = -1; // a hub: the port count its sysfs entry gave (0: none, 4 taken); -1: not a hub
    };
    std::mutex syncMutex;
    std::map<std::string, Mirrored> mirrored;
    std::map<int, pcmodel::DeviceId> rootHubs; // bus -> root hub

    std::mutex reportMutex;
    std::set<std::string> reportedNodes;

    // Handles a side kept open for a transfer libusb gave back late: the watcher closes them.
    std::vector<libusb_device_handle*> toClose; // guarded by watchMutex
    void CloseLater(libusb_device_handle* h)
    {
        {
            std::lock_guard lock(watchMutex);
            toClose.push_back(h);
        }
        watchWake.notify_all();
    }
    void CloseHandles()
    {
        std::vector<libusb_device_handle*> handles;
        {
            std::lock_guard lock(watchMutex);
            handles.swap(toClose);
        }
        for (libusb_device_handle* h : handles) {
            libusb_release_interface(h, kUsbInterface);
            libusb_close(h);
        }
    }

    std::atomic<bool> stopping{false};
    std::thread events;
    std::thread watcher;
    std::mutex watchMutex;
    std::condition_variable watchWake;
    bool dirty = false;
    libusb_hotplug_callback_handle hotplug = 0;
    bool hotplugRegistered = false;

    void SayOnce(const std::string& key, const std::string& text)
    {
        std::lock_guard lock(reportMutex);
        if (reportedNodes.insert(key).second)
            std::fputs(text.c_str(), stderr);
    }

    std::set<std::string> refusedNodes; // device nodes whose last open was refused for lack of permission

    void ReportAccess(const std::string& node, bool refused)
    {
        std::lock_guard lock(reportMutex);
        if (!refused) {
            refusedNodes.erase(node);
            return;
        }
        refusedNodes.insert(node);
        if (!reportedNodes.insert(node).second)
            return;
        std::fprintf(stderr,
                     "qt7730: no permission to open %s; add the operator to the group of the kit's udev rules "
                     "(%s), or add a rule for this device's vendor/product ID, then plug it in again\n",
                     node.c_str(), "/lib/udev/rules.d/70-qt7730-mfg-kit.rules");
    }

    static int LIBUSB_CALL HotplugEvent(libusb_context*, libusb_device*, libusb_hotplug_event, void* user)
    {
        auto* self = static_cast<Impl*>(user);
        {
            std::lock_guard lock(self->watchMutex);
            self->dirty = true;
        }
        self->watchWake.notify_all();
        return 0;
    }

    // The topology mirror (UsbHostMirror.cpp).
    struct Live; // a device libusb lists now
    void Sync();
    std::vector<Live> LiveDevices(libusb_device** list, ssize_t count) const;
    void DropStale(const std::map<std::string, const Live*>& byName);
    void MirrorNew(const Live& live);
    pcmodel::DeviceId ParentOf(const Live& live, int bus, int& port) const;
};

} // namespace platform
