#include "SignInPopover.h"

#include "ui/Spinner.h"
#include "ui/Theme.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace hoplin {

namespace {
constexpr int kFieldWidth = 260;
}

SignInPopover::SignInPopover(QWidget *parent)
    : QFrame(parent, Qt::Popup)
    , m_field(new QLineEdit(this))
    , m_connect(new QPushButton(QStringLiteral("Connect"), this))
    , m_spinner(new Spinner(14, this))
    , m_failure(new QLabel(this))
{
    setObjectName(QStringLiteral("signInPopover"));
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(true);
    setStyleSheet(QStringLiteral("#signInPopover { background: %1; border: 1px solid %2; }")
                      .arg(Hoplin::card.name(), Hoplin::line.name()));

    auto *title = new QLabel(QStringLiteral("Sign in"), this);
    title->setObjectName(QStringLiteral("signInTitle"));
    title->setFont(theme::font(15, QFont::Bold));

    m_field->setObjectName(QStringLiteral("clientKeyField"));
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setPlaceholderText(QStringLiteral("Client key"));
    m_field->setFixedWidth(kFieldWidth);
    m_field->setFont(theme::font(13));
    m_field->setMinimumHeight(28);
    m_field->setStyleSheet(QStringLiteral("QLineEdit { border: 1px solid %1; border-radius: 5px; padding: 2px 7px;"
                                          " background: %2; color: %3; }"
                                          "QLineEdit:focus { border-color: %4; }")
                               .arg(Hoplin::line.name(), Hoplin::card.name(), Hoplin::ink.name(),
                                    Hoplin::accent.name()));

    m_connect->setObjectName(QStringLiteral("connectButton"));
    m_connect->setDefault(true);
    m_connect->setCursor(Qt::PointingHandCursor);
    m_connect->setFont(theme::font(13, QFont::DemiBold));
    m_connect->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: %2; border: none; border-radius: 5px;"
                                            " padding: 5px 16px; }"
                                            "QPushButton:pressed { background: %3; }"
                                            "QPushButton:disabled { background: %4; color: %2; }")
                                 .arg(Hoplin::accent.name(), Hoplin::card.name(), Hoplin::accentInk.name(),
                                      Hoplin::disabled.name()));

    m_spinner->setObjectName(QStringLiteral("signInSpinner"));
    m_spinner->hide();

    m_failure->setObjectName(QStringLiteral("signInFailure"));
    m_failure->setFont(theme::font(11));
    m_failure->setWordWrap(true);
    m_failure->setFixedWidth(kFieldWidth);
    m_failure->setTextFormat(Qt::PlainText); // the service's error text, never markup
    m_failure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette failurePalette = m_failure->palette();
    failurePalette.setColor(QPalette::WindowText, Hoplin::errRed);
    m_failure->setPalette(failurePalette);
    m_failure->hide();

    auto *buttons = new QHBoxLayout();
    buttons->setSpacing(8);
    buttons->addWidget(m_connect);
    buttons->addWidget(m_spinner);
    buttons->addStretch(1);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 16);
    layout->setSpacing(10);
    layout->addWidget(title);
    layout->addWidget(m_field);
    layout->addWidget(m_failure);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Return submits only what the button would: nothing while a sign-in is under way.
    connect(m_field, &QLineEdit::returnPressed, this, [this] {
        if (m_connect->isEnabled())
            emit submitted();
    });
    connect(m_connect, &QPushButton::clicked, this, &SignInPopover::submitted);
}

QString SignInPopover::key() const
{
    return m_field->text();
}

void SignInPopover::clearKey()
{
    m_field->clear();
}

void SignInPopover::setState(const ConnectionState &state)
{
    const bool connecting = state.kind() == ConnectionState::Kind::Connecting;
    m_connect->setEnabled(!connecting);
    m_spinner->setVisible(connecting);
    const QString message = state.message();
    m_failure->setText(message);
    m_failure->setVisible(!message.isEmpty());
}

void SignInPopover::popUp(QWidget *anchor)
{
    adjustSize();
    const QPoint anchorBottomRight = anchor->mapToGlobal(QPoint(anchor->width(), anchor->height() + 6));
    QPoint topLeft(anchorBottomRight.x() - width(), anchorBottomRight.y());
    if (const QScreen *screen = anchor->screen()) {
        const QRect available = screen->availableGeometry();
        topLeft.setX(qBound(available.left(), topLeft.x(), qMax(available.left(), available.right() - width())));
        topLeft.setY(qBound(available.top(), topLeft.y(), qMax(available.top(), available.bottom() - height())));
    }
    move(topLeft);
    show();
    m_field->setFocus(Qt::PopupFocusReason);
}

void SignInPopover::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QFrame::keyPressEvent(event);
}

} // namespace hoplin
