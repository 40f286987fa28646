#include "Topologies.h"

#include "EepromImage.h"

#include <cstdio>
#include <algorithm>
#include <cstring>

namespace bench {

HundredPortTopology BuildHundredPortTopology(Bench& bench)
{
    HundredPortTopology t;
    int next = 0;
    auto device = [&](PortRef at) {
        const int i = next++;
        DeviceSpec spec;
        spec.vid = 0x046D;
        spec.pid = std::uint16_t(0xC000 + i);
        spec.hasDriver = i % 10 != 9;
        if (i % 7 == 6)
            spec.description.reset();
        else
            spec.description = "USB Input Device " + std::to_string(i);
        t.devices.push_back(bench.AttachDevice(at, spec));
    };
    for (int c = 0; c < 4; ++c) {
        const DeviceId root = bench.AddController(4);
        t.rootHubs.push_back(root);
        device({root, 1});
        const DeviceId a = bench.AttachHub({root, 2}, HubSpec{7});
        const DeviceId b = bench.AttachHub({a, 1}, HubSpec{7});
        const DeviceId inner = bench.AttachHub({b, 1}, HubSpec{10});
        t.hubs.insert(t.hubs.end(), {a, b, inner});
        for (int p = 1; p <= 10; ++p)
            device({inner, p});
        for (int p = 2; p <= 7; ++p)
            device({b, p});
        for (int p = 2; p <= 7; ++p)
            device({a, p});
        device({root, 3});
        device({root, 4});
    }
    return t;
}

SixteenCableTopology BuildSixteenCableTopology(Bench& bench, const EepromBytes& eeprom)
{
    SixteenCableTopology t;
    EepromImage image;
    std::memcpy(image.Bytes(), eeprom.data(), eeprom.size());
    const EepromRecord& rec = image.m_rec;
    char hardwareId[32];
    if (rec.wSignature.get() == EepromImage::kSignature && rec.bPidSelect >= 1 && rec.bPidSelect <= 3) {
        const unsigned pid = rec.bPidSelect == 1   ? rec.wProductId1.get()
                             : rec.bPidSelect == 2 ? rec.wProductId2.get()
                                                   : rec.wProductId3.get();
        std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X", unsigned(rec.wVendorId.get()), pid);
    } else {
        std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_0C5E&PID_7730");
    }
    bench.WriteDriverInf({hardwareId});

    std::vector<PortRef> slots;
    for (int c = 0; c < 2; ++c) {
        const DeviceId root = bench.AddController(2);
        t.rootHubs.push_back(root);
        for (int p = 1; p <= 2; ++p) {
            const DeviceId hub = bench.AttachHub({root, p}, HubSpec{8});
            t.hubs.push_back(hub);
            for (int q = 1; q <= 8; ++q)
                slots.push_back({hub, q});
        }
    }
    for (int k = 0; k < 16; ++k) {
        CableSpec spec;
        spec.eeprom = eeprom;
        const CableId cable = bench.AddCable(spec);
        bench.PlugSide(cable, Side::A, slots[2 * k]);
        bench.PlugSide(cable, Side::B, slots[2 * k + 1]);
        t.cables.push_back(cable);
    }
    return t;
}

EepromBytes ConfiguredEeprom(std::uint16_t vid, std::uint16_t pid, const std::string& vendor, const std::string& product,
                             const std::optional<std::string>& serial, std::uint16_t revision)
{
    EepromImage image;
    image.SetProperty(EEP_VENDOR_ID, &vid, 2);
    image.SetProperty(EEP_PRODUCT_ID_3, &pid, 2);
    image.SetProperty(EEP_REVISION, &revision, 2);
    // A fresh image has no descriptor 1 to rewrite: lay the chain after descriptor 0, as the editor does.
    std::vector<std::string> texts{vendor, product};
    if (serial) {
        texts.push_back(*serial);
        image.m_rec.bSerialIndex = EepromImage::kSerialInUse;
    }
    std::uint8_t* b = image.Bytes();
    std::size_t at = EepromImage::kStringsBegin + b[EepromImage::kStringsBegin];
    for (std::string text : texts) {
        text.resize(std::min<std::size_t>(text.size(), 40)); // three of them always fit the string area
        b[at] = std::uint8_t(2 + 2 * text.size());
        b[at + 1] = 3;
        for (std::size_t i = 0; i < text.size(); ++i)
            b[at + 2 + 2 * i] = std::uint8_t(text[i]), b[at + 3 + 2 * i] = 0;
        at += b[at];
    }
    EepromBytes bytes;
    std::memcpy(bytes.data(), image.Bytes(), bytes.size());
    return bytes;
}

} // namespace bench
