#pragma once
// One function-test direction as the benchmarks time it, on any Host: open HOSTLNK-1's read pipe and
// HOSTLNK-2's write pipe, move 131,071 bytes with both transfers in flight, close everything.

#include "Host.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

inline void TimePipeDirection(benchmark::State &state, platform::Host &h)
{
    using namespace platform;
    std::vector<std::uint8_t> out(131071), in(131071);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(i + 1);
    for (auto _ : state) {
        const Handle readPipe = h.OpenFile("\\\\.\\HOSTLNK-1\\3", ACCESS_READ, SHARE_READ, true);
        const Handle writePipe = h.OpenFile("\\\\.\\HOSTLNK-2\\2", ACCESS_WRITE, SHARE_WRITE, true);
        Overlapped r{h.CreateEvent(false)}, w{h.CreateEvent(false)};
        h.ReadFile(readPipe, in.data(), std::uint32_t(in.size()), r);
        h.WriteFile(writePipe, out.data(), std::uint32_t(out.size()), w);
        const Handle events[] = {r.event, w.event};
        if (h.WaitForEvents(events, true, 2000) != 0)
            state.SkipWithError("transfer timed out");
        h.GetOverlappedResult(readPipe, r, nullptr, true);
        h.GetOverlappedResult(writePipe, w, nullptr, true);
        for (Handle x : {readPipe, writePipe, r.event, w.event})
            h.CloseHandle(x);
    }
    if (in != out)
        state.SkipWithError("the pattern arrived changed");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * 131071);
}
