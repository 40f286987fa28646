// The device manager, the registry and the system as the client sees them through the daemon. What
// stays the same between device-change notifications (the device tree, registry values, the system
// directory) is kept here and dropped by SocketHost::Invalidate(); the rest is asked each time.
#include "SocketHost.h"

#include "BenchHome.h"
#include "BenchWire.h"
#include "EmbeddedVersion.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace benchwire {

using namespace platform;

namespace {

bool FitsBuffer(const std::string &text, std::size_t bufferBytes)
{
    return text.size() + 1 <= bufferBytes;
}

} // namespace

bool SocketHost::LoadTree(Cache &cache)
{
    std::string answer;
    if (!Call(Writer(Op::TreeSnapshot).Frame(), answer))
        return false;
    Reader in(answer);
    cache.root = in.u32();
    const uint32_t count = in.u32();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        const DevNode id = in.u32();
        Node node;
        node.parent = in.u32();
        node.child = in.u32();
        node.sibling = in.u32();
        for (auto *field : {&node.driverKey, &node.description, &node.instanceId}) {
            const bool has = in.u8() != 0;
            std::string text = in.str();
            if (has)
                *field = std::move(text);
        }
        cache.nodes[id] = std::move(node);
    }
    if (!in.AtEnd()) {
        cache.nodes.clear();
        cache.root = NO_DEVNODE;
        return false;
    }
    cache.treeLoaded = true;
    return true;
}

const SocketHost::Node *SocketHost::FindNode(DevNode node)
{
    // Called with m_cacheMutex held; the lock is let go while the snapshot travels.
    if (!m_cache.treeLoaded) {
        Cache fresh;
        const uint64_t generation = m_generation;
        m_cacheMutex.unlock();
        const bool loaded = LoadTree(fresh);
        m_cacheMutex.lock();
        if (loaded) {
            m_cache.root = fresh.root;
            m_cache.nodes = std::move(fresh.nodes);
            // If a notification came in meanwhile, this answer serves this call and the next call
            // loads again.
            m_cache.treeLoaded = generation == m_generation;
        }
    }
    if (node == NO_DEVNODE)
        return nullptr;
    const auto it = m_cache.nodes.find(node);
    return it == m_cache.nodes.end() ? nullptr : &it->second;
}

DevNode SocketHost::GetRootNode()
{
    std::lock_guard lock(m_cacheMutex);
    FindNode(NO_DEVNODE);
    return m_cache.root;
}

DevNode SocketHost::GetChild(DevNode node)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    return n ? n->child : NO_DEVNODE;
}

DevNode SocketHost::GetSibling(DevNode node)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    return n ? n->sibling : NO_DEVNODE;
}

DevNode SocketHost::GetParent(DevNode node)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    return n ? n->parent : NO_DEVNODE;
}

bool SocketHost::GetNodeProperty(DevNode node, uint32_t property, std::size_t bufferBytes, std::string &value)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    if (!n)
        return false;
    const std::optional<std::string> *field = property == DEVNODE_PROP_DRIVER     ? &n->driverKey
                                              : property == DEVNODE_PROP_DEVICEDESC ? &n->description
                                                                                    : nullptr;
    if (!field || !*field || !FitsBuffer(**field, bufferBytes))
        return false;
    value = **field;
    return true;
}

bool SocketHost::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string &id)
{
    std::lock_guard lock(m_cacheMutex);
    const Node *n = FindNode(node);
    if (!n || !n->instanceId || !FitsBuffer(*n->instanceId, bufferBytes))
        return false;
    id = *n->instanceId;
    return true;
}

