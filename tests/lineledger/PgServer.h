#pragma once
// A real PostgreSQL server for one test: a fresh cluster in a temporary folder, listening only on a
// Unix socket there, run by an unprivileged user (when the tests run as root, as CI does, the
// commands drop to the "postgres" account that Debian's package creates, or to "nobody").

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <pwd.h>
#include <unistd.h>

#include "RunCommand.h"

class PgServer {
public:
    static constexpr const char *kUser = "kit";
    static constexpr const char *kPassword = "line-secret";

    // `durable`: commits wait for the disk as in production; otherwise fsync is off to keep tests quick.
    explicit PgServer(bool durable = false) {
        m_bin = FindBin();
        std::string pattern = (std::filesystem::temp_directory_path() / "kit-pg-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        m_dir = pattern;
        { std::ofstream(m_dir / "pw") << kPassword << "\n"; }
        if (geteuid() == 0) {
            const passwd *pw = getpwnam("postgres");
            if (!pw) pw = getpwnam("nobody");
            if (!pw) throw std::runtime_error("no unprivileged account to run the server");
            m_runAs = "runuser -u " + std::string(pw->pw_name) + " -- ";
            if (chown(m_dir.c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
                chown((m_dir / "pw").c_str(), pw->pw_uid, pw->pw_gid) != 0)
                throw std::runtime_error("chown failed");
        }
        std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all);
        const auto r = RunCommand(m_runAs + m_bin + "/initdb -D " + Data() + " -U " + kUser + " --pwfile=" +
                                  (m_dir / "pw").string() + " --auth=scram-sha-256 -E UTF8 --no-sync >" +
                                  (m_dir / "initdb.log").string() + " 2>&1");
        if (r.status != 0) throw std::runtime_error("initdb failed: " + Log("initdb.log"));
        std::ofstream conf(m_dir / "data" / "postgresql.conf", std::ios::app);
        conf << "listen_addresses = ''\nunix_socket_directories = '" << m_dir.string() << "'\nport = 5432\n"
             << "max_connections = 60\nshared_buffers = 16MB\n";
        if (!durable) conf << "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n";
        conf.close();
        if (!Start()) throw std::runtime_error("the server did not start: " + Log("server.log"));
    }
    ~PgServer() {
        RunCommand(m_runAs + m_bin + "/pg_ctl -D " + Data() + " -m immediate -w stop >/dev/null 2>&1");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    bool Start() {
        return RunCommand(m_runAs + m_bin + "/pg_ctl -D " + Data() + " -l " + (m_dir / "server.log").string() +
                          " -w -t 60 start >/dev/null 2>&1").status == 0;
    }
    bool Stop() {
        return RunCommand(m_runAs + m_bin + "/pg_ctl -D " + Data() + " -m fast -w -t 60 stop >/dev/null 2>&1")
                   .status == 0;
    }

    std::string Conninfo(const std::string &password = kPassword) const {
        return "host=" + m_dir.string() + " port=5432 dbname=postgres user=" + kUser + " password=" + password;
    }
    std::string Log(const std::string &name) const {
        std::ifstream in(m_dir / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string Data() const { return (m_dir / "data").string(); }
    static std::string FindBin() {
        std::string best;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
            if (std::filesystem::exists(e.path() / "bin" / "pg_ctl") && e.path().string() > best) best = e.path().string();
        if (best.empty()) throw std::runtime_error("no PostgreSQL server installed (Debian package postgresql)");
        return best + "/bin";
    }

    std::string m_bin;
    std::filesystem::path m_dir;
    std::string m_runAs;
};
