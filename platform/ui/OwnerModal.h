#pragma once
// A dialog box modal to its owner window only, as dialog boxes are in the windowing toolkit the
// programs follow: while it is open the owner takes no mouse or keyboard input, and every other window
// of the program, the owner's other owned windows included, stays usable. A request to close the owner
// still reaches it, which then must end the dialog first.
// Qt's own window modality cannot say this: it also blocks every window the owner owns.

class QDialog;
class QWidget;

// Shows `dialog` (which should be owned by `owner`) and runs a local event loop until it is done or
// hidden; returns its result. A click into the blocked owner brings the dialog to the front.
int ExecModalToOwner(QDialog &dialog, QWidget *owner);
