#pragma once
// An in-process bench for mfgkit: cables on controllers and hubs, a driver INF that knows the batch's
// identity, image files, a private ledger and settings store, and mfgkit run as a function.

#include "BenchOptionsIn.h"
#include "Bench.h"
#include "EepromImage.h"
#include "Mfgkit.h"
#include "SimHost.h"
#include "StationLedger.h"
#include "TempDir.h"
#include "TestObserver.h"
#include "Topologies.h"
#ifdef KIT_TESTS_ON_USB
#include "UsbWorld.h"
#endif

#include <sstream>
#include <string>
#include <vector>

struct MfgkitResult {
    int status = -1;
    std::string out, err;
};

struct LineRig {
    static constexpr uint16_t kVid = 0x0C5E, kPid = 0x7730;

    TempDir dir;
    bench::Bench bench;
#ifdef KIT_TESTS_ON_USB
    // The same rig on the USB world: the bench reached through libusb and an emulated usbfs.
    UsbWorld usb;
    platform::UsbHost &sim;
#else
    platform::SimHost sim;
#endif
    line::MfgkitEnv env;

    LineRig()
        : bench(BenchOptionsIn(dir)),
#ifdef KIT_TESTS_ON_USB
          usb(bench), sim(usb.host)
#else
          sim(bench.Pc())
#endif
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        env.host = &sim;
        env.ledgerPath = LedgerPath();
        setenv("QT7730_SETTINGS_DB", dir.file("settings.db").c_str(), 1);
    }

    std::string LedgerPath() const { return dir.file("ledger.db"); }

    // The batch's EEPROM as Quillon writes it, serial in use.
    static bench::EepromBytes BatchEeprom(const std::string &product = "USB Bridge Cable")
    {
        return bench::ConfiguredEeprom(kVid, kPid, "Veltrona", product, std::string("000000000001"));
    }

    std::string WriteImage(const bench::EepromBytes &eeprom = BatchEeprom(), uint32_t model = 0x7730,
                           uint32_t version = 0x0100, const std::string &name = "batch.eep") const
    {
        std::vector<uint8_t> bytes(eeprom.begin(), eeprom.end());
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(model >> (8 * i)));
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(version >> (8 * i)));
        return dir.write(name, bytes);
    }

    MfgkitResult Run(const std::vector<std::string> &args)
    {
        std::ostringstream out, err;
        env.out = &out;
        env.err = &err;
        MfgkitResult r;
        r.status = line::RunMfgkit(args, env);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

    std::vector<line::LedgerRecord> Records()
    {
        line::StationLedger ledger;
        if (!ledger.OpenExisting(LedgerPath()))
            return {};
        return ledger.Query({});
    }

    // The first output line that begins with the cable's name ("" when none does).
    static std::string LineOf(const std::string &out, const std::string &cableName)
    {
        std::size_t at = out.compare(0, cableName.size() + 1, cableName + " ") == 0 ? 0 : out.find("\n" + cableName + " ");
        if (at == std::string::npos)
            return {};
        if (out[at] == '\n')
            ++at;
        return out.substr(at, out.find('\n', at) - at);
    }

    std::string SerialIn(bench::CableId cable) const { return EepromImage::OfEeprom(bench.Eeprom(cable).data()).SerialText(); }

    std::string Name(bench::CableId cable, bench::Side side) const
    {
        return "HOSTLNK-" + std::to_string(bench.DeviceObjectNumber(cable, side));
    }
    // The name mfgkit gives the cable: its two device objects, lower number first.
    std::string CableName(bench::CableId cable) const
    {
        int a = bench.DeviceObjectNumber(cable, bench::Side::A), b = bench.DeviceObjectNumber(cable, bench::Side::B);
        if (a > b)
            std::swap(a, b);
        return "HOSTLNK-" + std::to_string(a) + "+HOSTLNK-" + std::to_string(b);
    }
};
