// A small program on the process's Host, for the usbemu tests: prints the device scan's mask and the
// walk's count of device ports; "write B" first fills the EEPROM of \\.\HOSTLNK-1 with byte B;
// "wait MASK..." says "watching", then waits (10 s at most each) until the scan shows each mask in
// turn, saying "saw MASK" each time.

#include "BridgeDevice.h"
#include "UsbTreeWalker.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char **argv)
{
    if (argc >= 3 && !std::strcmp(argv[1], "wait")) {
        std::printf("watching\n");
        std::fflush(stdout);
        for (int i = 2; i < argc; ++i) {
            const auto wanted = uint32_t(std::strtoul(argv[i], nullptr, 0));
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (ScanBridgeDevices(0x7730) != wanted)
                if (std::chrono::steady_clock::now() > until) {
                    std::printf("timeout waiting for 0x%08X\n", unsigned(wanted));
                    return 1;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            std::printf("saw 0x%08X\n", unsigned(wanted));
            std::fflush(stdout);
        }
        return 0;
    }
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
