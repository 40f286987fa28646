#include "QuillonApp.h"

#include "ConfigDlg.h"
#include "EditorDlg.h"
#include "Prompter.h"

bool CQuillonApp::InitInstance()
{
    platform::Host &host = platform::DefaultHost();
    QtPrompter prompter;
    CEditorDlg editor(prompter, host, [&](QWidget *parent, EepromImage *image) {
        CConfigDlg config(host, prompter, parent);
        config.m_pImage = image;
        return config.exec();
    });
    editor.exec();
    return false;
}
