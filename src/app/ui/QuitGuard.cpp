#include "QuitGuard.h"

#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"

#include <QMessageBox>

namespace hoplin::QuitGuard {

QString informativeText(const QStringList &keys)
{
    return QStringLiteral("Active work (%1) is still running. Stop it before quitting Hoplin.")
        .arg(keys.join(QStringLiteral(", ")));
}

bool allowQuit(QWidget *parent)
{
    const ActiveJobs &jobs = ActiveJobs::shared();
    if (jobs.isEmpty())
        return true;
    // A second request while the alert is up (window close plus quit) needs no second alert.
    static bool showing = false;
    if (showing)
        return false;
    // Sorted, so the alert reads the same every time.
    const QStringList keys = jobs.sortedKeys();
    DiagnosticsLogger::shared().log(QStringLiteral("app"),
                                    QStringLiteral("quit refused: active work ") + keys.join(QStringLiteral(", ")));
    QMessageBox alert(QMessageBox::Warning, QStringLiteral("Hoplin Desktop"), QStringLiteral("Work is still running"),
                      QMessageBox::Ok, parent);
    alert.setObjectName(QStringLiteral("quitGuardAlert"));
    alert.setInformativeText(informativeText(keys));
    showing = true;
    alert.exec();
    showing = false;
    return false;
}

} // namespace hoplin::QuitGuard
