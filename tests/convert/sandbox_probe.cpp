// Stands in for the app in the fence tests. "fence WORK INPUT [starved|nobody] OP ARGS…" runs "try OP
// ARGS…" fenced in as ffmpeg is ("starved": no descriptor left for the ruleset; "nobody": as uid 65534);
// "try" prints "ok" or "refused: …" for one socket, socketpair, read or write; "convert INPUT" converts
// until killed.
#include "convert/ConvertRunner.h"
#include "platform/Sandbox.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString mode = args.takeFirst();
    if (mode == "try") {
        const QByteArray path = args.value(1).toLocal8Bit();
        int fd = -1, pair[2];
        if (args[0] == "socket")
            fd = ::socket(args[1].toInt(), args[2].toInt(), 0);
        else if (args[0] == "socketpair")
            fd = ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 ? pair[0] : -1;
        else
            fd = ::open(path.constData(), args[0] == "read" ? O_RDONLY : O_WRONLY | O_CREAT, 0600);
        std::printf(fd >= 0 ? "ok\n" : "refused: %s\n", std::strerror(errno));
        return 0;
    }
    if (mode == "convert") {
        hoplin::Preset slow;
        slow.id = "slow";
        slow.command = "ffmpeg -nostdin -y -re -i {input} -c:a pcm_s16le {output_base}.wav";
        slow.outputExt = ".wav";
        hoplin::ConvertRunner runner;
        runner.queue({args[0]}, slow.id);
        runner.run({slow}, "/usr/bin/ffmpeg", nullptr);
        return app.exec();
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setProgram(QCoreApplication::applicationFilePath());
    const QString work = args.takeFirst(), input = args.takeFirst();
    const bool starved = args.removeAll("starved") > 0;
    // An ordinary user, for whom the fence needs no_new_privs.
    if (args.removeAll("nobody") > 0 && ::geteuid() == 0 && (setgroups(0, nullptr) || setgid(65534) || setuid(65534)))
        return 125;
    child.setArguments(QStringList{"try"} + args);
    hoplin::platform::Sandbox::status(); // asked of the kernel before any starving
    QList<int> held;
    if (starved) {
        rlimit limit{64, 64};
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held << fd;
    }
    hoplin::platform::Sandbox::confine(&child, {work, {input}});
    for (int fd : held)
        ::close(fd);
    child.start();
    child.waitForFinished(-1);
    return child.exitCode();
}
