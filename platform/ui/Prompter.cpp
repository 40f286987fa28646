#include "Prompter.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

// The save chooser refuses a path whose folder does not exist, as the operator types it, instead of
// handing back a file that cannot be written.
class SaveChooser : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QString refusal = MissingFolderRefusal(files.first());
            if (!refusal.isEmpty()) {
                QMessageBox::warning(this, windowTitle(), refusal);
                return;
            }
        }
        QFileDialog::accept();
    }
};

} // namespace

QString QtNameFilter(const FileFilter &filter)
{
    QString patterns = filter.patterns;
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    return QStringLiteral("%1 (%2)").arg(filter.name, patterns);
}

MessageResult QtPrompter::Message(QWidget *parent, const QString &text, const QString &caption,
                                  MessageButtons buttons, MessageIcon icon)
{
    QMessageBox box(parent);
    box.setWindowTitle(caption.isEmpty() ? QApplication::applicationName() : caption);
    box.setText(text);
    switch (icon) {
    case MessageIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MessageIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MessageIcon::Question: box.setIcon(QMessageBox::Question); break;
    }
    switch (buttons) {
    case MessageButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case MessageButtons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MessageButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok: return MessageResult::Ok;
    case QMessageBox::Yes: return MessageResult::Yes;
    case QMessageBox::No: return MessageResult::No;
    default: return buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Cancel;
    }
}

QString QtPrompter::OpenFileName(QWidget *parent, const FileFilter &filter)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QtNameFilter(filter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

QString MissingFolderRefusal(const QString &path)
{
    const QFileInfo file(path);
    // A folder typed as the name is opened by the chooser itself; only a file's folder must exist.
    if (path.isEmpty() || file.isDir())
        return {};
    const QFileInfo folder(file.absolutePath());
    if (folder.isDir())
        return {};
    return QStringLiteral("%1\nThe folder %2 does not exist.\nPlease choose an existing folder.")
        .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(folder.filePath()));
}

QString QtPrompter::SaveFileName(QWidget *parent, const SaveFileRequest &request)
{
    SaveChooser dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QtNameFilter(request.filter));
    dialog.setDefaultSuffix(request.defaultExtension);
    dialog.selectFile(request.initialName);
    // Qt asks before overwriting by default. A desktop's own (native) chooser never calls
    // SaveChooser::accept: its answer is checked here, and the chooser shown again when refused.
    for (;;) {
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return {};
        const QString chosen = dialog.selectedFiles().first();
        const QString refusal = MissingFolderRefusal(chosen);
        if (refusal.isEmpty())
            return chosen;
        QMessageBox::warning(parent, dialog.windowTitle(), refusal);
    }
}
