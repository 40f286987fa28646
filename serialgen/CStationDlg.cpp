#include "CStationDlg.h"

#include <QComboBox>
#include <QLabel>

#include "CNumwellApp.h"
#include "NumwellServices.h"

CStationDlg::CStationDlg() : CModalDialog("Station ID", 166, 73)
{
    auto *label = new QLabel(QStringLiteral("Station ID:"), this);
    label->setGeometry(Dlu(27, 17, 40, 12));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // A drop-down list without edit field, in insertion order; 49 units is its dropped height.
    m_stationList = new QComboBox(this);
    m_stationList->setObjectName(QStringLiteral("stationList"));
    m_stationList->setProperty("controlId", IDC_STATION);
    m_stationList->setEditable(false);
    const QRect dropped = Dlu(77, 17, 58, 49);
    const int closedHeight = m_stationList->sizeHint().height();
    m_stationList->setGeometry(dropped.x(), dropped.y(), dropped.width(), closedHeight);
    m_stationList->setMaxVisibleItems(std::max(1, (dropped.height() - closedHeight) / fontMetrics().height()));

    AddButton("OK", IDOK, Dlu(27, 52, 50, 14), true);
    AddButton("Cancel", IDCANCEL, Dlu(87, 52, 50, 14), false);
}

CStationDlg::StationRead CStationDlg::ReadStationID()
{
    std::string failure;
    std::unique_ptr<platform::SettingsKey> key = numwell::OpenWritableKey(failure);
    if (!key) {
        CNumwellApp::MessageBox(failure.c_str());
        return StationRead::StoreFailed;
    }
    std::uint32_t value = 0;
    std::uint32_t length = sizeof value;
    if (!key->Read(numwell::kValueStationID, &value, length) || value > 15)
        return StationRead::NotStored;
    m_nStationID = std::int32_t(value);
    return StationRead::Stored;
}

void CStationDlg::OnInitDialog()
{
    switch (ReadStationID()) {
    case StationRead::Stored:
        EndDialog(Accepted);
        return;
    case StationRead::StoreFailed:
        // Said once: asking for a station that could not be stored would only fail again.
        EndDialog(Rejected);
        return;
    case StationRead::NotStored:
        break;
    }
    for (int index = 0; index < 16; ++index)
        m_stationList->addItem(QString::number(index));
    m_stationList->setCurrentIndex(0);
}

void CStationDlg::OnOK()
{
    m_nStationID = m_stationList->currentIndex();

    std::string failure;
    std::unique_ptr<platform::SettingsKey> key = numwell::OpenWritableKey(failure);
    if (!key) {
        CNumwellApp::MessageBox(failure.c_str());
        EndDialog(Rejected);
        return;
    }
    // Flushed here so that "stored" means on the disk, not merely handed to the store.
    if (!key->WriteNumber(numwell::kValueStationID, std::uint32_t(m_nStationID)) || !key->Flush()) {
        key->Close();
        CNumwellApp::MessageBox("Set registry value fail");
        EndDialog(Rejected);
        return;
    }
    key->Close();
    accept();
}
