#pragma once
// Drives Tamber's start the way an operator does: presses Start in the EEPROM Info dialog whenever it
// is up, then, once the main window shows its prompt window, runs `script` inside the window's own
// modal loop.

#include "InfoDlg.h"
#include "ProductionDlg.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <functional>

inline void WhenProductionRuns(production::CProductionDlg *dlg, std::function<void()> script)
{
    auto *poll = new QTimer(dlg);
    QObject::connect(poll, &QTimer::timeout, dlg, [dlg, poll, script] {
        if (auto *info = dynamic_cast<production::CInfoDlg *>(QApplication::activeModalWidget());
            info && info->isVisible()) {
            info->m_btnStart->click();
            return;
        }
        if (!dlg->isVisible() || !dlg->m_pDetectDlg)
            return;
        poll->stop();
        poll->deleteLater();
        script();
    });
    poll->start(5);
}
