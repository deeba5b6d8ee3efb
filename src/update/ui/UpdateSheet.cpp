#include "UpdateSheet.h"

#include "service/Async.h"
#include "ui/Spinner.h"
#include "ui/Theme.h"
#include "update/UpdateManager.h"
#include "version.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>
#include <QVBoxLayout>

namespace hoplin {

namespace {

QString current()
{
    return QStringLiteral("%1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild);
}

// The platform has no "arrow.down.circle.fill" symbol; a drawn stand-in in the accent colour.
QIcon downloadIcon(int size, const QColor &color)
{
    QPixmap pixmap(size * 2, size * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(0, 0, size, size));
    QPen pen(Qt::white, size / 9.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    const double c = size / 2.0;
    painter.drawLine(QPointF(c, size * 0.25), QPointF(c, size * 0.7));
    painter.drawPolyline(QPolygonF{{c - size * 0.2, size * 0.5}, {c, size * 0.7}, {c + size * 0.2, size * 0.5}});
    return QIcon(pixmap);
}

} // namespace

UpdateSheet::UpdateSheet(UpdateManager &updater, QWidget *parent)
    : QDialog(parent)
    , m_updater(updater)
{
    setObjectName(QStringLiteral("updateSheet"));
    setWindowTitle(QStringLiteral("Software Update"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(420);

    auto *icon = new QLabel(this);
    icon->setPixmap(downloadIcon(24, Hoplin::accent).pixmap(24, 24));
    auto *title = theme::label(QStringLiteral("Software Update"), 20, Hoplin::ink, this, QFont::Bold);
    auto *header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(icon);
    header->addWidget(title);
    header->addStretch();

    m_spinner = new Spinner(14, this);
    m_message = theme::label({}, 13, Hoplin::ink, this);
    m_message->setObjectName(QStringLiteral("updateMessage"));
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *messageRow = new QHBoxLayout;
    messageRow->setSpacing(8);
    messageRow->addWidget(m_spinner, 0, Qt::AlignTop);
    messageRow->addWidget(m_message, 1);
    m_detail = theme::label({}, 13, Hoplin::muted, this);
    m_detail->setObjectName(QStringLiteral("updateDetail"));
    m_detail->setWordWrap(true);
    m_detail->setTextFormat(Qt::PlainText);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("updateProgress"));
    m_bar->setFixedWidth(260);
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);

    m_action = new QPushButton(this);
    m_action->setObjectName(QStringLiteral("updateAction"));
    connect(m_action, &QPushButton::clicked, this, &UpdateSheet::runAction);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("updateClose"));
    connect(close, &QPushButton::clicked, this, &UpdateSheet::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_action);
    buttons->addWidget(close);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(m_bar);
    layout->addLayout(messageRow);
    layout->addWidget(m_detail);
    layout->addSpacing(4);
    layout->addLayout(buttons);

    connect(&m_updater, &UpdateManager::phaseChanged, this, &UpdateSheet::refresh);
    refresh();
}

QStringList UpdateSheet::bodyTexts() const
{
    QStringList texts{m_message->text()};
    if (!m_detail->isHidden())
        texts << m_detail->text();
    return texts;
}

QString UpdateSheet::actionText() const
{
    return m_action->isHidden() ? QString() : m_action->text();
}

void UpdateSheet::refresh()
{
    const Phase &phase = m_updater.phase();
    QString message;
    QString detail;
    QString action;
    bool spinning = false;
    bool bar = false;
    switch (phase.kind) {
    case Phase::Kind::Idle:
    case Phase::Kind::Checking:
        spinning = true;
        message = QStringLiteral("Checking for updates…");
        break;
    case Phase::Kind::UpToDate:
        message = QStringLiteral("You're up to date — Hoplin Desktop %1.").arg(current());
        break;
    case Phase::Kind::Available:
        message = QStringLiteral("Version %1 (build %2) is available — you have %3.")
                      .arg(phase.manifest->version)
                      .arg(phase.manifest->build)
                      .arg(current());
        detail = phase.manifest->notes.value_or(QString());
        if (m_updater.installedByPackageManager())
            detail += (detail.isEmpty() ? QString() : QStringLiteral("\n\n")) + UpdateManager::packageManagerNotice();
        else
            action = QStringLiteral("Download");
        break;
    case Phase::Kind::Downloading:
        bar = true;
        message = QStringLiteral("Downloading update… %1%").arg(int(phase.fraction * 100));
        break;
    case Phase::Kind::Downloaded:
        message = QStringLiteral("Version %1 is downloaded and verified.").arg(phase.manifest->version);
        if (m_updater.installedByPackageManager()) {
            detail = UpdateManager::packageManagerNotice();
        } else if (m_updater.bundlePath()) {
            detail = QStringLiteral("Install & Relaunch quits Hoplin, swaps in the new version and reopens it.");
            action = QStringLiteral("Install & Relaunch");
        } else {
            // A build tree or a system package never replaces itself.
            detail = QStringLiteral("This copy of Hoplin Desktop does not run from an installed application "
                                    "bundle, so it cannot replace itself. The verified image is at %1.")
                         .arg(phase.path);
        }
        break;
    case Phase::Kind::Installing:
        spinning = true;
        message = QStringLiteral("Installing…");
        break;
    case Phase::Kind::Error:
        message = phase.message;
        action = QStringLiteral("Check Again");
        break;
    }
    m_spinner->setVisible(spinning);
    m_message->setText(message);
    m_detail->setText(detail);
    m_detail->setVisible(!detail.isEmpty());
    m_bar->setVisible(bar);
    m_bar->setValue(int(phase.fraction * 1000));
    m_action->setText(action);
    m_action->setVisible(!action.isEmpty());
    m_action->setDefault(phase.kind == Phase::Kind::Available || phase.kind == Phase::Kind::Downloaded);
    adjustSize();
}

void UpdateSheet::runAction()
{
    const Phase phase = m_updater.phase();
    switch (phase.kind) {
    case Phase::Kind::Available:
        detach(m_updater.download(*phase.manifest), QStringLiteral("update"), QStringLiteral("download"));
        break;
    case Phase::Kind::Downloaded:
        m_updater.installAndRelaunch(*phase.manifest, phase.path);
        break;
    case Phase::Kind::Error:
        detach(m_updater.check(), QStringLiteral("update"), QStringLiteral("check"));
        break;
    default:
        break;
    }
}

void UpdateSheet::reject()
{
    // Closing never cancels a download or an installation; the tab bar's button reopens the sheet.
    m_updater.setShowSheet(false);
    QDialog::reject();
}

UpdateButton::UpdateButton(UpdateManager &updater, QWidget *parent)
    : QPushButton(parent)
    , m_updater(updater)
{
    setObjectName(QStringLiteral("updateButton"));
    setCursor(Qt::PointingHandCursor);
    setFont(theme::font(12, QFont::DemiBold));
    setIcon(downloadIcon(14, Hoplin::accentInk));
    setStyleSheet(QStringLiteral("QPushButton { color: %1; background: %2; border: none; border-radius: 11px;"
                                 " padding: 3px 10px; }")
                      .arg(Hoplin::accentInk.name(), Hoplin::accentSoft.name()));
    connect(this, &QPushButton::clicked, this, [this] {
        m_updater.setShowSheet(true);
        detach(m_updater.check(), QStringLiteral("update"), QStringLiteral("check"));
    });
    connect(&m_updater, &UpdateManager::availabilityChanged, this, &UpdateButton::refresh);
    refresh();
}

void UpdateButton::refresh()
{
    setText(QStringLiteral("Update v%1").arg(m_updater.latestVersion().value_or(QStringLiteral("new"))));
    setVisible(m_updater.updateAvailable());
}

} // namespace hoplin
