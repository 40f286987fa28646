// Outside bytes that reach the bench and the platform layer: INF text (the profile-API reader, the
// driver-binding parse and the udev rule's ID match), program files searched for their embedded
// version, and whatever buffer a caller hands to a hub or vendor request. Nothing may crash or touch
// memory outside its buffer.
//
// The first byte picks the path: 0 INF/version text, 1 hub request, 2 vendor request.

#include "Bench.h"
#include "EmbeddedVersion.h"
#include "IniText.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct Setup {
    std::filesystem::path dir;
    std::unique_ptr<bench::Bench> bench;
    bench::ObjectHandle rootHub = 0, innerHub = 0, control = 0;

    Setup()
    {
        char name[] = "/tmp/fuzz-bench-XXXXXX";
        dir = mkdtemp(name) ? name : "/tmp";
        bench::BenchOptions options;
        options.systemDirectory = dir;
        bench = std::make_unique<bench::Bench>(options);
        bench->WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        const bench::DeviceId root = bench->AddController(4);
        const bench::DeviceId hub = bench->AttachHub({root, 1}, bench::HubSpec{7});
        bench->AttachDevice({root, 2});
        const bench::CableId cable = bench->AddCable();
        bench->PlugSide(cable, bench::Side::A, {hub, 3});
        bench->PlugSide(cable, bench::Side::B, {root, 3});
        std::string symbolic = *bench->Pc().RegistryValue(
            "SYSTEM\\CurrentControlSet\\Enum\\" + bench->InstanceId(root) + "\\Device Parameters", "SymbolicName");
        rootHub = bench->Pc().Open("\\\\.\\" + symbolic.substr(4), platform::ACCESS_WRITE, false);
        symbolic = *bench->Pc().RegistryValue(
            "SYSTEM\\CurrentControlSet\\Enum\\" + bench->InstanceId(hub) + "\\Device Parameters", "SymbolicName");
        innerHub = bench->Pc().Open("\\\\.\\" + symbolic.substr(4), platform::ACCESS_WRITE, false);
        control = bench->Pc().Open("\\\\.\\HOSTLNK-1", platform::ACCESS_READ | platform::ACCESS_WRITE, false);
        if (!rootHub || !innerHub || !control)
            std::abort();
    }
    ~Setup()
    {
        bench.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Setup& TheSetup()
{
    static Setup setup;
    return setup;
}

const uint32_t kCodes[] = {platform::IOCTL_USB_GET_NODE_INFORMATION, platform::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
                           platform::IOCTL_USB_GET_NODE_CONNECTION_NAME,
                           platform::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, platform::IOCTL_VENDOR_REQUEST};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    Setup& s = TheSetup();
    const uint8_t mode = data[0] % 3;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    if (mode == 0) {
        const pcmodel::IniText ini(rest);
        volatile std::size_t sink = 0;
        if (auto v = ini.Value("Manufacturer", "%MfgName%"))
            sink = sink + v->size();
        for (const auto& maker : ini.Entries("Manufacturer"))
            for (const auto& model : ini.Entries(maker.value))
                sink = sink + model.key.size() + model.value.size();
        if (auto v = platform::FindEmbeddedVersion(rest))
            sink = sink + v->fileVersionMS;
        // The udev rule's question (qt7730-inf-match): are these IDs a model line of the INF?
        std::string description;
        sink = sink + pcmodel::InfListsModel(std::string(rest), "USB\\VID_0C5E&PID_7730", &description);
        return 0;
    }
    // The caller's buffer is exactly `rest`, copied so the sanitizer sees its true bounds.
    std::vector<uint8_t> buffer(rest.begin(), rest.end());
    uint32_t returned = 0;
    const uint32_t code = kCodes[data[1] % 5];
    const bench::ObjectHandle target = mode == 2 ? s.control : (data[1] & 0x80) ? s.innerHub : s.rootHub;
    s.bench->Pc().DeviceRequest(target, code, buffer.empty() ? nullptr : buffer.data(), uint32_t(buffer.size()), &returned);
    if (returned > buffer.size())
        std::abort();
    return 0;
}
