#pragma once
// An in-process bench for Tamber: one host controller with eight root ports, a driver INF that knows
// the batch's identity (and a foreign one), and helpers for cables, image files and plugging.

#include "BenchOptionsIn.h"
#include "Bench.h"
#include "EepromImage.h"
#include "SimHost.h"
#include "TempDir.h"
#include "Topologies.h"
#ifdef KIT_TESTS_ON_USB
#include "UsbWorld.h"
#endif

#include <cstring>
#include <string>
#include <vector>

struct TamberRig {
    static constexpr uint16_t kVid = 0x0C5E, kPid = 0x7730;
    static constexpr uint16_t kForeignVid = 0x1234, kForeignPid = 0x5678;

    TempDir dir;
    bench::Bench bench;
#ifdef KIT_TESTS_ON_USB
    // The same rig on the USB world: the bench reached through libusb and an emulated usbfs.
    UsbWorld usb;
    platform::UsbHost &sim;
#else
    platform::SimHost sim;
#endif
    bench::DeviceId root = 0;

    explicit TamberRig(std::chrono::milliseconds installTime = std::chrono::milliseconds(0))
        : bench([&] {
              bench::BenchOptions options = BenchOptionsIn(dir);
              options.installTime = installTime;
              return options;
          }()),
#ifdef KIT_TESTS_ON_USB
          usb(bench), sim(usb.host)
#else
          sim(bench.Pc())
#endif
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730", "USB\\VID_1234&PID_5678"});
        root = bench.AddController(8);
    }

    // The batch's EEPROM as Quillon writes it.
    static bench::EepromBytes BatchEeprom(const std::string &serial = "000000000001")
    {
        return bench::ConfiguredEeprom(kVid, kPid, "Veltrona", "USB Bridge Cable", serial);
    }

    // A 264-byte image file: the EEPROM bytes plus chip model and version.
    std::string WriteImage(const bench::EepromBytes &eeprom, uint32_t model = 0x7730, uint32_t version = 0x0100,
                           const std::string &name = "batch.eep") const
    {
        std::vector<uint8_t> bytes(eeprom.begin(), eeprom.end());
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(model >> (8 * i)));
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(version >> (8 * i)));
        return dir.write(name, bytes);
    }

    bench::CableId AddCable(const bench::EepromBytes &eeprom = BatchEeprom(), uint16_t version = 0x0100)
    {
        bench::CableSpec cable;
        cable.eeprom = eeprom;
        cable.chip.version = version;
        return bench.AddCable(cable);
    }

    void Plug(bench::CableId cable, bench::Side side, int port) { bench.PlugSide(cable, side, {root, port}); }
    void PlugBoth(bench::CableId cable, int firstPort)
    {
        Plug(cable, bench::Side::A, firstPort);
        Plug(cable, bench::Side::B, firstPort + 1);
    }
    void UnplugBoth(bench::CableId cable)
    {
        bench.UnplugSide(cable, bench::Side::A);
        bench.UnplugSide(cable, bench::Side::B);
    }
};
