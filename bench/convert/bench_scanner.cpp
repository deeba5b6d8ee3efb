// The media scanner over a generated tree of 50,000 files against `find DIR -type f` on the same
// tree, both with a warm cache; prints the medians and their ratio.
#include "convert/MediaScanner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool touch(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}

// 25 top folders x 10 subfolders x 200 entries: mostly media with mixed-case extensions and digit
// runs in the names, some other files, hidden and "._" files, a "__MACOSX" folder and a package
// in every top folder.
int generate(const QString &root)
{
    static const char *extensions[] = {"wav", "MOV", "flac", "mp4", "m4a", "txt", "jpg"};
    int files = 0;
    for (int top = 0; top < 25; ++top) {
        const QString topDir = QStringLiteral("%1/Session %2").arg(root).arg(top);
        for (int sub = 0; sub < 10; ++sub) {
            const QString dir = QStringLiteral("%1/Take group %2").arg(topDir).arg(sub);
            QDir().mkpath(dir);
            for (int i = 0; i < 196; ++i) {
                touch(
                    QStringLiteral("%1/take %2 mic%3.%4").arg(dir).arg(i).arg(i % 4).arg(extensions[i % 7]));
                ++files;
            }
            touch(dir + "/.DS_Store");
            touch(dir + "/._take 1 mic1.wav");
            touch(dir + "/.hidden.wav");
            files += 3;
        }
        QDir().mkpath(topDir + "/__MACOSX");
        QDir().mkpath(topDir + "/Edit.fcpbundle");
        for (int i = 0; i < 20; ++i) {
            touch(QStringLiteral("%1/__MACOSX/take %2.wav").arg(topDir).arg(i));
            touch(QStringLiteral("%1/Edit.fcpbundle/render %2.mov").arg(topDir).arg(i));
            files += 2;
        }
    }
    return files;
}

double timeFind(const QString &root)
{
    const QByteArray path = QFile::encodeName(root);
    char *argv[] = {const_cast<char *>("find"), const_cast<char *>(path.constData()),
                    const_cast<char *>("-type"), const_cast<char *>("f"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double elapsed = secondsSince(start);
    posix_spawn_file_actions_destroy(&actions);
    return elapsed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // An optional folder argument keeps the tree between runs (for profiling).
    QTemporaryDir dir;
    const QString root = (argc > 1 ? QString::fromLocal8Bit(argv[1]) : dir.path()) + "/tree";
    const bool reused = QFileInfo::exists(root);
    const int files = reused ? 0 : generate(root);

    std::vector<double> scanTimes, walkTimes, sortTimes, findTimes;
    qsizetype found = 0;
    timeFind(root); // warm the cache
    hoplin::MediaScanner::collect({root}, hoplin::MediaScanner::mediaExtensions());
    for (int round = 0; round < 9; ++round) {
        findTimes.push_back(timeFind(root));

        auto start = Clock::now();
        const QStringList result =
            hoplin::MediaScanner::collect({root}, hoplin::MediaScanner::mediaExtensions());
        scanTimes.push_back(secondsSince(start));
        found = result.size();

        QStringList walked;
        QSet<QString> seen;
        start = Clock::now();
        hoplin::MediaScanner::walk(root, walked, seen, hoplin::MediaScanner::mediaExtensions());
        walkTimes.push_back(secondsSince(start));
        start = Clock::now();
        hoplin::MediaScanner::sortByFileName(walked);
        sortTimes.push_back(secondsSince(start));
    }

    const double scan = median(scanTimes), find = median(findTimes);
    if (reused)
        std::printf("tree: reused %s, %lld media files taken\n", qPrintable(root),
                    static_cast<long long>(found));
    else
        std::printf("tree: %d files, %lld media files taken\n", files, static_cast<long long>(found));
    std::printf("find -type f: median %.1f ms\n", find * 1000);
    std::printf("MediaScanner::collect: median %.1f ms (measured apart: walk with a seen set %.1f ms, "
                "natural sort %.1f ms)\n",
                scan * 1000, median(walkTimes) * 1000, median(sortTimes) * 1000);
    std::printf("ratio scanner/find: %.2fx (aim <= 1.5x) -> %s\n", scan / find,
                scan / find <= 1.5 ? "met" : "MISSED");
    return 0;
}
