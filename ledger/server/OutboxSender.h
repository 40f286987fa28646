#pragma once
// Sends a station's outbox to the line server on a thread of its own, in sequence order, each record
// once. The station's work never waits for it: records are durable locally before they get here, and
// when the server is away they simply wait.

#include "LineLedger.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace line {

// The station side of the outbox: the records not yet on the line server.
class Outbox {
public:
    virtual ~Outbox() = default;
    // Up to `limit` unsent records, lowest sequence first. False with `error` when the ledger cannot be read.
    virtual bool Pending(std::size_t limit, std::vector<OutboxRow> &rows, std::string &error) = 0;
    virtual bool MarkSent(const std::vector<std::int64_t> &seqs, std::string &error) = 0;
    virtual std::int64_t Waiting() = 0;  // -1 when unknown
};

// The outbox columns of the station's SQLite ledger: `seq`, `body` and `line_sent` of the records table.
// Opens its own connection, so it belongs to the one thread that uses it.
class SqliteOutbox final : public Outbox {
public:
    explicit SqliteOutbox(std::string path, std::string table = "records");
    ~SqliteOutbox() override;
    bool Pending(std::size_t limit, std::vector<OutboxRow> &rows, std::string &error) override;
    bool MarkSent(const std::vector<std::int64_t> &seqs, std::string &error) override;
    std::int64_t Waiting() override;

private:
    bool Open(std::string &error);
    std::string m_path, m_table;
    sqlite3 *m_db = nullptr;
};

struct SenderStatus {
    bool reachable = false;   // the last attempt reached the server
    std::int64_t sent = 0;    // records this sender delivered
    std::string lastError;    // "" when the last attempt succeeded
};

class OutboxSender {
public:
    struct Options {
        std::size_t batch = 200;
        std::chrono::milliseconds connectTimeout{3000};
        std::chrono::milliseconds retryMin{200}, retryMax{5000};
    };
    OutboxSender(std::unique_ptr<Outbox> outbox, std::string conninfo, Options options);
    OutboxSender(std::unique_ptr<Outbox> outbox, std::string conninfo)
        : OutboxSender(std::move(outbox), std::move(conninfo), Options{}) {}
    // Stops the thread and joins it, after the batch in flight (bounded by the connection's timeouts).
    // Status() stays readable afterwards.
    void Stop();
    ~OutboxSender();
    OutboxSender(const OutboxSender &) = delete;
    OutboxSender &operator=(const OutboxSender &) = delete;

    // A record was appended: send soon, without waiting out a retry pause.
    void Wake();
    // Waits at most `timeout` until the outbox is empty; true when it is.
    bool Drain(std::chrono::milliseconds timeout);
    SenderStatus Status() const;

private:
    void Run();
    // One round: true when the outbox is empty afterwards.
    bool SendRound(LineLedger &server, bool &failed);

    std::unique_ptr<Outbox> m_outbox;  // used by the thread only
    std::string m_conninfo;
    Options m_options;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake, m_progress;
    bool m_stop = false;
    bool m_woken = false;
    bool m_empty = false;
    std::uint64_t m_rounds = 0;
    SenderStatus m_status;
    std::thread m_thread;  // last: started when everything above exists
};

}  // namespace line
