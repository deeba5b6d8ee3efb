// Crashes in the way its first argument names, with crash logging installed, so tst_crashlog can
// read what reached the log. "-key value" settings follow the mode.
#include "diagnostics/CrashLog.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/Error.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace {

// Opaque to the optimiser, so the store below really happens and faults.
volatile std::uintptr_t g_nowhere = 0;

[[gnu::noinline]] void throwProbe()
{
    throw std::runtime_error("probe failure");
}

[[gnu::noinline]] void throwAppError()
{
    throw hoplin::appError(3, "disk full");
}

[[gnu::noinline]] void segfaultProbe()
{
    *reinterpret_cast<volatile int *>(g_nowhere) = 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    hoplin::Settings::shared().applyCommandLine(QCoreApplication::arguments());
    hoplin::DiagnosticsLogger::shared().startIfEnabled();
    hoplin::crash::install();
    hoplin::DiagnosticsLogger::shared().flush();

    const QString mode = QCoreApplication::arguments().value(1);
    if (mode == u"throw")
        throwProbe();
    else if (mode == u"apperror")
        throwAppError();
    else if (mode == u"segv")
        segfaultProbe();
    else if (mode == u"abort")
        std::abort();
    return 0;
}
