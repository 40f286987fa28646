#pragma once
// The program object: shows the editor dialog modally; the program ends when it closes.

class CQuillonApp {
public:
    // Always false: there is no message loop after the editor dialog.
    bool InitInstance();
};
