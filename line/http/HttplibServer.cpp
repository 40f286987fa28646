// The HTTP server on cpp-httplib (Debian's libcpp-httplib, 0.11): a thread per connection served, taken
// from a pool that never holds more than Limits::maxClients connections. A connection beyond that is
// not accepted until one ends, so it waits in the kernel's queue instead of costing a thread, and a
// silent client costs one thread for at most the read time-out.

#include "HttpServer.h"

#include <httplib.h>

#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace http {
namespace {

// At most `limit` connections queued or served; the accepting thread waits while that many are in.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(int limit, const std::atomic<bool> &stopping) : m_limit(limit), m_stopping(stopping) {}
    ~BoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock lock(m_mutex);
        // While stopping, the connection is taken all the same: it is served (or times out) and closed,
        // so no socket is left behind.
        while (m_inside >= m_limit && !m_stopping)
            m_room.wait_for(lock, std::chrono::milliseconds(50));
        ++m_inside;
        m_jobs.push_back(std::move(fn));
        if (m_idle == 0 && int(m_threads.size()) < m_limit)
            m_threads.emplace_back([this] { Work(); });
        m_work.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_work.notify_all();
        for (std::thread &t : m_threads)
            if (t.joinable())
                t.join();
        m_threads.clear();
    }

private:
    void Work()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_idle;
            m_work.wait(lock, [this] { return m_done || !m_jobs.empty(); });
            --m_idle;
            if (m_jobs.empty())
                return; // done, and nothing left to serve
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
            --m_inside;
            m_room.notify_one();
        }
    }

    const int m_limit;
    const std::atomic<bool> &m_stopping;
    std::mutex m_mutex;
    std::condition_variable m_work, m_room;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    int m_inside = 0, m_idle = 0;
    bool m_done = false;
};

class HttplibServer : public Server {
public:
    explicit HttplibServer(const Limits &limits) : m_limits(limits)
    {
        m_server.new_task_queue = [this] { return new BoundedPool(m_limits.maxClients, m_stopping); };
        m_server.set_read_timeout(m_limits.readTimeout);
        m_server.set_write_timeout(m_limits.writeTimeout);
        m_server.set_payload_max_length(m_limits.maxBodyBytes);
        m_server.set_keep_alive_max_count(std::size_t(m_limits.keepAliveRequests));
        m_server.set_keep_alive_timeout(m_limits.keepAlive.count());
        m_server.Get(".*", [this](const httplib::Request &req, httplib::Response &res) { Dispatch(req, res); });
    }
    ~HttplibServer() override { Stop(); }

    void Get(const std::string &path, Handler handler) override { m_routes[path] = std::move(handler); }

    bool Listen(const std::string &address, int port, std::string *error) override
    {
        const int bound = port == 0 ? m_server.bind_to_any_port(address) : (m_server.bind_to_port(address, port) ? port : -1);
        if (bound <= 0) {
            if (error)
                *error = "cannot listen on " + address + ":" + std::to_string(port) +
                         " (address not of this machine, or the port is in use)";
            return false;
        }
        m_port = bound;
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        return true;
    }

    int Port() const override { return m_port; }

    void Stop() override
    {
        m_stopping = true;
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }

private:
    void Dispatch(const httplib::Request &req, httplib::Response &res)
    {
        Response out;
        auto route = m_routes.find(req.path);
        if (route == m_routes.end()) {
            out.status = 404;
            out.body = R"({"error":"no such page"})";
        } else {
            Request in;
            in.path = req.path;
            for (const auto &[name, value] : req.params)
                in.query.emplace(name, value);
            try {
                out = route->second(in);
            } catch (const std::exception &e) {
                out = Response{};
                out.status = 500;
                out.body = R"({"error":"internal error"})";
            }
        }
        res.status = out.status;
        // Nothing served here is meant to be framed, sniffed into another type or kept by a cache.
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Cache-Control", "no-store");
        for (const auto &[name, value] : out.headers)
            res.set_header(name.c_str(), value);
        res.set_content(out.body, out.contentType.c_str());
    }

    Limits m_limits;
    httplib::Server m_server;
    std::map<std::string, Handler> m_routes;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    int m_port = 0;
};

} // namespace

std::unique_ptr<Server> MakeServer(const Limits &limits)
{
    return std::make_unique<HttplibServer>(limits);
}

bool IsLoopback(const std::string &address)
{
    if (address == "localhost")
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

} // namespace http
