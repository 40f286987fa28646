#include "PipeCable.h"

#include <windows.h>

#include <vector>

namespace {

constexpr DWORD kPipeBuffer = 256 * 1024; // more than one test pattern

// Waits for an overlapped operation or the stop event; false when stopped (the operation is then
// cancelled and collected) or failed.
bool Finish(HANDLE pipe, OVERLAPPED &ov, HANDLE stop, BOOL started, DWORD &transferred)
{
    transferred = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_PIPE_CONNECTED)
        return false;
    if (!started && GetLastError() == ERROR_PIPE_CONNECTED)
        return true;
    const HANDLE events[2] = {ov.hEvent, stop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &ov);
        GetOverlappedResult(pipe, &ov, &transferred, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe, &ov, &transferred, FALSE) != 0;
}

HANDLE MakePipe(const std::string &name, DWORD direction)
{
    return CreateNamedPipeA(name.c_str(), direction | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kPipeBuffer, kPipeBuffer, 0,
                            nullptr);
}

} // namespace

PipeCable::PipeCable(const std::string &name)
    : m_sideA("\\\\.\\pipe\\" + name + "-A"), m_sideB("\\\\.\\pipe\\" + name + "-B"),
      m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    // The pipes exist before the constructor returns, so a side opened right after is found.
    m_ab = std::thread([this, in = MakePipe(m_sideA + "\\2", PIPE_ACCESS_INBOUND),
                        out = MakePipe(m_sideB + "\\3", PIPE_ACCESS_OUTBOUND)] {
        Relay(in, out, m_faultAB);
    });
    m_ba = std::thread([this, in = MakePipe(m_sideB + "\\2", PIPE_ACCESS_INBOUND),
                        out = MakePipe(m_sideA + "\\3", PIPE_ACCESS_OUTBOUND)] {
        Relay(in, out, m_faultBA);
    });
}

PipeCable::~PipeCable()
{
    SetEvent(m_stop);
    m_ab.join();
    m_ba.join();
    CloseHandle(m_stop);
}

void PipeCable::Relay(void *inPipe, void *outPipe, const std::atomic<Fault> &fault)
{
    HANDLE in = inPipe, out = outPipe;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(kPipeBuffer);
    DWORD n = 0;
    // Either side may connect first; each pipe is served once.
    bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE
              && Finish(in, ov, m_stop, ConnectNamedPipe(in, &ov), n)
              && Finish(out, ov, m_stop, ConnectNamedPipe(out, &ov), n);
    while (ok) {
        ok = Finish(in, ov, m_stop, ReadFile(in, buffer.data(), DWORD(buffer.size()), nullptr, &ov), n);
        if (!ok)
            break;
        const Fault now = fault.load();
        if (now == Fault::Dead)
            continue;
        if (now == Fault::DropLastByte && n > 0)
            --n;
        ok = Finish(out, ov, m_stop, WriteFile(out, buffer.data(), n, nullptr, &ov), n);
    }
    CloseHandle(ov.hEvent);
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
}
