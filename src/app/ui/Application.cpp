#include "Application.h"

#include "AboutWindow.h"
#include "DragWatch.h"
#include "MainWindow.h"
#include "PreferencesView.h"
#include "QuitGuard.h"
#include "RootView.h"
#include "app/CommandLine.h"
#include "ui/Theme.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/CrashLog.h"
#include "diagnostics/TemporaryJournal.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "platform/ui/SingleInstance.h"
#include "service/SessionStore.h"
#include "version.h"

#include <QApplication>
#include <QDir>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

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

int quitSignalPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(quitSignalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT (a logout, `kill`, Ctrl+C in the terminal) quit through the same path as the
// Quit menu item, so the quit guard decides and the log is closed properly.
void quitOnTerminationSignals(QApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitSignalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(quitSignalPipe[0], &byte, 1);
        appLog(QStringLiteral("termination signal received: quitting"));
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Another launch handed over its switches: they apply for the rest of this run, and those that
// open something at launch do so now.
void applyHandedSwitches(const QStringList &switches, MainWindow &window)
{
    if (switches.isEmpty())
        return;
    Settings &settings = Settings::shared();
    settings.applyCommandLine(QStringList{QString()} + switches);
    appLog(QStringLiteral("switches from another launch: %1").arg(switches.size() / 2));
    for (qsizetype i = 0; i + 1 < switches.size(); i += 2) {
        const QString key = switches[i].mid(1);
        if (key == QLatin1String(keys::tab))
            window.rootView()->select(tabFromSetting(switches[i + 1]));
        else if (key == QLatin1String(keys::showPreferences) && settings.boolean(key))
            showPreferencesWindow();
        else if (key == QLatin1String(keys::showAbout) && settings.boolean(key))
            showAboutWindow();
        else if (key == QLatin1String(keys::showReleaseNotes) && settings.boolean(key))
            showReleaseNotesWindow();
    }
}

void bringForward(QWidget &window)
{
    if (window.isMinimized())
        window.showNormal();
    window.raise();
    window.activateWindow();
}

} // namespace

void showPreferencesWindow()
{
    appLog(QStringLiteral("show Preferences"));
    PreferencesWindowController::shared().show();
}

void showAboutWindow()
{
    appLog(QStringLiteral("show About"));
    AboutWindowController::shared().show();
}

void showReleaseNotesWindow()
{
    appLog(QStringLiteral("show release notes"));
    ReleaseNotesWindowController::shared().show();
}

void exportLogTo(const QString &path)
{
    // exportTXT waits for the logger's thread and writes a file of up to several MiB: not on the
    // main thread.
    QThread *worker = QThread::create([path] {
        printExportResult(DiagnosticsLogger::shared().exportTXT(path), path);
    });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void printExportResult(bool ok, const QString &path)
{
    printLine((ok ? QStringLiteral("EXPORTLOG ok ") : QStringLiteral("EXPORTLOG failed ")) + path);
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

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine line = CommandLine::parse(arguments, QDir::currentPath());
    if (line.action != CommandLine::Action::Run) {
        // Answered before any window system is needed.
        const QString text = line.action == CommandLine::Action::Help ? CommandLine::helpText()
                                                                       : CommandLine::versionText() + u'\n';
        const QByteArray bytes = text.toLocal8Bit();
        fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QLatin1String(version::kAppName));
    QApplication::setApplicationVersion(QLatin1String(version::kVersion));
    QApplication::setQuitOnLastWindowClosed(true);
    QApplication::setWindowIcon(appIcon());
    // Matches the installed .desktop file, so desktops show our icon and name for the windows.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.hoplin.desktop"));
    Settings &settings = Settings::shared();
    settings.applyCommandLine(QApplication::arguments());

    // A copy already running in this session takes the files and switches and comes forward.
    desktop::SingleInstance instance(QGuiApplication::desktopFileName());
    const desktop::SingleInstance::Role role = instance.claim();
    if (role == desktop::SingleInstance::Role::Secondary) {
        QString error;
        if (instance.handOver(line.files, line.switches, &error))
            return 0;
        fprintf(stderr, "Hoplin Desktop is already running but did not answer: %s\n", qPrintable(error));
        return 1;
    }
    theme::applyLightTheme(app);

    DiagnosticsLogger::shared().startIfEnabled();
    crash::install();
    quitOnTerminationSignals(app);
    appLog(QStringLiteral("didFinishLaunching"));
    if (role == desktop::SingleInstance::Role::Alone)
        appLog(QStringLiteral("no session bus: later launches open windows of their own"));
    TemporaryJournal::shared().sweep();

    // The one session store of the process; it outlives the window that shows it.
    SessionStore store;
    MainWindow window(store);
    window.show();
    window.raise();
    window.activateWindow();

    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, &guardSessionCommit);

    QObject::connect(&instance, &desktop::SingleInstance::activated, &window, [&window](const QStringList &switches) {
        applyHandedSwitches(switches, window);
        bringForward(window);
    });
    QObject::connect(&instance, &desktop::SingleInstance::filesOpened, &window,
                     [&window](const QList<QUrl> &files, const QStringList &switches) {
                         applyHandedSwitches(switches, window);
                         bringForward(window);
                         window.rootView()->openFiles(files);
                     });
    // Files given to this launch, once the window and its pages are up.
    if (!line.files.isEmpty())
        QTimer::singleShot(0, &window, [&window, files = line.files] { window.rootView()->openFiles(files); });

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
