#pragma once
// Asks the operator once per machine which work station (0 to 15) this is and keeps the answer in
// the settings store; a machine with a stored number never sees the dialog.

#include <cstdint>

#include "CModalDialog.h"

class QComboBox;

class CStationDlg : public CModalDialog {
public:
    CStationDlg();

    enum class StationRead { Stored, NotStored, StoreFailed };
    // Reads a stored station number of 0 to 15 into m_nStationID, creating the key when missing.
    // Every later step writes the store, so a store that cannot be written fails here, said once.
    StationRead ReadStationID();

    std::int32_t m_nStationID = 0; // valid when DoModal returned OK

    static constexpr int IDC_STATION = 1003;

protected:
    void OnInitDialog() override;
    void OnOK() override;

private:
    QComboBox *m_stationList;
};
