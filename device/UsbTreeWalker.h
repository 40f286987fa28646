#pragma once
// The walk over every USB host controller's root hub and every hub behind it, port by port. Each
// device port yields a UsbNodeInfo record (IDs, driver key, instance ID, openable device path) that a
// visitor may accept. The items and records of the last walk live in the walker's tree until the
// next walk.

#include "Host.h"
#include "UsbTree.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// One device port of the last walk, owned by the tree item it is attached to. A caller that keeps a
// record beyond the visitor call keeps `weak_from_this()`: it expires when the walker clears its tree,
// and a worker that locks it holds the record alive for as long as it works with it.
struct UsbNodeInfo : std::enable_shared_from_this<UsbNodeInfo> {
    TreeItem hItem = TREE_NONE;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    std::optional<std::string> pszDriverKey;  // none: the device has no driver
    std::optional<std::string> pszDeviceId;   // instance ID of the node with that driver key
    std::optional<std::string> pszDevicePath; // "\\.\" + symbolic name without its prefix
    // Where the port is: the controller's number in the walk, then the port on the root hub and on each
    // hub below it ("0-2.3": controller 0, root hub port 2, port 3 of the hub there).
    std::string location;
};
using UsbNodeRef = std::weak_ptr<UsbNodeInfo>;

// Non-zero accepts the port. `context` is the caller's, passed through unchanged.
using UsbNodeVisitor = int (*)(void *context, UsbNodeInfo *record);

class UsbTreeWalker {
public:
    explicit UsbTreeWalker(platform::Host &host = platform::DefaultHost()) : m_host(host) {}
    ~UsbTreeWalker() { ClearTree(); }
    UsbTreeWalker(const UsbTreeWalker &) = delete;
    UsbTreeWalker &operator=(const UsbTreeWalker &) = delete;

    // Clears the tree, then walks every controller; returns how many device ports were accepted (all
    // of them without a visitor), 0 when enumeration fails.
    int WalkAllControllers(UsbNodeVisitor visitor, void *context);
    void ClearTree() { m_tree.Clear(); }

    UsbTree &Tree() { return m_tree; }
    const UsbTree &Tree() const { return m_tree; }

    // The walk's steps, public so that each can be checked on its own.
    std::optional<std::string> GetRootHubPath(const std::string &instanceId);
    std::optional<std::string> GetDriverKeyName(platform::Handle hub, uint32_t port);
    std::optional<std::string> FindDeviceDescription(const std::optional<std::string> &driverKey);
    std::optional<std::string> FindDeviceId(const std::optional<std::string> &driverKey);
    std::optional<std::string> GetDevicePath(const std::optional<std::string> &instanceId);
    bool IsNtPlatform();

private:
    static constexpr int kError = -1;
    int WalkRootHub(platform::Handle hub, TreeItem controller, int number, UsbNodeVisitor visitor, void *context);
    int WalkHub(platform::Handle hub, int portCount, TreeItem parent, UsbNodeVisitor visitor, void *context,
                int depth, const std::string &location);
    // The pre-order search both Find* steps share: the first node whose driver key equals `key`.
    platform::DevNode FindNodeByDriverKey(const std::string &key, std::size_t keyBufferBytes);
    std::optional<std::string> ReadSymbolicName(const std::string &instanceId, const char *ntKey,
                                                const char *otherKey);

    platform::Host &m_host;
    UsbTree m_tree;
};

// UTF-16LE code units to 8-bit text: units up to 0xFF map to the byte of that value, others to '?';
// stops at a zero unit, after `maxUnits` units, or once `maxBytes` bytes are out.
std::string NarrowUtf16(const uint8_t *units, std::size_t maxUnits, std::size_t maxBytes);
