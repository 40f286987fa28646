#pragma once
// The verdict label of the prompt window: one line of large bold text, red or green, centred, on the
// dialog's own background.

#include <QLabel>

namespace production {

class CRedStatic : public QLabel {
public:
    explicit CRedStatic(QWidget *parent = nullptr);

    bool m_bGreen = false;      // false: red text
    int m_nFontHeight = 60;     // character cell height in pixels

    static QColor TextColour(bool green);
    // The font used for painting: bold Arial whose cell (ascent plus descent) is m_nFontHeight.
    QFont VerdictFont() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace production
