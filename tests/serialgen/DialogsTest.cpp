// The station-ID and date dialogs, run modally under the offscreen platform.

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "CDateDlg.h"
#include "CStationDlg.h"
#include "NumwellFixture.h"

namespace {

using DialogsTest = NumwellFixture;

TEST_F(DialogsTest, StationListOffersZeroToFifteenAndOkStoresTheChosenIndex)
{
    ModalScript script;
    QStringList entries;
    int selected = -1;
    QString labels;
    script.Then([&](QWidget *window) {
        for (QLabel *label : window->findChildren<QLabel *>())
            labels += label->text();
        auto *ok = window->findChildren<QPushButton *>().value(0);
        EXPECT_TRUE(ok && ok->text() == QStringLiteral("OK") && ok->isDefault());
        EXPECT_FALSE(window->findChild<QComboBox *>()->isEditable());
        EXPECT_GT(window->width(), window->height()); // 166 by 73 units
        ChooseStation(12, &entries, &selected)(window);
    });
    CStationDlg dialog;
    EXPECT_EQ(dialog.DoModal(), QDialog::Accepted);
    EXPECT_EQ(labels, QStringLiteral("Station ID:"));
    EXPECT_EQ(entries.join(','), QStringLiteral("0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"));
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(dialog.m_nStationID, 12);
    EXPECT_EQ(StoredNumber(numwell::kValueStationID), 12u);
}

TEST_F(DialogsTest, KeyThatCannotBeCreatedIsReportedAndNothingIsStored)
{
    // The store's folder would have to live below a plain file.
    m_dir.write("file", {1});
    numwell::SetSettingsStore(std::make_shared<platform::SqliteSettingsStore>(m_dir.file("file/settings.db")));
    // Said once, naming the store; the station list is not offered, as a choice could not be kept.
    ModalScript script;
    const std::string text = "Create registry key fail\nThe settings store cannot be written: " + m_dir.file("file/settings.db");
    script.Then(ExpectMessage(text.c_str()));
    CStationDlg dialog;
    EXPECT_EQ(dialog.DoModal(), QDialog::Rejected);
    EXPECT_EQ(script.PendingSteps(), 0);
    EXPECT_TRUE(script.Unexpected().isEmpty());
}

TEST_F(DialogsTest, DateTextNamesTodayAndOkConfirms)
{
    CDateDlg probe;
    const std::int32_t today = numwell::DayNumber(m_now, probe.m_timeBase);
    for (const bool confirm : {true, false}) {
        ModalScript script;
        QString text;
        script.Then([&](QWidget *window) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Date"));
            text = window->findChild<QLabel *>(QStringLiteral("dateText"))->text();
            ModalScript::Click(window, confirm ? QStringLiteral("OK") : QStringLiteral("Cancel"));
        });
        CDateDlg dialog;
        dialog.m_nLastDate = today; // the same day as the last number is fine
        EXPECT_EQ(dialog.DoModal(), confirm ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(text, QStringLiteral("Today is May 19, 2006.\n"
                                       "If it's incorrect, pleasse click \"Cancel\" and correct it."));
    }
}

TEST_F(DialogsTest, DateBeforeTheLastIssuedShowsOnlyTheMessage)
{
    ModalScript script;
    script.Then(ExpectMessage("The time is incorrect, please correct it."));
    CDateDlg dialog;
    dialog.m_nLastDate = numwell::DayNumber(m_now, dialog.m_timeBase) + 1;
    EXPECT_EQ(dialog.DoModal(), QDialog::Rejected);
    EXPECT_EQ(script.Seen(), QStringList{QStringLiteral("Numwell")});
}

TEST_F(DialogsTest, DateTextUsesEnglishMonthsAndTwoDigitDays)
{
    EXPECT_EQ(CDateDlg::DateText(LocalTime(2041, 1, 2, 9, 0, 0)).substr(0, 28), "Today is January 02, 2041.\nI");
    EXPECT_EQ(CDateDlg::DateText(LocalTime(2006, 12, 31, 23, 59, 59)).substr(0, 29), "Today is December 31, 2006.\nI");
}

} // namespace
