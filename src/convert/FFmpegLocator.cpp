#include "FFmpegLocator.h"

#include "ChildProcess.h"
#include "FFmpegRun.h"
#include "ScriptTemplate.h"
#include "platform/Platform.h"
#include "service/Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QUuid>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace hoplin::FFmpegLocator {

namespace {

std::atomic<qint64> g_versionTimeoutMs{20000};
// A program that floods its standard output is not ffmpeg; the first line is all we keep.
constexpr qsizetype versionOutputLimit = 64 * 1024;

Error fileError(const QString &what, int error)
{
    return Error(QStringLiteral("File"), error,
                 what + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(error)));
}

void removeQuietly(const QString &path)
{
    ::unlink(QFile::encodeName(path).constData());
}

bool renamePath(const QString &from, const QString &to, int *error)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = errno;
    return false;
}

} // namespace

QString toolsDir()
{
    static const QString dir = platform::appDataDirectory() + QStringLiteral("/FFmpegTools");
    return dir;
}

QString managedExecutable()
{
    return toolsDir() + QStringLiteral("/ffmpeg");
}

const QStringList &fixedLocations()
{
    static const QStringList locations = {
        QStringLiteral("/home/linuxbrew/.linuxbrew/bin/ffmpeg"),
        QStringLiteral("/usr/local/bin/ffmpeg"),
        QStringLiteral("/usr/bin/ffmpeg"),
    };
    return locations;
}

namespace {
std::optional<SearchPlaces> g_placesForTesting;
}

void setSearchPlacesForTesting(std::optional<SearchPlaces> places)
{
    g_placesForTesting = std::move(places);
}

SearchPlaces defaultPlaces()
{
    if (g_placesForTesting)
        return *g_placesForTesting;
    SearchPlaces places{managedExecutable(), fixedLocations(), std::nullopt};
    if (qEnvironmentVariableIsSet("PATH"))
        places.path = qgetenv("PATH");
    return places;
}

bool isExecutable(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::stat(native.constData(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    return ::access(native.constData(), X_OK) == 0;
}

std::optional<QString> locate(const SearchPlaces &places)
{
    if (isExecutable(places.managed))
        return places.managed;
    for (const QString &candidate : places.fixed) {
        if (isExecutable(candidate))
            return candidate;
    }
    return findInPATH(QStringLiteral("ffmpeg"), places.path);
}

std::optional<QString> locatedFFmpeg()
{
    return locate(defaultPlaces());
}

std::optional<QString> findInPATH(const QString &name)
{
    return findInPATH(name, defaultPlaces().path);
}

std::optional<QString> findInPATH(const QString &name, const std::optional<QByteArray> &pathValue)
{
    if (!pathValue)
        return std::nullopt;
    for (const QByteArray &directory : pathValue->split(':')) {
        if (directory.isEmpty())
            continue;
        const QString candidate = QFile::decodeName(directory) + u'/' + name;
        if (isExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::chrono::milliseconds versionTimeout()
{
    return std::chrono::milliseconds(g_versionTimeoutMs.load());
}

void setVersionTimeoutForTesting(std::chrono::milliseconds timeout)
{
    g_versionTimeoutMs = timeout.count();
}

QCoro::Task<std::optional<QString>> version(QString executable)
{
    const ChildProcess::Ptr process = ChildProcess::create();
    ChildProcess *raw = process.get();
    raw->setProgram(executable);
    raw->setArguments(QStringList() << QStringLiteral("-version"));
    raw->setStandardInputFile(QProcess::nullDevice());
    raw->setStandardErrorFile(QProcess::nullDevice());
    // The executable may be any file a user pointed at: it writes nothing, reads only the system
    // and its own folder, and reaches nobody.
    FFmpegRun::applyFence(raw, {});
    auto output = std::make_shared<QByteArray>();
    QObject::connect(raw, &QProcess::readyReadStandardOutput, raw, [raw, output] {
        const QByteArray chunk = raw->readAllStandardOutput();
        if (output->size() < versionOutputLimit)
            output->append(chunk.left(versionOutputLimit - output->size()));
    });
    raw->killAfter(int(versionTimeout().count()));
    co_await raw->run();

    if (raw->failedToStart() || raw->exitStatus() != QProcess::NormalExit || raw->exitCode() != 0)
        co_return std::nullopt;
    if (output->size() < versionOutputLimit)
        output->append(raw->readAllStandardOutput().left(versionOutputLimit - output->size()));
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(*output);
    if (decoder.hasError())
        co_return std::nullopt;
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts))
        co_return line;
    co_return std::nullopt;
}

QCoro::Task<QString> adoptBinary(QString source)
{
    const QString dir = toolsDir();
    if (!QDir().mkpath(dir))
        throw fileError(QStringLiteral("Could not create %1").arg(dir), errno ? errno : EACCES);

    const QString target = dir + QStringLiteral("/ffmpeg");
    if (isSameFile(source, target))
        co_return target;

    const QString staging = dir + QStringLiteral("/ffmpeg.staging-") +
                            QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    {
        QFile input(source);
        if (!input.copy(staging)) {
            removeQuietly(staging);
            throw Error(QStringLiteral("File"), int(input.error()), input.errorString());
        }
    }
    if (::chmod(QFile::encodeName(staging).constData(), 0755) != 0) {
        const int error = errno;
        removeQuietly(staging);
        throw fileError(QStringLiteral("Could not make %1 executable").arg(staging), error);
    }

    auto check = version(staging); // started apart from the co_await, see ConvertRunner::runLoop
    const std::optional<QString> reported = co_await std::move(check);
    if (!reported || reported->isEmpty()) {
        removeQuietly(staging);
        throw appError(12, QStringLiteral("The chosen binary is not a working ffmpeg."));
    }

    const QString previous = dir + QStringLiteral("/ffmpeg.previous");
    removeQuietly(previous);
    bool movedAside = false;
    int error = 0;
    if (QFileInfo::exists(target)) {
        if (!renamePath(target, previous, &error)) {
            removeQuietly(staging);
            throw fileError(QStringLiteral("Could not move the installed ffmpeg aside"), error);
        }
        movedAside = true;
    }
    if (!renamePath(staging, target, &error)) {
        removeQuietly(staging);
        if (movedAside)
            renamePath(previous, target, &error);
        throw fileError(QStringLiteral("Could not install ffmpeg"), error);
    }
    if (movedAside)
        removeQuietly(previous);
    clearQuarantine(target);
    co_return target;
}

bool isSameFile(const QString &a, const QString &b)
{
    if (QDir::cleanPath(QDir::current().absoluteFilePath(a)) ==
        QDir::cleanPath(QDir::current().absoluteFilePath(b)))
        return true;
    struct stat first, second;
    if (::stat(QFile::encodeName(a).constData(), &first) != 0 ||
        ::stat(QFile::encodeName(b).constData(), &second) != 0)
        return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

QString parseChecksum(const QString &text)
{
    QString word;
    auto finish = [&word]() -> QString {
        QString candidate = word.toLower();
        word.clear();
        if (candidate.size() < 64)
            return {};
        for (const QChar c : candidate) {
            if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
                return {};
        }
        return candidate;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        char32_t code = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            code = QChar::surrogateToUcs4(c, text[i + 1]);
        if (ScriptTemplate::isWhiteSpace(code)) {
            if (const QString found = finish(); !found.isEmpty())
                return found;
        } else {
            word += c;
        }
    }
    return finish();
}

void clearQuarantine(const QString &) {}

} // namespace hoplin::FFmpegLocator
