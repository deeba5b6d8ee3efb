#include "Application.h"

#include "DragWatch.h"
#include "MainWindow.h"
#include "QuitGuard.h"
#include "ui/Theme.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/CrashLog.h"
#include "diagnostics/TemporaryJournal.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"
#include "version.h"

#include <QApplication>
#include <QSessionManager>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace hoplin {

namespace {

void appLog(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("app"), message);
}

void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

} // namespace

void showPreferencesWindow()
{
    appLog(QStringLiteral("show Preferences requested (window not available yet)"));
}

void showAboutWindow()
{
    appLog(QStringLiteral("show About requested (window not available yet)"));
}

void exportLogTo(const QString &path)
{
    // exportTXT waits for the logger's thread and writes a file of up to several MiB: not on the
    // main thread.
    QThread *worker = QThread::create([path] {
        const bool ok = DiagnosticsLogger::shared().exportTXT(path);
        printLine((ok ? QStringLiteral("EXPORTLOG ok ") : QStringLiteral("EXPORTLOG failed ")) + path);
    });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void guardSessionCommit(QSessionManager &manager)
{
    if (ActiveJobs::shared().isEmpty())
        return;
    if (manager.allowsInteraction()) {
        QuitGuard::allowQuit(nullptr);
        manager.release();
    }
    manager.cancel();
}

int runApplication(int argc, char *argv[])
{
    // Every line printed by the log and the launch switches must reach a pipe at once.
    setvbuf(stdout, nullptr, _IONBF, 0);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QLatin1String(version::kAppName));
    QApplication::setApplicationVersion(QLatin1String(version::kVersion));
    QApplication::setQuitOnLastWindowClosed(true);
    Settings &settings = Settings::shared();
    settings.applyCommandLine(QApplication::arguments());
    theme::applyLightTheme(app);

    DiagnosticsLogger::shared().startIfEnabled();
    crash::install();
    appLog(QStringLiteral("didFinishLaunching"));
    TemporaryJournal::shared().sweep();

    // The one session store of the process; it outlives the window that shows it.
    SessionStore store;
    MainWindow window(store);
    window.show();
    window.raise();
    window.activateWindow();

    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, &guardSessionCommit);

    const QString exportPath = settings.string(QString::fromLatin1(keys::exportLogAt));
    if (!exportPath.isEmpty())
        QTimer::singleShot(4000, &app, [exportPath] { exportLogTo(exportPath); });

    if (settings.boolean(QString::fromLatin1(keys::dragWatch))) {
        auto *watch = new DragWatch({}, &app);
        watch->start();
    }

    const bool preferences = settings.boolean(QString::fromLatin1(keys::showPreferences));
    const bool about = settings.boolean(QString::fromLatin1(keys::showAbout));
    if (preferences || about) {
        QTimer::singleShot(500, &app, [preferences, about] {
            if (preferences)
                showPreferencesWindow();
            if (about)
                showAboutWindow();
        });
    }

    return app.exec();
}

} // namespace hoplin
