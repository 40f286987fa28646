#pragma once
// Every node of a Host's device tree in pre-order (child first, then next sibling, climbing back up),
// the order in which the topology walk searches it.

#include "Host.h"

#include <vector>

inline std::vector<platform::DevNode> DeviceTreePreOrder(platform::Host &host)
{
    std::vector<platform::DevNode> order;
    for (platform::DevNode n = host.GetRootNode(); n;) {
        order.push_back(n);
        if (platform::DevNode child = host.GetChild(n)) {
            n = child;
            continue;
        }
        while (n && !host.GetSibling(n))
            n = host.GetParent(n);
        n = n ? host.GetSibling(n) : platform::NO_DEVNODE;
    }
    return order;
}
