// mfgkit through libusb and the emulated usbfs: sixteen cables over two controllers and four hubs
// found, paired by data (40-byte tokens in 64-byte reads), programmed and tested at once, with the
// faults of the bench's own group named in the output and the ledger, and a side alone.

#include "LineRig.h"
#include "Sides.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include <sys/fsuid.h>

namespace {

struct SixteenOverUsb : LineRig {
    bench::SixteenCableTopology topology;
    SixteenOverUsb() : topology(bench::BuildSixteenCableTopology(bench))
    {
        EXPECT_TRUE(UsbWorld::WaitFor([&] { return line::FindBridgeSides(sim, false).size() == 32; }));
    }

    // The device objects the USB backend gave each cable, by the serial text in the cable's EEPROM
    // (its numbering is its own, not the bench's): from scan's table.
    std::map<std::string, std::string> CableNamesBySerial()
    {
        const MfgkitResult scan = Run({"scan"});
        std::map<std::string, std::vector<int>> numbers;
        const std::regex row(R"(HOSTLNK-(\d+) +\S+ \S+ +\S+ +(\S+))");
        std::istringstream lines(scan.out);
        for (std::string text; std::getline(lines, text);) {
            std::smatch m;
            if (std::regex_search(text, m, row))
                numbers[m[2]].push_back(std::stoi(m[1]));
        }
        std::map<std::string, std::string> names;
        for (auto &[serial, n] : numbers)
            if (n.size() == 2)
                names[serial] = "HOSTLNK-" + std::to_string(std::min(n[0], n[1])) + "+HOSTLNK-" +
                                std::to_string(std::max(n[0], n[1]));
        return names;
    }

    static std::string SerialOf(std::size_t k)
    {
        char text[16];
        std::snprintf(text, sizeof text, "SN%010zu", k + 1);
        return text;
    }
};

TEST(MfgkitOverUsb, SixteenCablesArePairedProgrammedAndTestedAtOnce)
{
    SixteenOverUsb rig;
    const auto &cables = rig.topology.cables;

    MfgkitResult r = rig.Run({"scan"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Cables: 16"), std::string::npos) << r.out;

    // Programming: every cable gets the image, each once, one passing record per cable.
    const std::string image = rig.WriteImage();
    r = rig.Run({"program", image, "--expect", "16"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("16 cable(s): 16 passed"), std::string::npos) << r.out;
    for (bench::CableId cable : cables)
        EXPECT_EQ(rig.bench.Eeprom(cable), LineRig::BatchEeprom());
    auto records = rig.Records();
    ASSERT_EQ(records.size(), 16u);
    for (const auto &rec : records)
        EXPECT_EQ(rec.verdict, "pass") << rec.FailedStep();

    // Each cable its own serial (the test masks it), then the bench group's faults: a dead direction,
    // a wrong text, a wrong chip version.
    for (std::size_t k = 0; k < cables.size(); ++k)
        rig.bench.SetEeprom(cables[k], bench::ConfiguredEeprom(LineRig::kVid, LineRig::kPid, "Veltrona",
                                                               k == 7 ? "USB Bridge Kabel" : "USB Bridge Cable",
                                                               SixteenOverUsb::SerialOf(k)));
    const auto names = rig.CableNamesBySerial();
    ASSERT_EQ(names.size(), 16u);
    bench::SideFaults dead;
    dead.sendDead = true;
    rig.bench.SetSideFaults(cables[2], bench::Side::B, dead);
    bench::ChipSpec newer;
    newer.version = 0x0200;
    rig.bench.SetChip(cables[11], newer);

    // Numbered elsewhere (their EEPROMs were set, not programmed here): tested without the ledger check.
    r = rig.Run({"test", image, "--expect", "16", "--any-serial"});
    ASSERT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("16 cable(s): 13 passed, 3 failed"), std::string::npos) << r.out;
    auto lineOf = [&](std::size_t k) { return LineRig::LineOf(r.out, names.at(SixteenOverUsb::SerialOf(k))); };
    EXPECT_NE(lineOf(2).find("sent did not arrive on"), std::string::npos) << r.out;
    EXPECT_NE(lineOf(7).find("product text expected \"USB Bridge Cable\" found \"USB Bridge Kabel\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(lineOf(11).find("Check chip version: chip version expected 0100 found 0200"), std::string::npos)
        << r.out;
    EXPECT_NE(lineOf(0).find("PASS"), std::string::npos) << r.out;

    // What the ledger makes of these outcomes is the same code as on the bench (tests/line/ProgramTest):
    // only how many records were stored is checked here.
    EXPECT_EQ(rig.Records().size(), 32u);

    // A side alone is named and left alone; the other fifteen cables still pair.
    rig.bench.SetSideFaults(cables[2], bench::Side::B, {});
    rig.bench.UnplugSide(cables[15], bench::Side::B);
    ASSERT_TRUE(UsbWorld::WaitFor([&] { return line::FindBridgeSides(rig.sim, false).size() == 31; }));
    r = rig.Run({"scan"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Cables: 15"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": no partner side found: plug in both ends"), std::string::npos) << r.out;
}

TEST(MfgkitOverUsb, NoCableOrASideThisUserMayNotOpenIsSaidWithWhatToDo)
{
    LineRig rig;
    const bench::DeviceId root = rig.bench.AddController(4);
    MfgkitResult r = rig.Run({"scan"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no cable side with an ID of the kit's INF"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("bench"), std::string::npos) << r.err;

    const bench::CableId cable = rig.bench.AddCable();
    rig.bench.PlugSide(cable, bench::Side::A, {root, 1});
    rig.bench.PlugSide(cable, bench::Side::B, {root, 2});
    ASSERT_TRUE(UsbWorld::WaitFor([&] { return line::FindBridgeSides(rig.sim, false).size() == 2; }));
    for (int port : {1, 2})
        rig.usb.emulator.DenyAccess(rig.bench.Port({root, port}).device);
    const int uid = setfsuid(65534); // root opens anything: look as an operator would
    r = rig.Run({"scan"});
    setfsuid(uid);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("may not open it: /dev/bus/usb/001/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("adduser NAME plugdev"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("bench"), std::string::npos) << r.err;

    for (int port : {1, 2})
        rig.usb.emulator.DenyAccess(rig.bench.Port({root, port}).device, false);
    r = rig.Run({"scan"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Cables: 1"), std::string::npos) << r.out;
}

} // namespace
