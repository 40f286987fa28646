#pragma once
// One thread for a window's device I/O (scans, walks, presence checks), so that the window's own
// thread never waits for a device: a chip that answers slowly or never holds up this thread, not the
// window. Jobs run one at a time in the order posted; each reports back to the window itself (a
// queued call). The owner stops it before anything its jobs use goes away: Stop drops the jobs not
// yet started, raises the flag the running job checks between devices, and waits for it.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class DeviceWorker {
public:
    using Job = std::function<void(const std::atomic<bool> &stop)>;

    DeviceWorker() = default;
    ~DeviceWorker() { Stop(); }
    DeviceWorker(const DeviceWorker &) = delete;
    DeviceWorker &operator=(const DeviceWorker &) = delete;

    // Queues `job`; false after Stop, or when the system cannot start the thread (the job is dropped).
    bool Post(Job job);
    // Drops the queued jobs and raises the running job's stop flag, without waiting; no job is taken
    // after it.
    void Cancel();
    // Cancel, then returns when no job runs any more. Idempotent.
    void Stop();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopped = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
