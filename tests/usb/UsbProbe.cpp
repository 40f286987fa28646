// A small program on the process's Host, for the usbemu tests: prints the device scan's mask and the
// walk's count of device ports; "write B" first fills the EEPROM of \\.\HOSTLNK-1 with byte B.

#include "BridgeDevice.h"
#include "UsbTreeWalker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc == 3 && !std::strcmp(argv[1], "write")) {
        uint8_t bytes[256];
        std::memset(bytes, int(std::strtol(argv[2], nullptr, 0)), sizeof bytes);
        BridgeDevice device;
        if (!device.Open("\\\\.\\HOSTLNK-1") || !device.WriteEeprom(bytes, 0, 256)) {
            std::printf("write failed\n");
            return 1;
        }
    }
    UsbTreeWalker walker;
    const int ports = walker.WalkAllControllers(nullptr, nullptr);
    std::printf("mask 0x%08X, %d device ports\n", unsigned(ScanBridgeDevices(0x7730)), ports);
    return 0;
}
