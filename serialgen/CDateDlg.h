#pragma once
// Has the operator confirm the system date before numbers carrying it are issued, and refuses a
// clock that lies before the last issued number's day.

#include <cstdint>
#include <string>

#include "CModalDialog.h"

class QLabel;

class CDateDlg : public CModalDialog {
public:
    CDateDlg();

    // The two-line text shown for the local date of `now`.
    static std::string DateText(std::int64_t now);

    std::int32_t m_nLastDate = 0; // day number of the last issued serial number, set by the opener
    std::int32_t m_timeBase;      // the same base instant as CNumwellerator's

    static constexpr int IDC_DATE = 1006;

protected:
    void OnInitDialog() override;

private:
    QLabel *m_dateText;
};