bool SocketHost::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName,
                                           std::size_t bufferBytes, std::string &value)
{
    std::string key(subKey);
    key.push_back('\0');
    key += valueName;
    for (char &c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c))); // the registry ignores case
    std::optional<std::string> text;
    bool cached = false;
    uint64_t generation = 0;
    {
        std::lock_guard lock(m_cacheMutex);
        const auto it = m_cache.registry.find(key);
        if (it != m_cache.registry.end()) {
            text = it->second;
            cached = true;
        }
        generation = m_generation;
    }
    if (!cached) {
        std::string answer;
        // Asked with a generous buffer; the caller's buffer size is applied below, to the cached text.
        if (!Call(Writer(Op::RegistryString).str(subKey).str(valueName).u32(1u << 16).Frame(), answer))
            return false;
        Reader in(answer);
        const bool ok = in.u8() != 0;
        std::string got = in.str();
        if (!in.AtEnd())
            return false;
        if (ok)
            text = std::move(got);
        std::lock_guard lock(m_cacheMutex);
        if (generation == m_generation)
            m_cache.registry[key] = text;
    }
    if (!text || !FitsBuffer(*text, bufferBytes))
        return false;
    value = *text;
    return true;
}

std::string SocketHost::GetWindowsDirectory()
{
    {
        std::lock_guard lock(m_cacheMutex);
        if (m_cache.systemLoaded)
            return m_cache.windowsDirectory;
    }
    std::string answer;
    if (!Call(Writer(Op::SystemInfo).Frame(), answer))
        return {};
    Reader in(answer);
    std::string directory = in.str();
    const uint32_t platformId = in.u32();
    if (!in.AtEnd())
        return {};
    std::lock_guard lock(m_cacheMutex);
    m_cache.windowsDirectory = directory;
    m_cache.platformId = platformId;
    m_cache.systemLoaded = true;
    return directory;
}

uint32_t SocketHost::GetPlatformId()
{
    GetWindowsDirectory(); // loads both
    std::lock_guard lock(m_cacheMutex);
    return m_cache.platformId;
}

bool SocketHost::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                         std::vector<std::string> &instanceIds)
{
    instanceIds.clear();
    std::string answer;
    if (!Call(Writer(Op::EnumerateDevices).str(enumerator).u32(static_cast<uint32_t>(idBufferBytes)).Frame(), answer))
        return true; // no daemon: a PC with no USB devices
    Reader in(answer);
    const bool ok = in.u8() != 0;
    auto ids = in.strings();
    if (!in.AtEnd())
        return false;
    instanceIds = std::move(ids);
    return ok;
}

bool SocketHost::IsDevicePresent(std::string_view instanceId)
{
    return CallForFlag(Writer(Op::IsDevicePresent).str(instanceId));
}

InstallWait SocketHost::WaitNoPendingInstallEvents(uint32_t timeoutMs)
{
    std::string answer;
    if (!Call(Writer(Op::PendingInstalls).u32(timeoutMs).Frame(), answer, timeoutMs ? Speed::MayWait : Speed::Quick))
        return InstallWait::NoneLeft;
    Reader in(answer);
    const uint8_t result = in.u8();
    if (!in.AtEnd() || result > static_cast<uint8_t>(InstallWait::Failed))
        return InstallWait::Failed;
    return static_cast<InstallWait>(result);
}

std::string SocketHost::GetPrivateProfileString(std::string_view section, std::string_view key,
                                                std::string_view defaultValue, std::size_t bufferBytes,
                                                std::string_view path)
{
    std::string answer;
    if (!Call(Writer(Op::ProfileString).str(section).str(key).str(defaultValue)
                  .u32(static_cast<uint32_t>(std::min<std::size_t>(bufferBytes, 1u << 20))).str(path).Frame(),
              answer)) {
        std::string fallback(defaultValue.substr(0, bufferBytes ? bufferBytes - 1 : 0));
        return fallback;
    }
    Reader in(answer);
    std::string text = in.str();
    return in.AtEnd() ? text : std::string();
}

std::string SocketHost::GetModuleFileName()
{
    // The program's own file is on this machine, not the daemon's business.
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

std::optional<FileVersion> SocketHost::GetFileVersion(std::string_view path)
{
    return ReadEmbeddedVersion(std::string(path));
}

std::string SocketHost::DeviceNotice()
{
    int status = -1;
    std::string out;
    if (!RunControlCommand(m_socketPath, {"notices"}, status, out, 2000) || status != 0)
        return {}; // no daemon: the programs say so at start
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

} // namespace benchwire
