// Starts a fenced-in "sleep" the way the app starts ffmpeg, prints its process id and waits to be
// killed: the test kills this process and expects the sleep to die with it.
#include "platform/Sandbox.h"

#include <QCoreApplication>
#include <QProcess>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QProcess child;
    hoplin::platform::Sandbox::confine(&child, QString());
    child.start("sleep", {"60"});
    if (!child.waitForStarted())
        return 1;
    std::printf("%lld\n", static_cast<long long>(child.processId()));
    std::fflush(stdout);
    child.waitForFinished(-1);
    return 0;
}
