#include "Numwell.h"

#include <cstdio>
#include <cstring>

#include "CDateDlg.h"
#include "CNumwellApp.h"
#include "CStationDlg.h"
#include "NumwellServices.h"

namespace {

// Shared by every object in the process; the longest caption needs 33 bytes.
char s_title[64];

} // namespace

CNumwellerator::CNumwellerator()
    : m_timeBase(numwell::BaseInstant()), m_nStationID(0), m_nLastDate(0), m_nLastSN(0), m_szSN{}
{
}

CNumwellerator::CNumwellerator(const CNumwellerator &other) = default;
CNumwellerator &CNumwellerator::operator=(const CNumwellerator &other) = default;

int CNumwellerator::Initialize()
{
    // Qt has no per-module resource source to switch: the dialogs are built by this library's own
    // code. What the dialogs do need is an application object, lent here if the caller has none.
    CNumwellApp::DialogSession session;
    if (!session.Ready())
        return 0;
    return RealInitialize();
}

int CNumwellerator::RealInitialize()
{
    CStationDlg stationDlg;
    if (stationDlg.DoModal() != QDialog::Accepted)
        return 0;
    m_nStationID = stationDlg.m_nStationID;

    // The station dialog found the store writable; should it have changed since, say so too.
    std::string failure;
    std::unique_ptr<platform::SettingsKey> key = numwell::OpenWritableKey(failure);
    if (!key) {
        CNumwellApp::MessageBox(failure.c_str());
        return 0;
    }

    // Each read stops the reading at its first failure; then the counter starts from zero.
    std::int32_t number = 0;
    std::uint32_t length = sizeof number;
    bool ok = key->Read(numwell::kValueLastDate, &number, length);
    if (ok)
        m_nLastDate = number;
    number = 0;
    length = sizeof number;
    ok = ok && key->Read(numwell::kValueLastSN, &number, length);
    if (ok)
        m_nLastSN = number;
    if (ok) {
        // Read beside the field, so that whatever is stored, m_szSN stays a terminated text.
        char text[sizeof m_szSN] = {};
        length = sizeof text;
        ok = key->Read(numwell::kValueLastSNText, text, length);
        if (ok) {
            text[sizeof text - 1] = '\0';
            std::memcpy(m_szSN, text, sizeof m_szSN);
        }
    }
    if (!ok) {
        m_nLastSN = 0;
        m_nLastDate = 0;
    }
    key->Close();

    CDateDlg dateDlg;
    dateDlg.m_nLastDate = m_nLastDate;
    if (dateDlg.DoModal() != QDialog::Accepted)
        return 0;
    return 1;
}

int CNumwellerator::IncreaseSN()
{
    const std::int64_t now = numwell::Now();
    numwell::LocalDate date{};
    if (!numwell::ToLocalDate(now, date))
        date = {0, 0, 0};
    char dateText[16];
    std::snprintf(dateText, sizeof dateText, "%02d%02d%02d", date.year % 100, date.month, date.day);
    char prefix[24];
    const int prefixLength = std::snprintf(prefix, sizeof prefix, "%X%s", unsigned(m_nStationID), dateText);

    const std::int32_t today = numwell::DayNumber(now, m_timeBase);
    if (today > m_nLastDate) {
        m_nLastDate = today;
        // Day numbers turn at whole days from the base instant, the date text at local midnight;
        // under daylight saving they are an hour apart. Restarting at 1 while the last number
        // issued still carries this station and date would issue that number a second time.
        if (std::strncmp(m_szSN, prefix, std::size_t(prefixLength)) != 0)
            m_nLastSN = 0;
    }
    // Wraps instead of overflowing; two thousand million numbers a day is not a real case.
    m_nLastSN = std::int32_t(std::uint32_t(m_nLastSN) + 1u);
    std::snprintf(m_szSN, sizeof m_szSN, "%s%05d", prefix, m_nLastSN);
    return 1;
}

char *CNumwellerator::GetSN() { return m_szSN; }

char *CNumwellerator::GetTitle()
{
    std::snprintf(s_title, sizeof s_title, "%s, StationID: %d", numwell::kCompanyName, m_nStationID);
    return s_title;
}

int CNumwellerator::Save()
{
    std::unique_ptr<platform::SettingsKey> key =
        numwell::SettingsStore()->OpenKey(numwell::SettingsKeyPath(), platform::SettingsAccess::ReadWrite);
    if (!key)
        return 0;
    // The whole 32-byte field, whatever the length of the text.
    const bool saved = key->WriteNumber(numwell::kValueLastDate, std::uint32_t(m_nLastDate))
                       && key->WriteNumber(numwell::kValueLastSN, std::uint32_t(m_nLastSN))
                       && key->WriteText(numwell::kValueLastSNText, m_szSN, sizeof m_szSN) && key->Flush();
    key->Close();
    return saved ? 1 : 0;
}
