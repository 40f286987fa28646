#pragma once
// The About box: program icon, "Function Test <major>.<minor>" from the program file's own version
// information, and the maker's notice.

#include "Host.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>

class QLabel;

namespace production {

inline constexpr const char *kProgramTitle = "Function Test";

// "%s %d.%d" with the title and the two halves of the most significant version word.
QString VersionLine(const platform::FileVersion &version);

class CAboutDlg : public QDialog {
public:
    static constexpr int kWidth = 235, kHeight = 60;
    // The program file's version information, or none when it has none.
    using VersionSource = std::function<std::optional<platform::FileVersion>()>;

    CAboutDlg(VersionSource version, QWidget *parent = nullptr);

    // Ends with Cancel at once, showing nothing, when the program file has no version information.
    int exec() override;
    // The same, modal to `owner` only: the program's other windows stay usable meanwhile.
    int ExecModalTo(QWidget *owner);

    QString m_strVersion;
    QLabel *VersionLabel() const { return m_version; }

private:
    bool Prepare();

    VersionSource m_source;
    QLabel *m_version = nullptr;
};

} // namespace production
