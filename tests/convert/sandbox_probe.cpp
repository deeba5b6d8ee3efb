// Stands in for the app in the fence tests.
//   sandbox_probe fence WORK READABLE OP [ARG] [starved]  runs "try OP ARG" fenced in as ffmpeg is
//       (WORK and READABLE "-" for none; "starved" leaves no file descriptor for the ruleset)
//   sandbox_probe try OP [ARG]  prints "ok" or "refused: …" for one attempt: socket FAMILY TYPE,
//       socketpair, read PATH, write PATH
//   sandbox_probe convert INPUT  converts INPUT slowly through the runner until it is killed
#include "convert/ConvertRunner.h"
#include "platform/Sandbox.h"

#include <QCoreApplication>
#include <QProcess>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int attempt(const QStringList &args)
{
    const QString op = args.value(0);
    const QByteArray arg = args.value(1).toLocal8Bit();
    int fd = -1, pair[2];
    if (op == "socket")
        fd = ::socket(args.value(1).toInt(), args.value(2).toInt(), 0);
    else if (op == "socketpair")
        fd = ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 ? pair[0] : -1;
    else if (op == "read")
        fd = ::open(arg.constData(), O_RDONLY);
    else if (op == "write")
        fd = ::open(arg.constData(), O_WRONLY | O_CREAT, 0600);
    std::printf(fd >= 0 ? "ok\n" : "refused: %s\n", std::strerror(errno));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == "try")
        return attempt(args.mid(1));

    if (args.value(0) == "convert") {
        hoplin::Preset slow;
        slow.id = "slow";
        slow.command = "ffmpeg -nostdin -y -re -i {input} -c:a pcm_s16le {output_base}.wav";
        slow.outputExt = ".wav";
        hoplin::ConvertRunner runner;
        runner.queue({args.value(1)}, slow.id);
        runner.run({slow}, "/usr/bin/ffmpeg", nullptr);
        return app.exec();
    }

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments(QStringList{"try"} + args.mid(3, 3));
    auto given = [&](int i) { return args.value(i) == "-" ? QString() : args.value(i); };
    const QStringList readable = given(2).isEmpty() ? QStringList() : QStringList{given(2)};
    std::vector<int> held;
    hoplin::platform::Sandbox::status(); // what the kernel offers is known before the starving
    if (args.contains("starved")) {
        // Every descriptor taken while the fence is prepared, given back before the start.
        rlimit limit{64, 64};
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held.push_back(fd);
    }
    hoplin::platform::Sandbox::confine(&child, {given(1), readable});
    for (int fd : held)
        ::close(fd);
    child.start();
    child.waitForFinished(-1);
    return child.exitCode();
}
