#pragma once
// A scripted cable for the worker and function-test tests: one chip, one EEPROM, two sides by path,
// and per-step failures.

#include "FunctionTest.h"
#include "TestWorker.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace production_test {

using namespace production;

struct FakeCable : CableIo {
    std::set<std::string> paths{"\\\\.\\sideA", "\\\\.\\sideB"};
    uint32_t model = 0x7730, version = 0x0100;
    bool queryFails = false, readFails = false, prepareFails = false;
    uint8_t eeprom[256] = {};
    std::set<std::pair<std::string, std::string>> deadDirections; // (read, write)

    std::mutex lock;
    std::vector<std::string> calls;
    std::atomic<int> openNow{0}, maxOpen{0};

    void Note(const std::string &call)
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    }

    struct Side : SideDevice {
        FakeCable &cable;
        bool open = false;
        explicit Side(FakeCable &c) : cable(c) {}
        ~Side() override { Close(); }
        bool Open(const std::string &path) override
        {
            cable.Note("open " + path);
            if (!cable.paths.count(path))
                return false;
            open = true;
            int now = ++cable.openNow;
            int seen = cable.maxOpen;
            while (now > seen && !cable.maxOpen.compare_exchange_weak(seen, now)) {
            }
            return true;
        }
        void Close() override
        {
            if (open)
                --cable.openNow;
            open = false;
        }
        bool QueryChip(uint32_t *m, uint32_t *v) override
        {
            if (!open || cable.queryFails)
                return false;
            *m = cable.model;
            *v = cable.version;
            return true;
        }
        bool ReadEeprom(uint8_t *dest, uint16_t offset, uint16_t length) override
        {
            cable.Note("read eeprom");
            if (!open || cable.readFails)
                return false;
            std::memcpy(dest, cable.eeprom + offset, length);
            return true;
        }
        bool SendPrepareRequest() override
        {
            cable.Note("prepare");
            return open && !cable.prepareFails;
        }
    };

    std::unique_ptr<SideDevice> NewSide() override { return std::make_unique<Side>(*this); }
    int TransferTest(const std::string &readPath, const std::string &writePath) override
    {
        Note("transfer " + readPath + " <- " + writePath);
        return deadDirections.count({readPath, writePath}) ? 0 : 1;
    }
};

} // namespace production_test
