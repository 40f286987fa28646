#include "DashboardCommand.h"

#include "Dashboard.h"
#include "HttpServer.h"
#include "LineCommands.h"
#include "LineLedger.h"
#include "StationLedger.h"

#include <csignal>
#include <ostream>

#include <pthread.h>

namespace line::dashboard {
namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

const char *const kHelp =
    "Usage: mfgkit dashboard [--listen ADDR:PORT] [--station]\n"
    "Serves the line dashboard, a web page of the line's yield, failures and stations that updates\n"
    "itself, at http://ADDR:PORT/ (default 127.0.0.1:8730; port 0: any free port). Read-only: it\n"
    "never writes a ledger. Its numbers come from the line's server when QT7730_LEDGER names one,\n"
    "else (or with --station) from this station's ledger (QT7730_LEDGER_DB). Every table of the\n"
    "page downloads as CSV. Stops on SIGINT or SIGTERM (Ctrl+C).\n"
    "An address other than this machine's own (127.0.0.1, ::1) lets every machine that reaches it\n"
    "read the records.\n";

// "ADDR:PORT", "[v6]:PORT" or ":PORT" (loopback).
bool ParseListen(const std::string &text, std::string &address, int &port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    if (address.empty())
        address = "127.0.0.1";
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(digits);
    return port <= 65535;
}

} // namespace

int RunDashboard(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                 const std::string &ledgerPath)
{
    std::string address = "127.0.0.1";
    int port = 8730;
    bool station = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            out << kHelp;
            return kOk;
        }
        if (args[i] == "--station") {
            station = true;
        } else if (args[i] == "--listen" && i + 1 < args.size()) {
            if (!ParseListen(args[++i], address, port)) {
                err << "mfgkit dashboard: --listen takes ADDR:PORT, such as 127.0.0.1:8730 or 0.0.0.0:8730\n";
                return kUsage;
            }
        } else {
            err << "mfgkit dashboard: unexpected argument '" << args[i] << "'\n" << kHelp;
            return kUsage;
        }
    }
    const LineTarget target = LineTargetFromEnvironment();
    if (!target.error.empty() && !station) {
        err << "mfgkit dashboard: " << target.error << "\n";
        return kUsage;
    }
    const std::string path = ledgerPath.empty() ? LedgerPath() : ledgerPath;
    std::unique_ptr<DashboardSource> source;
    if (target.conninfo && !station) {
        LineLedger check(*target.conninfo);
        // A server that is away or not set up yet is said now; the page says it too, and picks the
        // server up when it comes.
        if (!check.CheckSchema())
            err << "mfgkit dashboard: " << check.Error() << "\n";
        source = LineSource(*target.conninfo);
    } else {
        source = StationSource(path, target.conninfo.has_value());
    }
    const std::string from = source->Describe();
    Dashboard dashboard(std::move(source));

    // SIGINT and SIGTERM are blocked before the server's threads start, so this thread alone takes them.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    int status = kOk;
    {
        std::unique_ptr<http::Server> server = http::MakeServer();
        dashboard.Install(*server);
        std::string error;
        if (!server->Listen(address, port, &error)) {
            err << "mfgkit dashboard: " << error << "\n";
            status = kFailed;
        } else {
            const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
            out << "mfgkit dashboard: http://" << shown << ":" << server->Port() << "/ (from " << from
                << "; Ctrl+C stops it)" << std::endl;
            if (!http::IsLoopback(address))
                out << "mfgkit dashboard: listening on " << address
                    << ", which other machines can reach: whoever reaches this port can read the line's records"
                    << std::endl;
            int signal = 0;
            sigwait(&stop, &signal);
            server->Stop();
            out << "mfgkit dashboard: stopped" << std::endl;
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return status;
}

} // namespace line::dashboard
