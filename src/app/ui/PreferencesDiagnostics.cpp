#include "PreferencesView.h"
#include "PreferencesForm.h"

#include "Application.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "service/Async.h"
#include "ui/Theme.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

// The Diagnostics section of the Preferences form.

namespace hoplin {

using namespace preferences;

QWidget *PreferencesView::buildDiagnostics()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Diagnostics"), QStringLiteral("diagnosticsSection"), rows);
    m_logging = new QCheckBox(QStringLiteral("Logging"));
    m_logging->setObjectName(QStringLiteral("loggingSwitch"));
    connect(m_logging, &QCheckBox::toggled, this, &PreferencesView::setLogging);
    rows->addWidget(m_logging);
    rows->addWidget(caption(QStringLiteral("Constantly records app activity to a local file — off by default. Switch "
                                           "on only when asked, then export the TXT and send it over.")));
    rows->addWidget(caption(platform::localText(QStringLiteral("The log stays on this Mac — it is never uploaded."))));
    m_logSummary = namedLabel(QStringLiteral("logSummary"), 11, Hoplin::ink);
    m_logSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rows->addWidget(m_logSummary);
    auto *exportButton = button(QStringLiteral("Export…"), QStringLiteral("exportButton"));
    connect(exportButton, &QPushButton::clicked, this, &PreferencesView::exportWithPanel);
    auto *openFolder = button(QStringLiteral("Open Folder"), QStringLiteral("openFolderButton"));
    connect(openFolder, &QPushButton::clicked, this, &PreferencesView::openLogFolder);
    rows->addLayout(row({exportButton, openFolder}));
    m_diagnosticsNote = noteLabel(QStringLiteral("diagnosticsNote"));
    rows->addWidget(m_diagnosticsNote);
    return box;
}

void PreferencesView::setLogging(bool on)
{
    // The setting changes first: the logger reads it.
    Settings::shared().setValue(QLatin1String(keys::hoplinDiag), on);
    if (on) {
        m_logger.startIfEnabled();
        m_logger.log(kDiagnostics, QStringLiteral("enabled from Preferences"));
        setNote(m_diagnosticsNote, QStringLiteral("Logging on — everything the app does is now recorded."));
    } else {
        // A last line even though the setting is already off, so the log shows why it ends.
        m_logger.finalLog(kDiagnostics, QStringLiteral("disabled from Preferences"));
        m_logger.stop();
        setNote(m_diagnosticsNote, QStringLiteral("Logging off."));
    }
    refreshLogSummary();
}

QString PreferencesView::sizeText(qint64 bytes)
{
    if (bytes / 1048576 >= 1)
        return QStringLiteral("%1 MB").arg(bytes / 1048576);
    if (bytes >= 1024)
        return QStringLiteral("%1 KB").arg(bytes / 1024);
    return QStringLiteral("%1 B").arg(qMax<qint64>(bytes, 0));
}

QString PreferencesView::logSummary() const
{
    const QString path = m_logger.logFilePath();
    const QFileInfo info(path);
    return QStringLiteral("%1 (%2)").arg(path, sizeText(info.exists() ? info.size() : 0));
}

void PreferencesView::refreshLogSummary()
{
    m_logSummary->setText(logSummary());
}

void PreferencesView::exportWithPanel()
{
    const QString name = QStringLiteral("hoplin-logs-%1.txt")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString folder = platform::downloadsDirectory();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    QFileDialog panel(this, QStringLiteral("Export Hoplin Logs"));
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    panel.setNameFilter(QStringLiteral("Plain text (*.txt)"));
    panel.setDefaultSuffix(QStringLiteral("txt"));
    panel.setDirectory(folder);
    panel.selectFile(name);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    detach(exportLog(panel.selectedFiles().constFirst()), kDiagnostics, QStringLiteral("log export"));
}

QCoro::Task<> PreferencesView::exportLog(QString path)
{
    QPointer self(this);
    DiagnosticsLogger *logger = &m_logger;
    // The export waits for the logger's thread and copies up to several MiB: off the main thread.
    auto exporting = runInBackground([logger, path] { return logger->exportTXT(path); });
    const bool ok = co_await exporting;
    m_logger.log(kDiagnostics, (ok ? QStringLiteral("export ok ") : QStringLiteral("export failed ")) + path);
    printExportResult(ok, path);
    if (!self)
        co_return;
    setNote(m_diagnosticsNote,
            ok ? QStringLiteral("Exported — attach %1 to your report.").arg(QFileInfo(path).fileName())
               : QStringLiteral("Export failed."));
    refreshLogSummary();
}

void PreferencesView::openLogFolder()
{
    const QString folder = m_logger.logDirectory();
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

} // namespace hoplin
