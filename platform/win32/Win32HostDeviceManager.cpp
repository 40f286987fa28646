// The Windows backend's device manager (present devices, the device tree, properties, pending
// installs), the registry and system values, and initialisation files.

#include "Win32HostState.h"


namespace platform {

using namespace win32;


// ----- Device manager --------------------------------------------------------------------------------

bool Win32Host::EnumeratePresentDevices(std::string_view enumerator, std::size_t idBufferBytes,
                                        std::vector<std::string>& instanceIds)
{
    instanceIds.clear();
    if (enumerator.empty() || !CString(enumerator))
        return false;
    const std::wstring wide = WideFromAnsi(enumerator);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, wide.c_str(), nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> buffer(std::min(idBufferBytes, kMaxTextBuffer) + 1, '\0');
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        DWORD required = 0;
        if (idBufferBytes > 0
            && SetupDiGetDeviceInstanceIdA(set, &data, buffer.data(), DWORD(buffer.size() - 1), &required))
            instanceIds.push_back(UpToNul(buffer.data(), buffer.size() - 1));
        else
            instanceIds.emplace_back(); // does not fit the caller's buffer
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

DevNode Win32Host::GetRootNode()
{
    DEVINST root = 0;
    return CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS ? DevNode(root) : NO_DEVNODE;
}

DevNode Win32Host::GetChild(DevNode node)
{
    DEVINST next = 0;
    return node != NO_DEVNODE && CM_Get_Child(&next, node, 0) == CR_SUCCESS ? DevNode(next) : NO_DEVNODE;
}

DevNode Win32Host::GetSibling(DevNode node)
{
    DEVINST next = 0;
    return node != NO_DEVNODE && CM_Get_Sibling(&next, node, 0) == CR_SUCCESS ? DevNode(next) : NO_DEVNODE;
}

DevNode Win32Host::GetParent(DevNode node)
{
    DEVINST next = 0;
    return node != NO_DEVNODE && CM_Get_Parent(&next, node, 0) == CR_SUCCESS ? DevNode(next) : NO_DEVNODE;
}

bool Win32Host::GetNodeProperty(DevNode node, std::uint32_t property, std::size_t bufferBytes, std::string& value)
{
    if (node == NO_DEVNODE || bufferBytes == 0
        || (property != DEVNODE_PROP_DRIVER && property != DEVNODE_PROP_DEVICEDESC))
        return false;
    std::vector<char> buffer(std::min(bufferBytes, kMaxTextBuffer), '\0');
    ULONG length = ULONG(buffer.size());
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyA(node, property, &type, buffer.data(), &length, 0) != CR_SUCCESS
        || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    const std::size_t got = std::min<std::size_t>(length, buffer.size());
    // A text that filled the buffer without its terminator did not fit.
    if (std::find(buffer.begin(), buffer.begin() + std::ptrdiff_t(got), '\0') == buffer.begin() + std::ptrdiff_t(got)
        && got == buffer.size())
        return false;
    value = UpToNul(buffer.data(), got);
    return true;
}

bool Win32Host::GetNodeInstanceId(DevNode node, std::size_t bufferBytes, std::string& id)
{
    if (node == NO_DEVNODE || bufferBytes == 0)
        return false;
    // CM_Get_Device_ID fills a buffer of exactly the ID's length without a terminator; the size is
    // asked first so that an ID that does not fit with its terminator fails.
    ULONG length = 0;
    if (CM_Get_Device_ID_Size(&length, node, 0) != CR_SUCCESS || std::size_t(length) + 1 > bufferBytes)
        return false;
    std::vector<char> buffer(std::size_t(length) + 1, '\0');
    if (CM_Get_Device_IDA(node, buffer.data(), ULONG(buffer.size()), 0) != CR_SUCCESS)
        return false;
    id = UpToNul(buffer.data(), buffer.size());
    return true;
}

bool Win32Host::IsDevicePresent(std::string_view instanceId)
{
    const auto id = CString(instanceId);
    if (!id || id->empty() || id->size() > MAX_DEVICE_ID_LEN)
        return false;
    DEVINST node = 0;
    return CM_Locate_DevNodeA(&node, const_cast<char*>(id->c_str()), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
}

InstallWait Win32Host::WaitNoPendingInstallEvents(std::uint32_t timeoutMs)
{
    // Looked up at run time, as older systems lack the export.
    using WaitFn = DWORD(WINAPI*)(DWORD);
    static const WaitFn wait = [] () -> WaitFn {
        HMODULE setup = LoadLibraryW(L"setupapi.dll");
        if (!setup)
            return nullptr;
        return reinterpret_cast<WaitFn>(reinterpret_cast<void*>(GetProcAddress(setup, "CMP_WaitNoPendingInstallEvents")));
    }();
    if (!wait)
        return InstallWait::Unavailable;
    switch (wait(timeoutMs)) {
    case WAIT_OBJECT_0:
        return InstallWait::NoneLeft;
    case WAIT_TIMEOUT:
        return InstallWait::TimedOut;
    default:
        return InstallWait::Failed;
    }
}

// ----- Registry, system ----------------------------------------------------------------------------

bool Win32Host::ReadMachineRegistryString(std::string_view subKey, std::string_view valueName,
                                          std::size_t bufferBytes, std::string& value)
{
    const auto key = CString(subKey);
    const auto name = CString(valueName);
    if (!key || !name || key->size() > MAX_NAME || bufferBytes == 0)
        return false;
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key->c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    std::vector<char> buffer(std::min(bufferBytes, kMaxTextBuffer), '\0');
    DWORD length = DWORD(buffer.size());
    DWORD type = 0;
    const LONG result = RegQueryValueExA(handle, name->c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &length);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    const std::size_t got = std::min<std::size_t>(length, buffer.size());
    // A value stored without its terminator that fills the buffer exactly has no room for one.
    if (got == buffer.size() && (got == 0 || buffer[got - 1] != '\0'))
        return false;
    value = UpToNul(buffer.data(), got);
    return true;
}

std::string Win32Host::GetWindowsDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return {};
    return AnsiFromWide(std::wstring_view(buffer, length));
}

std::uint32_t Win32Host::GetPlatformId()
{
    // Every system this 64-bit build runs on is of the NT line (GetVersionEx answers the same).
    return PLATFORM_WIN32_NT;
}

// ----- Initialisation files -------------------------------------------------------------------------

std::string Win32Host::GetPrivateProfileString(std::string_view section, std::string_view key,
                                               std::string_view defaultValue, std::size_t bufferBytes,
                                               std::string_view path)
{
    if (bufferBytes == 0)
        return {};
    const auto s = CString(section), k = CString(key), d = CString(defaultValue), p = CString(path);
    if (!s || !k || !d || !p)
        return {};
    std::vector<char> buffer(std::min(bufferBytes, kMaxTextBuffer), '\0');
    const DWORD length = GetPrivateProfileStringA(s->c_str(), k->c_str(), d->c_str(), buffer.data(),
                                                  DWORD(buffer.size()), p->c_str());
    return std::string(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
}

} // namespace platform
