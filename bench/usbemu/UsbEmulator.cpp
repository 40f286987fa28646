// The USB emulator's public face: its testbed's life, the preload restart, and the knobs tests turn
// (held discards, short answers, hidden port counts, refused access).

#include "UsbEmulatorImpl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace bench {

UsbEmulator::UsbEmulator(Bench& world) : m(std::make_unique<Impl>(world))
{
    m->testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m->testbed);
    m->root = root;
    g_free(root);
    m->handler = umockdev_ioctl_base_new();
    g_signal_connect(m->handler, "handle-ioctl", G_CALLBACK(&Impl::HandleIoctl), m.get());
    m->Sync();
    m->subscription = world.Pc().Subscribe([impl = m.get()](platform::DeviceChange) { impl->Sync(); });
}

UsbEmulator::~UsbEmulator()
{
    m->world.Pc().Unsubscribe(m->subscription);
    std::vector<std::shared_ptr<Impl::Node>> present, all;
    {
        std::lock_guard lock(m->mutex);
        for (auto& [id, node] : m->byDevice)
            present.push_back(node);
        for (auto& [path, node] : m->nodes)
            all.push_back(node);
    }
    std::sort(present.begin(), present.end(),
              [](const auto& a, const auto& b) { return a->syspath.size() > b->syspath.size(); });
    for (const auto& node : present)
        m->RemoveNode(node); // detaches its node
    // URBs nobody reaped any more (their program ended or closed the device first).
    for (const auto& node : all) {
        std::lock_guard lock(m->mutex);
        Impl::ReleaseUrbs(*node);
    }
    g_object_unref(m->testbed);
    g_object_unref(m->handler);
}

namespace {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

} // namespace

std::string UsbEmulator::PreloadValue()
{
    std::string preload = kPreloadLibrary;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old && std::string(old).find(preload) == std::string::npos)
        preload += std::string(":") + old;
    return preload;
}

void UsbEmulator::RunUnderPreload(char** argv)
{
    const char* current = std::getenv("LD_PRELOAD");
    if (current && std::strstr(current, kPreloadLibrary))
        return;
    const std::string old = current ? current : "";
    ::setenv("LD_PRELOAD", PreloadValue().c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime insists on coming first among the libraries; the preload one is ahead.
    std::string options = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    options += std::string(options.empty() ? "" : ":") + "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "%s: cannot restart with %s (%s); programs inside the emulated USB stack will not see "
                         "cables plugged or unplugged while they run\n",
                 argv[0], kPreloadLibrary, std::strerror(errno));
    if (old.empty())
        ::unsetenv("LD_PRELOAD");
    else
        ::setenv("LD_PRELOAD", old.c_str(), 1);
}

std::map<std::string, std::string> UsbEmulator::Environment() const
{
    std::map<std::string, std::string> env;
    env["UMOCKDEV_DIR"] = m->root;
    env["LD_PRELOAD"] = PreloadValue();
    return env;
}

void UsbEmulator::Sync() { m->Sync(); }

void UsbEmulator::HoldDiscards(DeviceId device, bool held)
{
    std::vector<ObjectHandle> pipes;
    {
        std::lock_guard lock(m->mutex);
        auto it = m->byDevice.find(device);
        if (it == m->byDevice.end())
            return;
        Impl::Node& node = *it->second;
        node.holdDiscards = held;
        if (!held)
            for (auto& urb : node.flying)
                if (urb->held) {
                    urb->held = false;
                    pipes.push_back(urb->endpoint == kInEndpoint ? node.readPipe : node.writePipe);
                }
    }
    for (ObjectHandle pipe : pipes)
        m->world.Pc().Cancel(pipe);
}

void UsbEmulator::ShortenAnswers(DeviceId device, int bytes)
{
    std::lock_guard lock(m->mutex);
    if (auto it = m->byDevice.find(device); it != m->byDevice.end())
        it->second->answerLimit = bytes;
}

void UsbEmulator::HidePortCounts(bool hidden)
{
    std::lock_guard lock(m->syncMutex);
    m->hidePortCounts = hidden;
}

void UsbEmulator::ShowPortCount(DeviceId hub)
{
    std::string syspath;
    int ports = 0;
    {
        std::lock_guard lock(m->mutex);
        auto it = m->byDevice.find(hub);
        if (it == m->byDevice.end())
            return;
        syspath = it->second->syspath;
        ports = it->second->identity.hubPorts;
    }
    umockdev_testbed_set_attribute(m->testbed, syspath.c_str(), "maxchild", std::to_string(ports).c_str());
}

void UsbEmulator::DenyAccess(DeviceId device, bool denied)
{
    std::string devnode;
    {
        std::lock_guard lock(m->mutex);
        auto it = m->byDevice.find(device);
        if (it == m->byDevice.end())
            return;
        devnode = it->second->devnode;
    }
    // The node becomes a plain file nobody may open (the emulated stack cannot refuse an open on its
    // own); every other node stays open to all, so an unprivileged look sees only this refusal.
    const std::string path = m->root + devnode;
    if (denied) {
        umockdev_testbed_detach_ioctl(m->testbed, devnode.c_str(), nullptr);
        ::unlink(path.c_str());
        if (FILE* f = std::fopen(path.c_str(), "w"))
            std::fclose(f);
        ::chmod(path.c_str(), 0);
    } else {
        ::chmod(path.c_str(), 0666);
        umockdev_testbed_attach_ioctl(m->testbed, devnode.c_str(), m->handler, nullptr);
    }
    std::error_code error;
    ::chmod(m->root.c_str(), 0755);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m->root, error)) {
        if (entry.is_directory(error))
            ::chmod(entry.path().c_str(), 0755);
        else if (entry.path() != path || !denied)
            ::chmod(entry.path().c_str(), 0666);
    }
}

} // namespace bench
