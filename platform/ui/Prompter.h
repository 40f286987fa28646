#pragma once
// Message boxes and file choosers behind one small interface, so that the programs' decisions can be
// driven by tests that answer them (ScriptedPrompter in tests/support) and by people (QtPrompter).

#include <QString>

class QWidget;

enum class MessageIcon { None, Information, Warning, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageResult { Ok, Cancel, Yes, No };

// A file chooser's one filter, e.g. {"Eeprom file", "*.eep;*.sdt"}.
struct FileFilter {
    QString name;
    QString patterns; // separated by ';'
};

struct SaveFileRequest {
    FileFilter filter;
    QString initialName;      // e.g. "QT7730_Veltrona_"
    QString defaultExtension; // without the dot, e.g. "eep"
};

class Prompter {
public:
    virtual ~Prompter() = default;

    // A modal message box. An empty caption means the application's name.
    virtual MessageResult Message(QWidget *parent, const QString &text, const QString &caption = {},
                                  MessageButtons buttons = MessageButtons::Ok,
                                  MessageIcon icon = MessageIcon::None) = 0;
    // The chosen existing file, or an empty string when the operator cancelled.
    virtual QString OpenFileName(QWidget *parent, const FileFilter &filter) = 0;
    // The chosen file to write (the default extension added when none was typed; overwriting an
    // existing file was confirmed; its folder exists), or an empty string when the operator cancelled.
    virtual QString SaveFileName(QWidget *parent, const SaveFileRequest &request) = 0;
};

class QtPrompter : public Prompter {
public:
    MessageResult Message(QWidget *parent, const QString &text, const QString &caption,
                          MessageButtons buttons, MessageIcon icon) override;
    QString OpenFileName(QWidget *parent, const FileFilter &filter) override;
    QString SaveFileName(QWidget *parent, const SaveFileRequest &request) override;
};

// Why the save chooser refuses `path` (its folder does not exist), or an empty string when it may be
// chosen.
QString MissingFolderRefusal(const QString &path);

// "Eeprom file (*.eep *.sdt)": the name-filter form Qt's file dialogs take.
QString QtNameFilter(const FileFilter &filter);
