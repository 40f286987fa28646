// The daemon's answers about device objects and what surrounds them: opening and closing handles,
// device requests, the files of the PC, the device manager's tree, and the registry and system
// questions. Each handler reads its request's fields, answers into `out`, and returns false when the
// request is malformed (the connection is then dropped).
#include "HostServerInternals.h"

#include "BenchWire.h"

namespace benchwire {

using namespace platform;

bool HostServer::AnswerOpenFile(Reader &in, Session &session, Writer &out)
{
    const std::string name = in.str(MAX_NAME + 1);
    const uint32_t access = in.u32(), share = in.u32();
    const bool overlapped = in.u8() != 0;
    if (!in.AtEnd())
        return false;
    out.u64(session.Add(m_instance, m_host.OpenFile(name, access, share, overlapped)));
    return true;
}

bool HostServer::AnswerClose(Reader &in, Session &session, Writer &out)
{
    const uint64_t wire = in.u64();
    if (!in.AtEnd())
        return false;
    Handle handle = INVALID_HANDLE;
    {
        std::lock_guard lock(session.mutex);
        const auto it = session.handles.find(wire);
        if (it != session.handles.end()) {
            handle = it->second;
            session.handles.erase(it);
        }
    }
    const bool closed = handle != INVALID_HANDLE && m_host.CloseHandle(handle);
    if (handle != INVALID_HANDLE) {
        // Closing cancelled whatever was in flight on it: collect those transfers now.
        std::vector<std::shared_ptr<Session::Transfer>> orphans;
        {
            std::lock_guard lock(session.mutex);
            for (auto it = session.transfers.begin(); it != session.transfers.end();) {
                if (it->second->handle == handle) {
                    orphans.push_back(it->second);
                    it = session.transfers.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto &t : orphans)
            m_host.GetOverlappedResult(t->handle, t->ov, nullptr, true);
    }
    out.u8(closed);
    return true;
}

bool HostServer::AnswerDeviceIoControl(Reader &in, Session &session, Writer &out)
{
    const uint64_t wire = in.u64();
    const uint32_t code = in.u32();
    std::string buffer = in.str(kMaxTransfer);
    if (!in.AtEnd())
        return false;
    uint32_t returned = 0;
    const bool ok = m_host.DeviceIoControl(session.Lookup(wire), code, buffer.data(),
                                           static_cast<uint32_t>(buffer.size()), &returned);
    out.u8(ok).u32(returned).str(buffer);
    return true;
}

bool HostServer::AnswerFileRequest(Op op, Reader &in, Writer &out)
{
    const std::string path = in.str(MAX_NAME + 1);
    if (op == Op::ReadWholeFile) {
        if (!in.AtEnd())
            return false;
        std::string bytes;
        const bool ok = m_host.ReadWholeFile(path, bytes);
        if (bytes.size() > kMaxPayload - 64)
            return false;
        out.u8(ok).str(bytes);
        return true;
    }
    const std::string bytes = in.str();
    if (!in.AtEnd())
        return false;
    out.u8(m_host.ReplaceFileContents(path, bytes));
    return true;
}

bool HostServer::AnswerTreeSnapshot(Reader &in, Writer &out)
{
    if (!in.AtEnd())
        return false;
    // The whole device-manager tree in one answer, so that a client's walk searches it locally.
    // Each node: id, parent, child, sibling, driver key (or none), description (or none), instance ID.
    const DevNode root = m_host.GetRootNode();
    std::vector<DevNode> stack{root};
    uint32_t nodes = 0;
    Writer body;
    std::string text;
    while (!stack.empty() && root != NO_DEVNODE) {
        const DevNode node = stack.back();
        stack.pop_back();
        const DevNode child = m_host.GetChild(node), sibling = m_host.GetSibling(node);
        body.u32(node).u32(m_host.GetParent(node)).u32(child).u32(sibling);
        for (uint32_t property : {DEVNODE_PROP_DRIVER, DEVNODE_PROP_DEVICEDESC}) {
            const bool has = m_host.GetNodeProperty(node, property, 1u << 16, text);
            body.u8(has).str(has ? text : "");
        }
        const bool hasId = m_host.GetNodeInstanceId(node, 1u << 16, text);
        body.u8(hasId).str(hasId ? text : "");
        if (sibling != NO_DEVNODE && node != root)
            stack.push_back(sibling);
        if (child != NO_DEVNODE)
            stack.push_back(child);
        if (++nodes > 100000)
            break; // a tree this large is a broken model; send what there is
    }
    out.u32(root).u32(nodes).append(body);
    return out.Payload().size() <= kMaxPayload;
}

bool HostServer::AnswerSystemQuery(Op op, Reader &in, Writer &out)
{
    switch (op) {
    case Op::EnumerateDevices: {
        const std::string enumerator = in.str(64);
        const uint32_t idBytes = in.u32();
        if (!in.AtEnd())
            return false;
        std::vector<std::string> ids;
        const bool ok = m_host.EnumeratePresentDevices(enumerator, idBytes, ids);
        out.u8(ok).strings(ids);
        return true;
    }
    case Op::IsDevicePresent: {
        const std::string id = in.str(MAX_NAME + 1);
        if (!in.AtEnd())
            return false;
        out.u8(m_host.IsDevicePresent(id));
        return true;
    }
    case Op::PendingInstalls: {
        const uint32_t timeout = in.u32();
        if (!in.AtEnd())
            return false;
        out.u8(static_cast<uint8_t>(m_host.WaitNoPendingInstallEvents(std::min<uint32_t>(timeout, 1000))));
        return true;
    }
    case Op::RegistryString: {
        const std::string subKey = in.str(4096), value = in.str(4096);
        const uint32_t bufferBytes = in.u32();
        if (!in.AtEnd())
            return false;
        std::string text;
        const bool ok = m_host.ReadMachineRegistryString(subKey, value, bufferBytes, text);
        out.u8(ok).str(ok ? text : "");
        return true;
    }
    case Op::SystemInfo:
        if (!in.AtEnd())
            return false;
        out.str(m_host.GetWindowsDirectory()).u32(m_host.GetPlatformId());
        return true;
    case Op::ProfileString: {
        const std::string section = in.str(4096), key = in.str(4096), fallback = in.str(4096);
        const uint32_t bufferBytes = in.u32();
        const std::string path = in.str(MAX_NAME + 1);
        if (!in.AtEnd())
            return false;
        out.str(m_host.GetPrivateProfileString(section, key, fallback, std::min<uint32_t>(bufferBytes, 1u << 20), path));
        return true;
    }
    default:
        return false;
    }
}

} // namespace benchwire
