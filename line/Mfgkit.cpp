// mfgkit's command line: the main help and the dispatch to the commands (MfgkitCommands.h: scan and walk
// in DeviceCommands.cpp, program and test in ProgramCommand.cpp and TestCommand.cpp over CableRun.h,
// records and report in RecordsCommands.cpp; ledger and dashboard live with the line server and the
// dashboard).

#include "Mfgkit.h"

#ifdef KIT_WITH_DASHBOARD
#include "DashboardCommand.h"
#endif
#include "LineCommands.h"
#include "MfgkitCommands.h"
#include "Os.h"
#include "Reports.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <streambuf>

namespace line {

namespace {

constexpr const char *kMainHelp = R"(usage: mfgkit COMMAND [ARGUMENTS]   (mfgkit COMMAND --help for each)

The line's command-line programmer and tester for QT7730 / QT7701 bridge cables.

  scan                 the bridge device objects and the cables they form
  walk                 the USB topology as an indented tree
  program IMAGE        program every cable present whose chip matches the image, all at once
  test IMAGE           the production test of every cable present, all at once
  records              the station's records (CSV or JSON)
  report               per day: programmed, tested, passed, failed by step, first-pass yield
  ledger               the line's ledger server: init, status, push (records --line, report --line)
  dashboard            a web page of the line's yield, failures and stations, live

Exit status: 0 all good, 1 a cable failed, 2 usage, 3 no bench / no device, 4 a record could not be
stored, 5 another numbering run holds the station. The records are kept in $QT7730_LEDGER_DB, or
ledger.db in the station's data folder (/var/lib/qt7730-mfg-kit; on Windows %ProgramData%\QT7730 MFG Kit),
and with $QT7730_LEDGER (a PostgreSQL connection string) sent to the line's server as well.
)";

// Writes to two streams: what a run says on stderr, also kept for its JSON answer.
class TeeBuffer : public std::streambuf {
public:
    TeeBuffer(std::ostream &a, std::ostream &b) : m_a(a), m_b(b) {}

protected:
    int overflow(int ch) override
    {
        if (ch != traits_type::eof()) {
            m_a.put(char(ch));
            m_b.put(char(ch));
        }
        return ch;
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        m_a.write(s, n);
        m_b.write(s, n);
        return n;
    }

private:
    std::ostream &m_a, &m_b;
};

} // namespace

int RunMfgkit(const std::vector<std::string> &args, MfgkitEnv &env)
{
    using namespace mfgkit;
    Context c{env, env.host ? *env.host : platform::DefaultHost(), env.out ? *env.out : std::cout,
              env.err ? *env.err : std::cerr};
    if (args.empty()) {
        c.err << kMainHelp;
        return kExitUsage;
    }
    const std::string &command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        c.out << kMainHelp;
        return kExitOk;
    }
    // Which world the cables are in, first: a line that looks real on the bench would mislead.
    const bool onDevices = command == "scan" || command == "walk" || command == "program" || command == "test";
    if (onDevices && !env.host && platform::DefaultHostIsBench() && !WantsHelp(rest) &&
        std::find(rest.begin(), rest.end(), "--json") == rest.end())
        c.out << "Virtual bench: the bench's simulated cables (QT7730_HOST=usb for this PC's own)\n";
    if (command == "scan")
        return Scan(c, rest);
    if (command == "walk")
        return Walk(c, rest);
    if (command == "program" || command == "test") {
        if (std::find(rest.begin(), rest.end(), "--json") == rest.end() || WantsHelp(rest))
            return command == "program" ? Program(c, rest) : Test(c, rest);
        // A caller that asked for JSON gets it on every exit, early ones included: the status and why.
        std::ostringstream said;
        TeeBuffer tee(c.err, said);
        std::ostream err(&tee);
        Context teed{c.env, c.host, c.out, err};
        const int status = command == "program" ? Program(teed, rest) : Test(teed, rest);
        if (!teed.jsonPrinted) {
            std::string reason = said.str();
            for (std::size_t at; (at = reason.find("mfgkit: ")) != std::string::npos;)
                reason.erase(at, 8);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
                reason.pop_back();
            QJsonObject doc{{"command", QString::fromStdString(command)},
                            {"exit_status", status},
                            {"error", QString::fromStdString(reason)}};
            c.out << QJsonDocument(doc).toJson(QJsonDocument::Indented).toStdString();
        }
        return status;
    }
    if (command == "records")
        return Records(c, rest);
    if (command == "report")
        return Report(c, rest);
    if (command == "ledger")
        return RunLedgerCommand(rest, c.out, c.err, c.env.ledgerPath);
    if (command == "dashboard") {
#ifdef KIT_WITH_DASHBOARD
        return dashboard::RunDashboard(rest, c.out, c.err, c.env.ledgerPath);
#else
        c.err << "mfgkit dashboard: not in this build of mfgkit (the Windows kit has no dashboard yet); start it on "
                 "the line server or a Linux station\n";
        return 2;
#endif
    }
    return Usage(c, "unknown command \"" + Printable(command) + "\"", kMainHelp);
}

} // namespace line
