#pragma once
// Dialog templates give positions and sizes in dialog units: a quarter of the font's average character
// width horizontally and an eighth of its height vertically. Converting from the dialog's own font keeps
// the layouts in proportion on any machine.

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

class DialogUnits {
public:
    explicit DialogUnits(const QFont &font);

    int x(int du) const { return (du * m_baseX + 2) / 4; }
    int y(int du) const { return (du * m_baseY + 4) / 8; }
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const { return {x(width), y(height)}; }

    int baseX() const { return m_baseX; }
    int baseY() const { return m_baseY; }

    // Places a child at its template rectangle inside its parent's client area.
    void place(QWidget *child, int x, int y, int width, int height) const;
    // Gives a dialog the fixed client size of its template.
    void fixSize(QWidget *dialog, int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};
