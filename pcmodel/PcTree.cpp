// The PC model's device manager (the tree of device nodes with instance IDs, driver keys and
// descriptions), its registry values, pending installations and device-change notifications.

#include "PcModelParts.h"

#include <algorithm>
#include <thread>

namespace pcmodel {

void PcModel::RebuildTreeIndex() const
{
    if (!m_treeDirty)
        return;
    m_tree.clear();
    auto& presentIds = m_presentIds;
    presentIds.clear();
    NodeLinks root;
    root.instanceId = "HTREE\\ROOT\\0";
    m_tree[kRootNode] = root;
    presentIds[root.instanceId] = kRootNode;

    // Links `children` (in order) below `parent`.
    auto link = [&](DevNode parent, const std::vector<DevNode>& children) {
        m_tree[parent].child = children.empty() ? 0 : children.front();
        for (std::size_t i = 0; i < children.size(); ++i) {
            NodeLinks& n = m_tree[children[i]];
            n.parent = parent;
            n.sibling = i + 1 < children.size() ? children[i + 1] : 0;
        }
    };
    std::function<void(const Device&)> addDevice = [&](const Device& d) {
        NodeLinks& n = m_tree[d.node];
        n.instanceId = d.instanceId;
        n.driverKey = d.driverKey;
        n.description = d.description;
        presentIds[ToUpper(d.instanceId)] = d.node;
        std::vector<DevNode> children;
        for (DeviceId id : d.ports)
            if (const Device* c = Find(id)) {
                addDevice(*c);
                children.push_back(c->node);
            }
        link(d.node, children);
    };
    std::vector<DevNode> controllers;
    for (DeviceId id : m_controllers) {
        const Device& hub = *Find(id);
        NodeLinks& c = m_tree[hub.controllerNode];
        c.instanceId = hub.controllerId;
        c.driverKey = hub.controllerDriverKey;
        c.description = "USB xHCI Compliant Host Controller";
        presentIds[ToUpper(hub.controllerId)] = hub.controllerNode;
        addDevice(hub);
        link(hub.controllerNode, {hub.node});
        controllers.push_back(hub.controllerNode);
    }
    link(kRootNode, controllers);
    m_treeDirty = false;
}

std::vector<std::string> PcModel::PresentInstanceIds(std::string_view enumerator) const
{
    std::lock_guard lock(m_mutex);
    const std::string prefix = ToUpper(enumerator) + "\\";
    std::vector<const Device*> found;
    for (const auto& [id, d] : m_devices)
        if (ToUpper(d->instanceId).compare(0, prefix.size(), prefix) == 0)
            found.push_back(d.get());
    std::sort(found.begin(), found.end(), [](const Device* a, const Device* b) { return a->sequence < b->sequence; });
    std::vector<std::string> ids;
    for (const Device* d : found)
        ids.push_back(d->instanceId);
    return ids;
}

DevNode PcModel::Child(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    return it == m_tree.end() ? 0 : it->second.child;
}

DevNode PcModel::Sibling(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    return it == m_tree.end() ? 0 : it->second.sibling;
}

DevNode PcModel::Parent(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    return it == m_tree.end() ? 0 : it->second.parent;
}

std::optional<std::string> PcModel::NodeProperty(DevNode node, std::uint32_t property) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    if (it == m_tree.end())
        return std::nullopt;
    if (property == platform::DEVNODE_PROP_DRIVER && !it->second.driverKey.empty())
        return it->second.driverKey;
    if (property == platform::DEVNODE_PROP_DEVICEDESC)
        return it->second.description;
    return std::nullopt;
}

std::optional<std::string> PcModel::NodeInstanceId(DevNode node) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    auto it = m_tree.find(node);
    if (it == m_tree.end())
        return std::nullopt;
    return it->second.instanceId;
}

bool PcModel::IsPresent(std::string_view instanceId) const
{
    std::lock_guard lock(m_mutex);
    RebuildTreeIndex();
    return !instanceId.empty() && m_presentIds.count(ToUpper(instanceId));
}

platform::InstallWait PcModel::WaitNoPendingInstalls(std::uint32_t timeoutMs) const
{
    if (!m_options.pendingQueryAvailable)
        return platform::InstallWait::Unavailable;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::chrono::steady_clock::time_point until;
        {
            std::lock_guard lock(m_mutex);
            until = m_pendingUntil;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return platform::InstallWait::NoneLeft;
        if (now >= deadline)
            return platform::InstallWait::TimedOut;
        std::this_thread::sleep_for(std::min(until, deadline) - now);
    }
}

std::optional<std::string> PcModel::RegistryValue(std::string_view key, std::string_view value) const
{
    std::lock_guard lock(m_mutex);
    auto k = m_registry.find(ToUpper(key));
    if (k == m_registry.end())
        return std::nullopt;
    auto v = k->second.find(ToUpper(value));
    if (v == k->second.end())
        return std::nullopt;
    return v->second;
}

void PcModel::SetRegistryValue(std::string_view key, std::string_view value, std::string data)
{
    std::lock_guard lock(m_mutex);
    m_registry[ToUpper(key)][ToUpper(value)] = std::move(data);
}

std::uint32_t PcModel::PlatformId() const
{
    return m_options.layout == RegistryLayout::Nt ? platform::PLATFORM_WIN32_NT : platform::PLATFORM_WIN32_WINDOWS;
}

// ---------------------------------------------------------------------------------------------
// Notifications

std::uint64_t PcModel::Subscribe(ChangeCallback callback)
{
    std::lock_guard lock(m_notifyMutex);
    const std::uint64_t id = m_nextSubscriber++;
    m_subscribers.emplace(id, std::move(callback));
    return id;
}

void PcModel::Unsubscribe(std::uint64_t id)
{
    std::lock_guard lock(m_notifyMutex);
    m_subscribers.erase(id);
}

void PcModel::NotifyAll(platform::DeviceChange change, int times)
{
    std::lock_guard lock(m_notifyMutex);
    for (int i = 0; i < times; ++i) {
        std::vector<std::uint64_t> ids;
        for (const auto& [id, callback] : m_subscribers)
            ids.push_back(id);
        for (std::uint64_t id : ids) {
            auto it = m_subscribers.find(id); // a callback may have unsubscribed another one
            if (it == m_subscribers.end())
                continue;
            ChangeCallback callback = it->second; // a copy: the callback may unsubscribe itself
            callback(change);
        }
    }
}

} // namespace pcmodel
