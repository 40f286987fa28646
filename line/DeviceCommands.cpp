// mfgkit scan and mfgkit walk: the bridge device objects and the cables they form, and the USB
// topology as a tree.

#include "MfgkitCommands.h"

#include "EepromImage.h"
#include "InfoFields.h"
#include "Reports.h"
#include "Sides.h"
#include "UsbTreeWalker.h"

#include <cstdio>
#include <cstring>

namespace line::mfgkit {

namespace {

constexpr const char *kScanHelp = R"(usage: mfgkit scan

Lists every bridge device object present (name, chip model and version, identity, serial text) and
the cables they form. The two sides of a cable are paired by data: a short token written on one
side arrives on the other. A side without a partner is named: plug in both ends.
Exit status: 0, 1 when a side has no partner, 3 when no device object is present.
)";

constexpr const char *kWalkHelp = R"(usage: mfgkit walk

The USB topology as an indented text tree: host controllers, hubs, ports and devices.
Exit status: 0, or 3 when there is no host controller.
)";

std::string Hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string Identity(const BridgeSide &side)
{
    if (!side.eeprom)
        return "(EEPROM unreadable)";
    EepromImage image;
    std::memcpy(image.Bytes(), side.eeprom->data(), EepromImage::kEepromSize);
    if (image.m_rec.wSignature.get() != EepromImage::kSignature)
        return "blank (0C5E:" + Hex4(side.chipModel) + ")";
    production::InfoFields fields;
    production::ReadInfoFields(image, fields);
    return fields.m_strVendorID + ":" + fields.m_strSelectedPID;
}

} // namespace

int Scan(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kScanHelp;
        return kExitOk;
    }
    if (!args.empty())
        return Usage(c, "scan takes no arguments", kScanHelp);
    const std::vector<BridgeSide> sides = FindBridgeSides(c.host, true);
    if (sides.empty()) {
        c.err << NoDevice(c, "no bridge device object is present");
        return kExitNoDevice;
    }
    c.out << Pad("Device object", 16) << Pad("Chip", 16) << Pad("Identity", 22) << "Serial\n";
    for (const BridgeSide &s : sides) {
        const std::string chip = s.chipAnswered ? ChipName(s.chipModel) + " " + Hex4(s.chipVersion) : "(no answer)";
        const std::string serial = s.eeprom ? EepromImage::OfEeprom(s.eeprom->data()).SerialText() : "";
        c.out << Pad(s.ShortName(), 16) << Pad(chip, 16) << Pad(Identity(s), 22) << Printable(serial) << "\n";
    }
    const Pairing pairing = PairByData(c.host, sides);
    c.out << "\nCables: " << pairing.cables.size() << "\n";
    for (const CablePair &p : pairing.cables)
        c.out << "  " << p.a.ShortName() << " + " << p.b.ShortName() << "\n";
    for (const BridgeSide &s : pairing.unpaired)
        c.out << "  " << s.ShortName() << ": no partner side found: plug in both ends"
              << " (a cable whose data path is dead both ways looks the same)\n";
    // Sides present that no scan lists (all 32 device objects in use, or not openable by this user).
    if (const std::string notice = c.host.DeviceNotice(); !notice.empty())
        c.out << "\nmfgkit: " << notice << "\n";
    return pairing.unpaired.empty() ? kExitOk : kExitCableFailed;
}

namespace {

void PrintTree(Context &c, const UsbTree &tree, TreeItem parent, int depth)
{
    for (TreeItem item : tree.Children(parent)) {
        std::string mark;
        if (tree.Mark(item) == ITEM_ERROR)
            mark = "  [error]";
        c.out << std::string(std::size_t(depth) * 2, ' ') << Printable(tree.Text(item)) << mark << "\n";
        PrintTree(c, tree, item, depth + 1);
    }
}

} // namespace

int Walk(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kWalkHelp;
        return kExitOk;
    }
    if (!args.empty())
        return Usage(c, "walk takes no arguments", kWalkHelp);
    UsbTreeWalker walker(c.host);
    walker.WalkAllControllers(nullptr, nullptr);
    if (walker.Tree().Children(TREE_NONE).empty()) {
        c.err << NoDevice(c, "no USB host controller found");
        return kExitNoDevice;
    }
    PrintTree(c, walker.Tree(), TREE_NONE, 0);
    return kExitOk;
}

} // namespace line::mfgkit
