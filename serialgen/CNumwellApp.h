#pragma once
// The library shell: its application name, its message boxes, and the Qt application object its
// dialogs need. Numwell runs inside somebody else's program, which may be a Qt program (then its
// QApplication is used) or a plain one (then the library lends itself one for the duration of a
// call that shows dialogs).

#include <memory>

class QApplication;

class CNumwellApp {
public:
    // The library's file name without its extension: the caption of its message boxes.
    static const char *Name();

    // A modal message box with an OK button, no icon and the library's name as caption; `text` is
    // UTF-8 (a store's path may hold any character).
    static void MessageBox(const char *text);

    // Makes dialogs possible for its lifetime. Not ready when the calling thread cannot own
    // windows: a non-GUI application object exists, it lives on another thread, or there is no
    // display to open windows on (creating the application then would abort the caller).
    class DialogSession {
    public:
        DialogSession();
        ~DialogSession();
        DialogSession(const DialogSession &) = delete;
        DialogSession &operator=(const DialogSession &) = delete;

        bool Ready() const { return m_ready; }

    private:
        std::unique_ptr<QApplication> m_ownApplication;
        bool m_ready = false;
    };
};
