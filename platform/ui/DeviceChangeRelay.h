#pragma once
// Delivers the Host's device-change notifications to `call` on `context`'s thread (the GUI thread) for
// as long as the relay lives; after destruction no notification reaches `call`. Destroy it before
// `context`.

#include "Host.h"

#include <cstdint>
#include <functional>

class QObject;

class DeviceChangeRelay {
public:
    DeviceChangeRelay(platform::Host &host, QObject *context, std::function<void()> call);
    ~DeviceChangeRelay();
    DeviceChangeRelay(const DeviceChangeRelay &) = delete;
    DeviceChangeRelay &operator=(const DeviceChangeRelay &) = delete;

private:
    platform::Host &m_host;
    std::uint64_t m_id = 0;
};
