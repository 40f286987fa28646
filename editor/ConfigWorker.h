#pragma once
// The configuration dialog's decisions without its window: when to look for a cable, and the worker's
// steps (open, record the chip, write, read back, compare, offer the INF update) with their log lines.

#include "EepromImage.h"

#include <cstdint>
#include <string>

namespace editor {

inline constexpr uint16_t kDefaultVendorId = 0x0C5E;
inline constexpr uint16_t kDefaultProductId = 0x7730;

inline constexpr int kTimerFindDevice = 1;
inline constexpr int kTimerStartConfig = 2;
inline constexpr int kFindDelayAtStartMs = 100;
inline constexpr int kFindDelayAfterChangeMs = 1000;
inline constexpr int kStartConfigDelayMs = 100;

inline constexpr const char *kStepInitialize = "Initialize device\t";
inline constexpr const char *kStepWrite = "Write EEPROM data\t";
inline constexpr const char *kStepVerify = "Verify configuration\t";
inline constexpr const char *kStepOk = "OK\r\n";
inline constexpr const char *kStepFail = "Fail\r\n";
inline constexpr const char *kConfigFailed = "Config device fail";
inline constexpr const char *kAskInfCaption = "Config";
inline constexpr const char *kAskInfUpdate = "Configure device completely\nUpdate INF file to support this device ID?";

std::string ConfigCaption();      // "Config QT7730"
std::string FoundLine();          // "Found a QT7730 device to config...\r\n"
std::string PlugInPrompt();       // "Please plug in a QT7730 device to config..."
std::string WorkerStartFailed();  // the log line when no worker thread can be started

// When the dialog walks the bus. Pure bookkeeping: the dialog arms and kills the real timers.
class ConfigSearch {
public:
    struct Arm {
        int timer = 0;    // 0: nothing to arm
        int delayMs = 0;
    };
    Arm Start(uint32_t mask);                // dialog start: scan mask, first walk soon
    Arm DeviceChanged(uint32_t mask);        // a changed scan mask restarts the walk delay
    Arm WalkDone(int accepted);              // after TIMER_FIND_DEVICE's walk
    bool Searching() const { return m_nFound == 0; }
    int Found() const { return m_nFound; }
    uint32_t Mask() const { return m_dwDevMask; }

private:
    int m_nFound = 0;
    uint32_t m_dwDevMask = 0;
};

// One side of a cable as the worker needs it; the dialog adapts the device layer to it.
class ConfigDevice {
public:
    virtual ~ConfigDevice() = default;
    virtual bool Open(const std::string &path) = 0;
    virtual bool QueryChip(uint32_t *model, uint32_t *version) = 0;
    virtual bool WriteEeprom(uint16_t offset, const uint8_t *data, uint16_t length) = 0;
    virtual bool ReadEeprom(uint16_t offset, uint8_t *data, uint16_t length) = 0;
    virtual void Close() = 0;
};

// What the worker does to the dialog: log, ask, tell, and the INF update.
class ConfigWorkerUi {
public:
    virtual ~ConfigWorkerUi() = default;
    virtual void AppendLog(const std::string &text) = 0;
    virtual bool AskUpdateInf() = 0;   // Yes/No, kAskInfUpdate with kAskInfCaption
    virtual void ShowFailure() = 0;    // kConfigFailed, OK only
    virtual void UpdateInf(const std::string &driverKey, uint16_t vendorId, uint16_t productId) = 0;
};

// The cable to configure: the first accepted port of the walk. Empty texts stand for "none".
struct ConfigTarget {
    std::string devicePath;
    std::string driverKey;
};

enum ConfigResult { kConfigOk = 1, kConfigCancel = 2 };

// The worker's steps. `target` null or `image` null fail at the first step. Returns the command to
// post. The device is closed before returning.
ConfigResult RunConfiguration(const ConfigTarget *target, EepromImage *image, ConfigDevice &device,
                              ConfigWorkerUi &ui);

} // namespace editor
