#include "OutputFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace hoplin::OutputFiles {

namespace {

constexpr int nameLimit = 255;        // bytes per name on the usual Linux file systems
constexpr int sideFileAllowance = 16; // room for what a template may add after the base
constexpr int maxCollisionNumber = 100000;

QString join(const QString &directory, const QString &name)
{
    return directory.endsWith(u'/') ? directory + name : directory + u'/' + name;
}

int copyExclusive(const char *from, const char *to)
{
    const int in = ::open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat info;
    if (::fstat(in, &info) != 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    const int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 0777);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        for (ssize_t done = 0; done < got && error == 0;) {
            const ssize_t put = ::write(out, buffer + done, size_t(got - done));
            if (put < 0) {
                if (errno != EINTR)
                    error = errno;
                continue;
            }
            done += put;
        }
        if (error)
            break;
    }
    if (::close(out) != 0 && error == 0)
        error = errno;
    ::close(in);
    if (error) {
        ::unlink(to); // ours: created exclusively above
        return error;
    }
    ::unlink(from);
    return 0;
}

int linkThenUnlink(const char *from, const char *to)
{
    if (::link(from, to) != 0)
        return errno;
    ::unlink(from);
    return 0;
}

bool refusedByFileSystem(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

} // namespace

QString stem(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot > 0 ? fileName.left(dot) : fileName;
}

QString candidateName(const QString &base, const QString &outputExt, int n)
{
    if (n == 0)
        return base + outputExt;
    return base + QStringLiteral(" (%1)").arg(n) + outputExt;
}

std::optional<QString> outsideNameReason(const QString &base, const QString &outputExt)
{
    const QString name = base + outputExt;
    const bool single = !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
                        !name.contains(QChar(0)) && !outputExt.contains(u'/') && !outputExt.contains(QChar(0));
    if (single)
        return std::nullopt;
    return QStringLiteral("The script would name its output \"%1\", which is not a single file name inside the "
                          "destination folder.")
        .arg(name);
}

QString firstFreeOutput(const QString &directory, const QString &base, const QString &outputExt)
{
    for (int n = 0;; ++n) {
        const QString candidate = join(directory, candidateName(base, outputExt, n));
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}

QString shortenedStem(const QString &stem, const QString &outputExt)
{
    // The prefix has the same length for every UUID.
    const QString prefix = QLatin1String(temporaryPrefix) + QString(36, u'0') + u'-';
    const int budget = nameLimit - sideFileAllowance - int(QFile::encodeName(prefix + outputExt).size());
    QString shortened = stem;
    while (!shortened.isEmpty() && QFile::encodeName(shortened).size() > budget) {
        shortened.chop(1);
        if (!shortened.isEmpty() && shortened.back().isHighSurrogate())
            shortened.chop(1);
    }
    return shortened;
}

QString workFolderPath(const QString &directory)
{
    return join(directory, QLatin1String(temporaryPrefix) + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
}

int createWorkFolder(const QString &path)
{
    // mkdir never reuses what is there, a link included.
    return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0 ? 0 : errno;
}

QString outputBase(const QString &workFolder, const QString &stem, const QString &outputExt)
{
    return join(workFolder, shortenedStem(stem, outputExt));
}

void removeWorkFolder(const QString &path)
{
    QDir(path).removeRecursively();
}

int moveNoReplace(const QString &from, const QString &to, MoveMethod method)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (method == MoveMethod::CopyOnly)
        return copyExclusive(source.constData(), target.constData());
    if (method == MoveMethod::Automatic) {
        if (::syscall(SYS_renameat2, AT_FDCWD, source.constData(), AT_FDCWD, target.constData(),
                      RENAME_NOREPLACE) == 0)
            return 0;
        const int error = errno;
        if (!refusedByFileSystem(error))
            return error;
    }
    const int error = linkThenUnlink(source.constData(), target.constData());
    if (error == 0 || method == MoveMethod::LinkOnly)
        return error;
    if (error == EPERM || refusedByFileSystem(error))
        return copyExclusive(source.constData(), target.constData());
    return error;
}

Placed placeOutput(const QString &from, const QString &directory, const QString &base,
                   const QString &outputExt, MoveMethod method)
{
    for (int n = 0; n < maxCollisionNumber; ++n) {
        const QString candidate = join(directory, candidateName(base, outputExt, n));
        const int error = moveNoReplace(from, candidate, method);
        if (error == 0)
            return {candidate, {}};
        if (error != EEXIST)
            return {{}, QString::fromLocal8Bit(strerror(error))};
    }
    return {{}, QString::fromLocal8Bit(strerror(EEXIST))};
}

} // namespace hoplin::OutputFiles
