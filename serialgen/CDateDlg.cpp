#include "CDateDlg.h"

#include <cstdio>

#include <QLabel>

#include "CNumwellApp.h"
#include "NumwellServices.h"

CDateDlg::CDateDlg() : CModalDialog("Date", 280, 70), m_timeBase(numwell::BaseInstant())
{
    m_dateText = new QLabel(QStringLiteral("Static"), this);
    m_dateText->setObjectName(QStringLiteral("dateText"));
    m_dateText->setProperty("controlId", IDC_DATE);
    m_dateText->setGeometry(Dlu(32, 17, 210, 24));
    m_dateText->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    AddButton("OK", IDOK, Dlu(67, 49, 50, 14), true);
    AddButton("Cancel", IDCANCEL, Dlu(162, 49, 50, 14), false);
}

std::string CDateDlg::DateText(std::int64_t now)
{
    // English month names whatever the caller's locale is.
    static const char *const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};
    numwell::LocalDate date{};
    if (!numwell::ToLocalDate(now, date))
        date = {0, 1, 0};
    char text[160];
    std::snprintf(text, sizeof text,
                  "Today is %s %02d, %04d.\nIf it's incorrect, pleasse click \"Cancel\" and correct it.",
                  kMonths[date.month - 1], date.day, date.year);
    return text;
}

void CDateDlg::OnInitDialog()
{
    const std::int64_t now = numwell::Now();
    if (numwell::DayNumber(now, m_timeBase) < m_nLastDate) {
        CNumwellApp::MessageBox("The time is incorrect, please correct it.");
        EndDialog(Rejected);
        return;
    }
    m_dateText->setText(QString::fromLatin1(DateText(now)));
}
