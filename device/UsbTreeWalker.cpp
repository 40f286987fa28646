#include "UsbTreeWalker.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

using namespace platform;

// Hub request buffers: sizes and offsets of the operating system's structures.
constexpr uint32_t kNodeInfoSize = 76;
constexpr std::size_t kNodeInfoPortCount = 6;
constexpr uint32_t kConnectionInfoSize = 388;
constexpr std::size_t kConnVendor = 12, kConnProduct = 14, kConnIsHub = 24, kConnStatus = 31;
constexpr uint8_t kDeviceConnected = 1;
constexpr uint32_t kConnectionNameSize = 520;
constexpr uint32_t kDriverKeyProbeSize = 10;
constexpr std::size_t kNameLengthOffset = 4, kNameOffset = 8;
constexpr std::size_t kMaxHubNameBytes = 252;
// A driver-key answer larger than this is not a driver key; refusing it bounds the allocation.
constexpr uint32_t kMaxDriverKeySize = 4096;
// Hubs nest at most five deep below a root hub; anything deeper is a damaged answer, not a bus.
constexpr int kMaxHubDepth = 16;

constexpr std::size_t kInstanceIdBytes = 260;
constexpr std::size_t kSymbolicNameBytes = 260;
constexpr std::size_t kDescriptionBytes = 512;
constexpr std::size_t kDriverKeyBytesForDescription = 512;
constexpr std::size_t kDriverKeyBytesForId = 260;

uint32_t Le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void PutLe32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

std::string PortText(uint32_t port)
{
    return "Port " + std::to_string(port);
}

struct HubHandle {
    Host &host;
    Handle handle;
    HubHandle(Host &h, const std::string &path)
        : host(h), handle(h.OpenFile(path, ACCESS_WRITE, SHARE_WRITE, false))
    {
    }
    ~HubHandle() { host.CloseHandle(handle); }
    HubHandle(const HubHandle &) = delete;
    HubHandle &operator=(const HubHandle &) = delete;
};

// bNumberOfPorts from the node-information request, or -1 when it fails.
int NodePortCount(Host &host, Handle hub)
{
    if (hub == INVALID_HANDLE)
        return -1;
    uint8_t info[kNodeInfoSize] = {};
    if (!host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, info, sizeof info, nullptr))
        return -1;
    return info[kNodeInfoPortCount];
}

} // namespace

std::string NarrowUtf16(const uint8_t *units, std::size_t maxUnits, std::size_t maxBytes)
{
    std::string text;
    for (std::size_t i = 0; i < maxUnits && text.size() < maxBytes; ++i) {
        const uint16_t unit = Le16(units + 2 * i);
        if (unit == 0)
            break;
        text.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
    return text;
}

bool UsbTreeWalker::IsNtPlatform()
{
    return m_host.GetPlatformId() == PLATFORM_WIN32_NT;
}

int UsbTreeWalker::WalkAllControllers(UsbNodeVisitor visitor, void *context)
{
    ClearTree();
    std::vector<std::string> ids;
    if (!m_host.EnumeratePresentDevices("USB", kInstanceIdBytes, ids))
        return 0;
    int total = 0;
    int controller = 0;
    bool failed = false;
    for (std::string id : ids) {
        std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::toupper(c); });
        const auto path = GetRootHubPath(id);
        if (!path)
            continue;
        HubHandle hub(m_host, *path);
        if (hub.handle == INVALID_HANDLE || failed)
            continue;
        const TreeItem item = m_tree.InsertItem("Host Controller " + std::to_string(controller), ITEM_HUB);
        const int count = WalkRootHub(hub.handle, item, controller, visitor, context);
        if (count == kError)
            failed = true;
        else
            total += count;
        ++controller;
    }
    return total;
}

std::optional<std::string> UsbTreeWalker::ReadSymbolicName(const std::string &instanceId, const char *ntKey,
                                                           const char *otherKey)
{
    char key[kInstanceIdBytes + 64];
    std::snprintf(key, sizeof key, IsNtPlatform() ? ntKey : otherKey, instanceId.c_str());
    std::string value;
    if (!m_host.ReadMachineRegistryString(key, "SymbolicName", kSymbolicNameBytes, value))
        return std::nullopt;
    return value;
}

std::optional<std::string> UsbTreeWalker::GetRootHubPath(const std::string &instanceId)
{
    if (instanceId.find("ROOT_HUB") == std::string::npos)
        return std::nullopt;
    auto value = ReadSymbolicName(instanceId, "SYSTEM\\CurrentControlSet\\Enum\\%s\\Device Parameters",
                                  "Enum\\%s");
    // "\??\..." becomes "\\.\..."; on other platforms "\DosDevices\..." does too. A value too short
    // to carry its prefix is not a path.
    const bool nt = IsNtPlatform();
    if (!value || value->size() < (nt ? 4u : 12u))
        return std::nullopt;
    std::string path = *value;
    path[1] = '\\';
    path[2] = '.';
    if (!nt)
        path = path.substr(0, 3) + path.substr(11);
    return path;
}

int UsbTreeWalker::WalkRootHub(Handle hub, TreeItem controller, int number, UsbNodeVisitor visitor, void *context)
{
    const int ports = NodePortCount(m_host, hub);
    if (ports < 0)
        return kError;
    const int count = WalkHub(hub, ports, controller, visitor, context, 1, std::to_string(number));
    if (count > 0)
        m_tree.Expand(controller);
    return count;
}

