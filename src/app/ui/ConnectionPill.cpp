#include "ConnectionPill.h"

#include "ui/Spinner.h"
#include "ui/Theme.h"

#include <QPainter>
#include <QPainterPath>

namespace hoplin {

namespace {
constexpr int kPaddingX = 12;
constexpr int kHeight = 26;
constexpr int kMark = 8;      // the dot's diameter
constexpr int kSpinner = 12;
constexpr int kGap = 7;       // between mark and text

int markWidth(ConnectionState::Kind kind)
{
    return kind == ConnectionState::Kind::Connecting ? kSpinner : kMark;
}
} // namespace

ConnectionPill::ConnectionPill(QWidget *parent)
    : QAbstractButton(parent)
    , m_spinner(new Spinner(kSpinner, this))
{
    setObjectName(QStringLiteral("connectionPill"));
    setFont(theme::font(12, QFont::DemiBold));
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_Hover); // repaint on enter and leave for the hover fill
    m_spinner->hide();
    setState(m_state, 0);
}

QString ConnectionPill::textFor(const ConnectionState &state, int pendingUsage)
{
    QString text;
    switch (state.kind()) {
    case ConnectionState::Kind::Connecting:
        text = QStringLiteral("Connecting…");
        break;
    case ConnectionState::Kind::Disconnected:
        text = QStringLiteral("Not connected");
        break;
    case ConnectionState::Kind::Failed:
        text = QStringLiteral("Sign in failed");
        break;
    case ConnectionState::Kind::Connected:
        text = QStringLiteral("Connected — ") + state.clientId();
        break;
    }
    if (pendingUsage >= 1)
        text += QStringLiteral(" · %1 usage pending").arg(pendingUsage);
    return text;
}

QColor ConnectionPill::dotColor(ConnectionState::Kind kind)
{
    switch (kind) {
    case ConnectionState::Kind::Disconnected:
        return Hoplin::muted;
    case ConnectionState::Kind::Failed:
        return Hoplin::errRed;
    case ConnectionState::Kind::Connected:
        return Hoplin::okTeal;
    case ConnectionState::Kind::Connecting:
        break;
    }
    return {};
}

void ConnectionPill::setState(const ConnectionState &state, int pendingUsage)
{
    m_state = state;
    setText(textFor(state, pendingUsage));
    // Only a pill that can open the sign-in popover looks clickable.
    setCursor(state.isConnected() ? Qt::ArrowCursor : Qt::PointingHandCursor);
    setToolTip(state.kind() == ConnectionState::Kind::Failed ? state.message() : QString());
    m_spinner->setVisible(state.kind() == ConnectionState::Kind::Connecting);
    updateGeometry();
    layoutMark();
    update();
}

QSize ConnectionPill::sizeHint() const
{
    const int textWidth = fontMetrics().horizontalAdvance(text());
    return {kPaddingX + markWidth(m_state.kind()) + kGap + textWidth + kPaddingX, kHeight};
}

void ConnectionPill::resizeEvent(QResizeEvent *event)
{
    QAbstractButton::resizeEvent(event);
    layoutMark();
}

void ConnectionPill::layoutMark()
{
    m_spinner->move(kPaddingX, (height() - kSpinner) / 2);
}

void ConnectionPill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = capsule.height() / 2;
    QColor fill = Hoplin::bg;
    if (isDown())
        fill = Hoplin::line;
    else if (underMouse() && !m_state.isConnected())
        fill = Hoplin::accentSoft;
    painter.setPen(QPen(Hoplin::line, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(capsule, radius, radius);

    if (hasFocus()) {
        painter.setPen(QPen(Hoplin::accent, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(capsule.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }

    const QColor dot = dotColor(m_state.kind());
    if (dot.isValid()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(dot);
        painter.drawEllipse(QRectF(kPaddingX, (height() - kMark) / 2.0, kMark, kMark));
    }

    const int textX = kPaddingX + markWidth(m_state.kind()) + kGap;
    painter.setPen(Hoplin::ink);
    painter.setFont(font());
    painter.drawText(QRect(textX, 0, width() - textX - kPaddingX + 2, height()), Qt::AlignVCenter | Qt::AlignLeft,
                     text());
}

} // namespace hoplin
