#include "DeviceWorker.h"

#include <system_error>

bool DeviceWorker::Post(Job job)
{
    std::lock_guard lock(m_mutex);
    if (m_stopped)
        return false;
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error &) {
            return false;
        }
    }
    m_jobs.push_back(std::move(job));
    m_wake.notify_one();
    return true;
}

void DeviceWorker::Cancel()
{
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_stop = true;
    m_jobs.clear();
    m_wake.notify_one();
}

void DeviceWorker::Stop()
{
    Cancel();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void DeviceWorker::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopped || !m_jobs.empty(); });
        if (m_stopped)
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job(m_stop);
        job = nullptr; // what the job holds goes before the next one starts
        lock.lock();
    }
}
