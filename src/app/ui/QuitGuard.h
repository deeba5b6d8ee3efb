#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace hoplin::QuitGuard {

// Whether the application may quit now. While work is registered in ActiveJobs it shows the
// "Work is still running" alert (modal, over `parent`) and answers false; nothing is stopped.
bool allowQuit(QWidget *parent);

// "Active work (Analysis, Conversion) is still running. …"
QString informativeText(const QStringList &keys);

} // namespace hoplin::QuitGuard
