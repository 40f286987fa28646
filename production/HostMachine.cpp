#include "HostMachine.h"

#include "StationCheck.h"
#include "StationLedger.h"
#include "StepLog.h"
#include "TestRecord.h"
#include "TamberTexts.h"

#include <QStringList>

#include <chrono>

#include <array>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace production {

void KeepTransferBuffersInHeap()
{
#ifdef __GLIBC__
    ::mallopt(M_MMAP_THRESHOLD, 4 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

uint32_t HostFlowMachine::ScanBridgeDevices(const std::atomic<bool> *stop)
{
    return ::ScanBridgeDevices(CHIP_MODEL_QT7730, m_host, stop);
}

namespace {

struct WalkContext {
    const std::function<PortMatch(const PortView &)> *visitor;
    UsbTree *tree;
};

const char *Text(const std::optional<std::string> &text)
{
    return text ? text->c_str() : nullptr;
}

int VisitPort(void *context, UsbNodeInfo *record)
{
    auto *walk = static_cast<WalkContext *>(context);
    const PortView port{record->idVendor, record->idProduct, Text(record->pszDriverKey), Text(record->pszDeviceId),
                        Text(record->pszDevicePath), record->location.c_str()};
    const PortMatch match = (*walk->visitor)(port);
    if (match == PortMatch::None)
        return 0;
    // The matched port's item is taken out and put back sorted, marked; the record moves with it.
    walk->tree->ReplaceItem(record->hItem, ITEM_MATCHED, UsbTree::Placement::Sorted);
    return match == PortMatch::Accepted ? 1 : 0;
}

} // namespace

int HostFlowMachine::WalkTopology(const std::function<PortMatch(const PortView &)> &visitor)
{
    WalkContext context{&visitor, &m_walker.Tree()};
    return m_walker.WalkAllControllers(&VisitPort, &context);
}

bool HostFlowMachine::IsInstallPending()
{
    return m_host.WaitNoPendingInstallEvents(0) == platform::InstallWait::TimedOut;
}

bool HostFlowMachine::IsDevicePresent(const std::string &instanceId)
{
    return m_host.IsDevicePresent(instanceId);
}

namespace {

class BridgeSide : public SideDevice {
public:
    explicit BridgeSide(platform::Host &host) : m_device(host) {}
    bool Open(const std::string &path) override { return m_device.Open(path); }
    void Close() override { m_device.Close(); }
    bool QueryChip(uint32_t *model, uint32_t *version) override { return m_device.QueryChip(model, version); }
    bool ReadEeprom(uint8_t *dest, uint16_t offset, uint16_t length) override
    {
        return m_device.ReadEeprom(dest, offset, length);
    }
    bool SendPrepareRequest() override { return m_device.SendPrepareRequest(); }

private:
    BridgeDevice m_device;
};

// One overlapped transfer and everything it holds; the destructor never lets the transfer outlive its
// buffer and event: what is still in flight is cancelled and collected first.
class Transfer {
public:
    Transfer(platform::Host &host, platform::Handle pipe) : m_host(host), m_pipe(pipe) {}
    ~Transfer()
    {
        Finish(true);
        if (m_ov.event != platform::INVALID_HANDLE)
            m_host.CloseHandle(m_ov.event);
        m_host.CloseHandle(m_pipe);
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    bool CreateEvent()
    {
        m_ov.event = m_host.CreateEvent(false);
        return m_ov.event != platform::INVALID_HANDLE && m_host.ResetEvent(m_ov.event);
    }
    void StartRead(void *buffer, uint32_t size)
    {
        m_state = m_host.ReadFile(m_pipe, buffer, size, m_ov);
        m_started = true;
    }
    void StartWrite(const void *buffer, uint32_t size)
    {
        m_state = m_host.WriteFile(m_pipe, buffer, size, m_ov);
        m_started = true;
    }
    platform::Handle Event() const { return m_ov.event; }

    // Collects the transfer (cancelling it first when asked); afterwards the backend no longer touches
    // its buffer or event, and a read's bytes are in the buffer (a remote backend delivers them here).
    void Finish(bool cancel)
    {
        if (!m_started || m_state == platform::IoStart::Failed)
            return;
        m_started = false;
        if (cancel)
            m_host.CancelIo(m_pipe);
        m_host.GetOverlappedResult(m_pipe, m_ov, nullptr, true);
    }

private:
    platform::Host &m_host;
    platform::Handle m_pipe;
    platform::Overlapped m_ov;
    platform::IoStart m_state = platform::IoStart::Failed;
    bool m_started = false;
};

} // namespace

std::unique_ptr<SideDevice> HostCableIo::NewSide()
{
    return std::make_unique<BridgeSide>(m_host);
}

int HostCableIo::TransferTest(const std::string &readPath, const std::string &writePath)
{
    using namespace platform;
    const Handle readPipe = m_host.OpenFile(readPath + "\\3", ACCESS_READ, SHARE_READ, true);
    if (readPipe == INVALID_HANDLE)
        return 0;
    const Handle writePipe = m_host.OpenFile(writePath + "\\2", ACCESS_WRITE, SHARE_WRITE, true);
    if (writePipe == INVALID_HANDLE) {
        m_host.CloseHandle(readPipe);
        return 0;
    }

    // The buffers are declared before the transfers, so they are released after them.
    std::vector<uint8_t> readBuffer(kPatternSize, 0);
    std::vector<uint8_t> writeBuffer(TestPattern(), TestPattern() + kPatternSize);
    Transfer read(m_host, readPipe);
    Transfer write(m_host, writePipe);
    if (!read.CreateEvent() || !write.CreateEvent())
        return 0;

    // The read is in flight before the write starts; both are awaited together.
    read.StartRead(readBuffer.data(), static_cast<uint32_t>(kPatternSize));
    write.StartWrite(writeBuffer.data(), static_cast<uint32_t>(kPatternSize));
    const std::array<Handle, 2> events{read.Event(), write.Event()};
    const int waited = m_host.WaitForEvents(events, true, kTransferLimitMs);
    // Both collected before the comparison; after a time-out or a failed wait, cancelled first.
    const bool inTime = waited == 0;
    write.Finish(!inTime);
    read.Finish(!inTime);
    return inTime && PatternArrived(readBuffer.data()) ? 1 : 0;
}

QString StartupWarning(bool benchNotRunning)
{
    QStringList said;
    if (benchNotRunning)
        said << LoadText(IDS_NO_BENCH);
    for (const line::StationProblem &problem : line::StationProblems())
        if (problem.what == line::StationProblem::What::Ledger)
            said << LoadText(IDS_LEDGER_NOT_WRITABLE_HERE).arg(QString::fromStdString(problem.path));
    return said.join(QStringLiteral("\n\n"));
}

CableRunner HostCableRunner(platform::Host &host)
{
    return [&host](const RunInputs &in, const LogFn &log) {
        HostCableIo io(host);
        // The run is observed for the station's ledger; what the operator sees does not depend on it.
        ObservingCableIo observed(io);
        line::StepLog steps(EnglishStepNames());
        const std::string start = line::NowUtc();
        const auto began = std::chrono::steady_clock::now();
        const bool passed = TestWorker(in, observed, [&](const std::string &text) {
            steps.Feed(text);
            log(text);
        });
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
        if (!line::AppendToStationLedger(
                TestRecord("Tamber", in, observed.Observed(), steps.Steps(), passed, start, took), "Tamber"))
            log("\r\n" + LoadTextUtf8(IDS_NOT_RECORDED) + "\r\n"); // in the window, not only on stderr
        return passed;
    };
}

} // namespace production
