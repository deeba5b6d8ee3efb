#include "Application.h"

#include "app/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "version.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <cstdio>

namespace hoplin {

int runApplication(int argc, char *argv[])
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QLatin1String(version::kAppName));
    QApplication::setApplicationVersion(QLatin1String(version::kVersion));
    Settings::shared().applyCommandLine(QApplication::arguments());

    DiagnosticsLogger::shared().startIfEnabled();
    DiagnosticsLogger::shared().log(QStringLiteral("app"), QStringLiteral("didFinishLaunching"));

    QMainWindow window;
    window.setWindowTitle(QLatin1String(version::kAppName));
    window.resize(1200, 780);
    auto *label = new QLabel(QStringLiteral("Hoplin Desktop %1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild));
    label->setAlignment(Qt::AlignCenter);
    window.setCentralWidget(label);
    window.show();
    return app.exec();
}

} // namespace hoplin
