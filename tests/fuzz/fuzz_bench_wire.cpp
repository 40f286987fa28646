// Feeds arbitrary request payloads to the bench daemon's request handler, as a client could send
// them, against a bench with a cable plugged in. The daemon must answer or refuse, never crash or
// read outside a message.

#include "Bench.h"
#include "HostServer.h"
#include "SimHost.h"

#include <filesystem>

namespace {

struct World {
    World()
        : bench([] {
              bench::BenchOptions options;
              options.systemDirectory = std::filesystem::temp_directory_path() / "fuzz-bench-wire";
              std::filesystem::create_directories(options.systemDirectory / "INF");
              return options;
          }()),
          host(bench.Pc()), server(host)
    {
        bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
        const auto root = bench.AddController(4);
        const auto cable = bench.AddCable();
        bench.PlugSide(cable, bench::Side::A, {root, 1});
        bench.PlugSide(cable, bench::Side::B, {root, 2});
    }
    bench::Bench bench;
    platform::SimHost host;
    benchwire::HostServer server;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World world;
    // Requests that read or replace files by name would let the fuzzer touch this machine's files.
    if (size > 0 && (data[0] == 13 || data[0] == 14))
        return 0;
    std::string reply;
    world.server.AnswerOnce(7, std::string(reinterpret_cast<const char *>(data), size), reply);
    return 0;
}
