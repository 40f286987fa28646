#pragma once
// The About box: program icon, version line read from the program's own file, a line of text, OK.

#include "Host.h"

#include <QDialog>
#include <QString>

class QLabel;

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(platform::Host &host, QWidget *parent = nullptr);

    // Reads the version afresh; without one the box ends at once with Rejected and is never shown.
    int exec() override;

    QString m_strVersion;

private:
    platform::Host &m_host;
    QLabel *m_version;
};
