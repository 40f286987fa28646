#include "DeviceChangeRelay.h"

#include "GuiThread.h"

DeviceChangeRelay::DeviceChangeRelay(platform::Host &host, QObject *context, std::function<void()> call)
    : m_host(host)
{
    // Unsubscribing waits for a running callback, so `context` is alive whenever one runs; a call
    // still queued when the context goes is dropped by PostToGui.
    m_id = m_host.SubscribeDeviceChanges(
        [context, call](platform::DeviceChange) { PostToGui(context, [call] { call(); }); });
}

DeviceChangeRelay::~DeviceChangeRelay()
{
    m_host.UnsubscribeDeviceChanges(m_id);
}
