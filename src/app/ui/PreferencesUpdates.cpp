#include "PreferencesView.h"
#include "PreferencesForm.h"

#include "ui/Theme.h"
#include "update/UpdateManager.h"
#include "version.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

// The Updates section of the Preferences form.

namespace hoplin {

using namespace preferences;

QWidget *PreferencesView::buildUpdates()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Updates"), QStringLiteral("updatesSection"), rows);
    auto *version = theme::label(QStringLiteral("%1 %2 (%3)")
                                     .arg(QLatin1String(version::kAppName), QLatin1String(version::kVersion))
                                     .arg(version::kBuild),
                                 12, Hoplin::ink);
    version->setObjectName(QStringLiteral("appVersionLabel"));
    rows->addWidget(version);
    m_updateStatus = namedLabel(QStringLiteral("updateStatus"), 11, Hoplin::muted,
                                QStringLiteral("Checks the Hoplin VPS for a newer version."));
    rows->addWidget(m_updateStatus);
    m_checkUpdates = button(QStringLiteral("Check for Updates…"), QStringLiteral("checkUpdatesButton"));
    // Enabled once an update manager answers through setUpdateCheckAvailable.
    m_checkUpdates->setEnabled(false);
    connect(m_checkUpdates, &QPushButton::clicked, this, &PreferencesView::updateCheckRequested);
    rows->addLayout(row({m_checkUpdates}));
    return box;
}

void PreferencesView::setUpdateStatus(const QString &text)
{
    m_updateStatus->setText(text);
}

void PreferencesView::setUpdateCheckAvailable(bool available)
{
    m_checkUpdates->setEnabled(available);
}

QString PreferencesWindowController::updateStatusLine(const Phase &phase)
{
    switch (phase.kind) {
    case Phase::Kind::Available:
        return QStringLiteral("Version %1 (build %2) is available.").arg(phase.manifest->version).arg(phase.manifest->build);
    case Phase::Kind::Downloading:
        return QStringLiteral("Downloading the update…");
    case Phase::Kind::Downloaded:
        return QStringLiteral("Version %1 is downloaded and verified.").arg(phase.manifest->version);
    case Phase::Kind::Error:
        return phase.message;
    case Phase::Kind::UpToDate:
        return QStringLiteral("You're up to date.");
    case Phase::Kind::Idle:
    case Phase::Kind::Checking:
    case Phase::Kind::Installing:
        break;
    }
    return QStringLiteral("Checks the Hoplin VPS for a newer version.");
}

} // namespace hoplin
