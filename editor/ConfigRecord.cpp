#include "ConfigRecord.h"

#include "Station.h"
#include "StationLedger.h"
#include "StepLog.h"

#include <chrono>

namespace editor {

namespace {

// Passes everything through, watching the steps and storing the record once the outcome is known.
class RecordingUi : public ConfigWorkerUi {
public:
    RecordingUi(ConfigWorkerUi &inner, const ConfigTarget *target, const EepromImage *image)
        : m_inner(inner), m_target(target), m_image(image)
    {
    }
    void AppendLog(const std::string &text) override
    {
        m_steps.Feed(text);
        m_inner.AppendLog(text);
    }
    bool AskUpdateInf() override
    {
        Record(); // every step passed
        return m_inner.AskUpdateInf();
    }
    void ShowFailure() override
    {
        Record();
        m_inner.ShowFailure();
    }
    void UpdateInf(const std::string &driverKey, uint16_t vendorId, uint16_t productId) override
    {
        m_inner.UpdateInf(driverKey, vendorId, productId);
    }
    void Record()
    {
        if (m_recorded)
            return;
        m_recorded = true;
        line::LedgerRecord r;
        r.kind = line::LedgerRecord::kProgram;
        r.tool = "Quillon";
        r.timeUtc = m_startUtc;
        const line::StationIdentity station = line::CurrentStation();
        r.station = station.station;
        r.host = station.host;
        if (m_image) {
            if (m_image->m_rec.bSerialIndex != 0) {
                char serial[256] = {};
                if (m_image->GetString(3, serial, sizeof serial))
                    r.serial = serial;
            }
            r.imageSha256 = line::Sha256Hex(m_image->Bytes(), EepromImage::kImageSize);
            r.chipModel = m_image->m_rec.dwChipModel.get();
            r.chipVersion = m_image->m_rec.dwChipVersion.get();
        }
        if (m_target && !m_target->devicePath.empty())
            r.devices.push_back(m_target->devicePath);
        r.steps = m_steps.Steps();
        r.verdict = m_steps.AllPassed() ? line::LedgerRecord::kPass : line::LedgerRecord::kFail;
        r.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_began)
                           .count();
        // A cable programmed without its record must not pass unnoticed: the log says so.
        if (std::string why; !line::AppendToStationLedger(r, "Quillon", &why))
            m_inner.AppendLog("\r\nThe result was NOT stored in the station's ledger (" + why +
                              "). Ask the station's administrator.\r\n");
    }

private:
    ConfigWorkerUi &m_inner;
    const ConfigTarget *m_target;
    const EepromImage *m_image;
    line::StepLog m_steps;
    bool m_recorded = false;
    const std::string m_startUtc = line::NowUtc();
    const std::chrono::steady_clock::time_point m_began = std::chrono::steady_clock::now();
};

} // namespace

ConfigResult RunAndRecordConfiguration(const ConfigTarget *target, EepromImage *image, ConfigDevice &device,
                                       ConfigWorkerUi &ui)
{
    RecordingUi recording(ui, target, image);
    const ConfigResult result = RunConfiguration(target, image, device, recording);
    recording.Record();
    return result;
}

} // namespace editor
