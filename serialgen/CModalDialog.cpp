#include "CModalDialog.h"

#include <QFontMetrics>
#include <QPushButton>

CModalDialog::CModalDialog(const char *caption, int widthDlu, int heightDlu)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    // The templates' font; where it is missing the toolkit substitutes its sans-serif default.
    QFont font(QStringLiteral("MS Shell Dlg"), 8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    // Dialog base units: the average width of the Latin letters and the line height of that font.
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = std::max(1, (metrics.horizontalAdvance(letters) / 26 + 1) / 2);
    m_baseY = std::max(1, metrics.height());

    setWindowTitle(QString::fromLatin1(caption));
    setFixedSize(Dlu(0, 0, widthDlu, heightDlu).size());
    setModal(true);
}

QRect CModalDialog::Dlu(int x, int y, int width, int height) const
{
    return QRect(x * m_baseX / 4, y * m_baseY / 8, width * m_baseX / 4, height * m_baseY / 8);
}

QPushButton *CModalDialog::AddButton(const char *text, int id, QRect place, bool isDefault)
{
    auto *button = new QPushButton(QString::fromLatin1(text), this);
    button->setGeometry(place);
    button->setDefault(isDefault);
    button->setAutoDefault(isDefault);
    button->setProperty("controlId", id);
    if (id == IDOK)
        connect(button, &QPushButton::clicked, this, [this] { OnOK(); });
    else
        connect(button, &QPushButton::clicked, this, &QDialog::reject);
    return button;
}

void CModalDialog::EndDialog(int result)
{
    if (m_initialising)
        m_endedEarly = result;
    else
        done(result);
}

int CModalDialog::DoModal()
{
    m_endedEarly.reset();
    m_initialising = true;
    OnInitDialog();
    m_initialising = false;
    if (m_endedEarly)
        return *m_endedEarly;
    return exec();
}
