#include "CommandHelp.h"

#include <algorithm>
#include <map>

namespace {

const std::string kHelp =
    "Commands (each also takes --help):\n"
    "  status                      what the bench holds, in one line\n"
    "  list                        the topology, what is plugged where, and the cables\n"
    "  cable add NAME [--model 0x7730|0x7701] [--version WORD | --status S0,S1] [--eeprom FILE]\n"
    "  cable remove NAME\n"
    "  plug NAME [A|B|both] [--at HUB:PORT]      (both sides by default; first free ports)\n"
    "  unplug NAME [A|B|both]\n"
    "  hub add NAME [--ports N] [--at HUB:PORT] | hub remove NAME\n"
    "  device add NAME [--vid HEX] [--pid HEX] [--description TEXT | --no-description]\n"
    "             [--no-driver] [--at HUB:PORT] | device remove NAME\n"
    "  controller add [--ports N]\n"
    "  eeprom NAME [--set FILE]                  the 256 EEPROM bytes, 16 per line\n"
    "  fault CABLE [A|B] KIND [VALUE] | fault hub HUB KIND [VALUE] | fault clear NAME\n"
    "  timing [--latency-us N] [--write-cycle-us N] [--bytes-per-second N]\n"
    "  inf                         the driver INF's path and its model lines\n"
    "  notices                     what the programs tell the operator about the cables present\n"
    "Names are 1 to 255 bytes of valid UTF-8 text without control characters, and\n"
    "every cable, hub and device has its own.\n";

const std::string kFaultHelp =
    "fault CABLE [A|B] KIND [VALUE]   a side's fault (side A when no side is named):\n"
    "  requests-fail                every vendor request fails\n"
    "  request-fails CODE           vendor request CODE (e.g. 0xF7) fails\n"
    "  block-fails K                EEPROM block K (bytes 8K..8K+7) fails to read or write\n"
    "  send-dead                    what this side sends is lost\n"
    "  drop|repeat|change OFFSET    one byte of what this side sends is dropped/repeated/changed\n"
    "  read-stalls | write-stalls   transfers on this side never complete\n"
    "  driver-key-length N          the hub answers the driver-key request with ActualLength N\n"
    "  pipes-missing                the control channel opens, the pipes do not\n"
    "  transfers-refused            reads and writes fail when they are issued\n"
    "  silent                       the chip never answers a vendor request (each fails after 1 s)\n"
    "fault CABLE KIND VALUE          a cable's fault:\n"
    "  flip-bit N                   EEPROM bit N (0..2047) reads back flipped\n"
    "  version WORD                 the chip answers the version query with WORD\n"
    "  status-only S0,S1            the chip answers only the status query, with S0 and S1\n"
    "fault hub HUB KIND [VALUE]:\n"
    "  open-fails | node-info-fails | connection-info-fails PORT|all | connection-name-fails PORT|all\n"
    "fault device NAME driver-key-length N\n"
    "fault clear NAME                removes every fault of a cable, hub or device\n";

const std::map<std::string, std::string> kCommands = {
    {"status", "status\n  says whether the bench runs and what it holds, in one line\n"},
    {"list", "list\n  controllers, hubs, ports, what is plugged where, device objects, driver keys, cables\n"},
    {"cable", "cable add NAME [--model 0x7730|0x7701] [--version WORD | --status S0,S1] [--eeprom FILE]\n"
              "  adds a cable (not plugged in); its EEPROM is blank (all 0xFF) unless FILE is given\n"
              "  (256 bytes, or a 264-byte image file)\n"
              "cable remove NAME\n  unplugs and removes a cable\n"},
    {"plug", "plug NAME [A|B|both] [--at HUB:PORT]\n"
             "  plugs a cable's sides (both by default) into the first free ports, or at HUB:PORT\n"
             "  (with both sides and --at, side B goes to the next free port)\n"},
    {"unplug", "unplug NAME [A|B|both]\n  unplugs a cable's sides (both by default)\n"},
    {"hub", "hub add NAME [--ports N] [--at HUB:PORT]\n  attaches an external hub (1 to 255 ports, 4 by default)\n"
            "hub remove NAME\n  detaches an empty external hub\n"},
    {"device", "device add NAME [--vid HEX] [--pid HEX] [--description TEXT | --no-description] [--no-driver]\n"
               "           [--at HUB:PORT]\n  attaches an ordinary USB device (a mouse by default)\n"
               "device remove NAME\n"},
    {"controller", "controller add [--ports N]\n  adds a host controller whose root hub has N ports (2 by default)\n"},
    {"eeprom", "eeprom NAME [--set FILE]\n  prints a cable's 256 EEPROM bytes as hex, 16 per line; --set\n"
               "  replaces them (256 bytes, or a 264-byte image file); it shows at the next plug-in\n"},
    {"fault", kFaultHelp},
    {"timing", "timing [--latency-us N] [--write-cycle-us N] [--bytes-per-second N]\n"
               "  sets the timing model (0 = instant; at most 10,000,000 us each) and prints it\n"},
    {"inf", "inf\n  the driver INF's path and its model lines\n"},
    {"start", "start\n  starts the bench daemon (if it is not running); returns once it answers\n"},
    {"stop", "stop\n  stops the bench daemon; the bench is kept for the next start\n"},
};

} // namespace

const std::string &BenchCommandsHelp()
{
    return kHelp;
}

const std::string &BenchCommandHelp(const std::string &command)
{
    const auto it = kCommands.find(command);
    return it == kCommands.end() ? kHelp : it->second;
}

bool WantsHelp(const std::vector<std::string> &args)
{
    return std::find(args.begin(), args.end(), "--help") != args.end();
}
