#include "QueueRow.h"

#include "ui/Theme.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cmath>

namespace hoplin {

QString progressLabel(const QueueItem &item)
{
    if (!item.progress)
        return {};
    QString text = QStringLiteral("%1 %").arg(int(std::floor(std::clamp(*item.progress, 0.0, 1.0) * 100)));
    if (item.remainingSeconds) {
        const int seconds = int(std::ceil(std::max(0.0, *item.remainingSeconds)));
        if (seconds >= 60)
            text += QStringLiteral(" · about %1 min %2 s left").arg(QString::number(seconds / 60), QString::number(seconds % 60));
        else
            text += QStringLiteral(" · about %1 s left").arg(seconds);
    }
    return text;
}

QueueRow::QueueRow(QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("queueRow"));
    setStyleSheet(QStringLiteral("#queueRow { border-bottom: 1px solid %1; }").arg(Hoplin::line.name()));
    m_name = new QLabel;
    m_name->setFont(theme::font(13, QFont::Medium));
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_preset = new QLabel;
    m_preset->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_preset->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_status = new QLabel;
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_detail = new QLabel;
    m_detail->setWordWrap(true);
    m_detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_detail->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::errRed.name()));
    m_detail->setFont(theme::font(11));
    m_bar = new QProgressBar;
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(6);
    m_progress = new QLabel;
    m_progress->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_progress->setFont(theme::font(11));
    m_button = new QPushButton;
    m_button->setFixedWidth(84);
    connect(m_button, &QPushButton::clicked, this, [this] { emit actionTriggered(m_action); });

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(4, 8, 4, 8);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(4);
    grid->addWidget(m_name, 0, 0);
    grid->addWidget(m_preset, 0, 1);
    grid->addWidget(m_status, 0, 2);
    grid->addWidget(m_button, 0, 3, 2, 1, Qt::AlignVCenter);
    grid->addWidget(m_bar, 1, 0, 1, 2);
    grid->addWidget(m_progress, 1, 2);
    grid->addWidget(m_detail, 2, 0, 1, 3);
    grid->setColumnStretch(0, 4);
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(2, 3);
}

void QueueRow::show(const QueueItem &item, const QString &presetName, bool running)
{
    m_name->setText(item.fileName());
    m_name->setToolTip(item.input);
    m_preset->setText(presetName);
    m_status->setText(item.status);
    m_status->setToolTip(item.status);
    const QColor colour = !item.succeeded ? Hoplin::ink : (*item.succeeded ? Hoplin::okTeal : Hoplin::errRed);
    m_status->setStyleSheet(QStringLiteral("color: %1;").arg(colour.name()));
    m_detail->setText(item.errorDetail.value_or(QString()));
    m_detail->setVisible(item.errorDetail.has_value() && !item.errorDetail->isEmpty());

    if (item.succeeded == false)
        m_action = Action::Retry;
    else if (item.succeeded == true && item.output)
        m_action = Action::Reveal;
    else if (!item.succeeded)
        m_action = Action::Remove;
    else
        m_action = Action::None;
    static const char *const labels[] = {"", "Retry", "Reveal", "Remove"};
    m_button->setText(QString::fromLatin1(labels[int(m_action)]));
    m_button->setVisible(m_action != Action::None);
    m_button->setEnabled(!running);
    showProgress(item);
}

void QueueRow::showProgress(const QueueItem &item)
{
    const bool visible = item.isPending() && item.progress.has_value();
    m_bar->setVisible(visible);
    m_progress->setVisible(visible);
    if (visible) {
        m_bar->setValue(int(std::clamp(*item.progress, 0.0, 1.0) * 1000));
        m_progress->setText(progressLabel(item));
    }
}

QString QueueRow::statusText() const
{
    return m_status->text();
}

QString QueueRow::progressText() const
{
    return m_progress->isVisibleTo(this) ? m_progress->text() : QString();
}

} // namespace hoplin
