#include "TabButton.h"

#include "ui/Theme.h"

#include <QFocusEvent>
#include <QPainter>

namespace hoplin {

namespace {
constexpr int kPadX = 18;
constexpr int kPadY = 10;
constexpr int kUnderline = 2;
} // namespace

TabButton::TabButton(const QString &title, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(title.toUpper());
    setCheckable(true);
    setAutoExclusive(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    QFont heavy = theme::font(11, QFont::ExtraBold);
    heavy.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    setFont(heavy);
}

QSize TabButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2 * kPadX, metrics.height() + 2 * kPadY};
}

void TabButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(isChecked() || isDown() ? Hoplin::ink : Hoplin::muted);
    // Letter spacing also trails the last letter; shift by half of it so the title sits centred.
    painter.drawText(QRectF(rect()).translated(font().letterSpacing() / 2, 0), Qt::AlignCenter, text());
    if (isChecked())
        painter.fillRect(QRect(0, height() - kUnderline, width(), kUnderline), Hoplin::accent);
    if (hasFocus() && m_keyboardFocus) {
        painter.setPen(QPen(Hoplin::accent, 1, Qt::DotLine));
        painter.drawRect(rect().adjusted(2, 2, -3, -3));
    }
}

void TabButton::focusInEvent(QFocusEvent *event)
{
    m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

} // namespace hoplin
