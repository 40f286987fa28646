#pragma once
// A small HTTP server behind an interface of our own, so that the dashboard never names the library that
// serves it and the library can be swapped. GET (and HEAD) routes by exact path; answers are whole
// bodies. Every client is bounded: how many at once, how long it may take to send its request or to
// read the answer, and how large its request may be.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace http {

struct Request {
    std::string path;
    std::map<std::string, std::string> query; // decoded query parameters (the first of each name)
    std::string Param(const std::string &name) const
    {
        auto it = query.find(name);
        return it == query.end() ? std::string() : it->second;
    }
};

struct Response {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using Handler = std::function<Response(const Request &)>;

struct Limits {
    int maxClients = 64;                              // connections served at once; more wait to be accepted
    std::chrono::milliseconds readTimeout{5000};      // a client that sends nothing is dropped after it
    std::chrono::milliseconds writeTimeout{5000};     // ... and one that reads nothing
    std::size_t maxBodyBytes = 4096;                  // request bodies (a GET has none); the request line and
                                                      // headers are bounded by the library (8 KiB each)
    int keepAliveRequests = 10;                       // requests per connection
    std::chrono::seconds keepAlive{2};                // an idle kept-alive connection is closed after it
};

class Server {
public:
    virtual ~Server() = default;
    // Routes are added before Listen.
    virtual void Get(const std::string &path, Handler handler) = 0;
    // Binds to `address`:`port` (0: any free port) and serves on threads the server owns until Stop.
    // False with `error` when the address cannot be bound.
    virtual bool Listen(const std::string &address, int port, std::string *error) = 0;
    virtual int Port() const = 0;
    // Stops accepting, lets the clients being served finish (within the time-outs) and joins every thread.
    virtual void Stop() = 0;
};

std::unique_ptr<Server> MakeServer(const Limits &limits = {});

// Whether an address to listen on is this machine only (127.0.0.0/8, ::1, "localhost").
bool IsLoopback(const std::string &address);

} // namespace http