int UsbTreeWalker::WalkHub(Handle hub, int portCount, TreeItem parent, UsbNodeVisitor visitor, void *context,
                           int depth, const std::string &location)
{
    int accepted = 0;
    for (int port = 1; port <= portCount; ++port) {
        const std::string portText = PortText(port);
        const std::string here = location + (depth == 1 ? "-" : ".") + std::to_string(port);
        uint8_t info[kConnectionInfoSize] = {};
        PutLe32(info, port);
        if (!m_host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, info, sizeof info, nullptr)) {
            m_tree.InsertItem(portText, ITEM_ERROR); // at the top level: the tree is never shown
            continue;
        }
        if (info[kConnStatus] != kDeviceConnected) {
            m_tree.InsertItem(portText, ITEM_PORT, parent);
            continue;
        }
        if (info[kConnIsHub]) {
            const TreeItem hubItem = m_tree.InsertItem(portText, ITEM_HUB, parent);
            uint8_t name[kConnectionNameSize] = {};
            PutLe32(name, port);
            if (!m_host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, name, sizeof name, nullptr)) {
                m_tree.InsertItem(portText, ITEM_PORT, parent);
                continue;
            }
            // ActualLength comes from outside: never read beyond the buffer whatever it says.
            const std::size_t units =
                std::min<std::size_t>(Le32(name + kNameLengthOffset) / 2, (sizeof name - kNameOffset) / 2);
            const std::string path = "\\\\.\\" + NarrowUtf16(name + kNameOffset, units, kMaxHubNameBytes);
            HubHandle child(m_host, path);
            const int childPorts = depth < kMaxHubDepth ? NodePortCount(m_host, child.handle) : -1;
            if (childPorts < 0) {
                m_tree.InsertItem(portText, ITEM_ERROR, parent);
                continue;
            }
            const int below = WalkHub(child.handle, childPorts, hubItem, visitor, context, depth + 1, here);
            if (below > 0) {
                m_tree.Expand(hubItem);
                accepted += below;
            }
            continue;
        }

        auto record = std::make_shared<UsbNodeInfo>();
        record->pszDriverKey = GetDriverKeyName(hub, port);
        const auto description = FindDeviceDescription(record->pszDriverKey);
        const std::string text = portText + " - " + (description ? *description : "(no description)");
        record->hItem = m_tree.InsertItem(text, ITEM_PORT, parent);
        record->idVendor = Le16(info + kConnVendor);
        record->idProduct = Le16(info + kConnProduct);
        record->pszDeviceId = FindDeviceId(record->pszDriverKey);
        record->pszDevicePath = GetDevicePath(record->pszDeviceId);
        record->location = here;
        UsbNodeInfo *raw = record.get();
        m_tree.Attach(raw->hItem, std::move(record));
        if (!visitor || visitor(context, raw))
            ++accepted;
    }
    return accepted;
}

std::optional<std::string> UsbTreeWalker::GetDriverKeyName(Handle hub, uint32_t port)
{
    uint8_t probe[kDriverKeyProbeSize] = {};
    PutLe32(probe, port);
    if (!m_host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, sizeof probe, nullptr))
        return std::nullopt;
    const uint32_t actual = Le32(probe + kNameLengthOffset);
    if (actual <= kDriverKeyProbeSize || actual > kMaxDriverKeySize)
        return std::nullopt;
    std::vector<uint8_t> buffer(actual);
    PutLe32(buffer.data(), port);
    if (!m_host.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, buffer.data(), actual, nullptr))
        return std::nullopt;
    return NarrowUtf16(buffer.data() + kNameOffset, (actual - kNameOffset) / 2, actual);
}

DevNode UsbTreeWalker::FindNodeByDriverKey(const std::string &key, std::size_t keyBufferBytes)
{
    const DevNode root = m_host.GetRootNode();
    DevNode node = root;
    std::string value;
    while (node != NO_DEVNODE) {
        if (m_host.GetNodeProperty(node, DEVNODE_PROP_DRIVER, keyBufferBytes, value) &&
            strcasecmp(value.c_str(), key.c_str()) == 0)
            return node;
        if (const DevNode child = m_host.GetChild(node)) {
            node = child;
            continue;
        }
        // No child: the next sibling, or the next sibling of the nearest ancestor that has one.
        while (node != NO_DEVNODE) {
            if (node == root)
                return NO_DEVNODE;
            if (const DevNode sibling = m_host.GetSibling(node)) {
                node = sibling;
                break;
            }
            node = m_host.GetParent(node);
        }
    }
    return NO_DEVNODE;
}

std::optional<std::string> UsbTreeWalker::FindDeviceDescription(const std::optional<std::string> &driverKey)
{
    if (!driverKey)
        return std::nullopt;
    const DevNode node = FindNodeByDriverKey(*driverKey, kDriverKeyBytesForDescription);
    std::string description;
    if (node == NO_DEVNODE || !m_host.GetNodeProperty(node, DEVNODE_PROP_DEVICEDESC, kDescriptionBytes, description))
        return std::nullopt;
    return description;
}

std::optional<std::string> UsbTreeWalker::FindDeviceId(const std::optional<std::string> &driverKey)
{
    if (!driverKey)
        return std::nullopt;
    const DevNode node = FindNodeByDriverKey(*driverKey, kDriverKeyBytesForId);
    std::string id;
    if (node == NO_DEVNODE || !m_host.GetNodeInstanceId(node, kInstanceIdBytes, id))
        return std::nullopt;
    return id;
}

std::optional<std::string> UsbTreeWalker::GetDevicePath(const std::optional<std::string> &instanceId)
{
    if (!instanceId)
        return std::nullopt;
    const auto value = ReadSymbolicName(*instanceId, "System\\CurrentControlSet\\Enum\\%s\\Device Parameters",
                                        "Enum\\%s");
    const std::size_t prefix = IsNtPlatform() ? 4 : 12; // "\??\" or "\DosDevices\"
    if (!value || value->size() <= prefix)
        return std::nullopt;
    return "\\\\.\\" + value->substr(prefix);
}
