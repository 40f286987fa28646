#include "QuillonApp.h"

#include "ConfigDlg.h"
#include "EditorDlg.h"
#include "Prompter.h"
#include "StartupWarnings.h"

#include <QTimer>

bool CQuillonApp::InitInstance()
{
    platform::Host &host = platform::DefaultHost();
    QtPrompter prompter;
    CEditorDlg editor(prompter, host, [&](QWidget *parent, EepromImage *image) {
        CConfigDlg config(host, prompter, parent);
        config.m_pImage = image;
        return config.exec();
    });
    editor.setWindowTitle(editor.windowTitle() + QString::fromStdString(platform::DefaultHostTitleSuffix()));
    // Said in the window once it shows: operators started from the menu never see stderr.
    const std::string warnings = editor::StartupWarnings(platform::DefaultHostProblem());
    if (!warnings.empty())
        QTimer::singleShot(0, &editor, [&] {
            prompter.Message(&editor, QString::fromStdString(warnings), {}, MessageButtons::Ok, MessageIcon::Warning);
        });
    editor.exec();
    return false;
}
