#include "TemporaryJournal.h"

#include "DiagnosticsLogger.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <dirent.h>
#include <unistd.h>

namespace hoplin {

namespace {

bool isRunning(qint64 pid)
{
    if (pid <= 0)
        return false;
    if (pid == qint64(::getpid()))
        return true;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

TemporaryJournal &TemporaryJournal::shared()
{
    static TemporaryJournal journal(platform::appDataDirectory() + QStringLiteral("/temporaries.journal"));
    return journal;
}

TemporaryJournal::TemporaryJournal(QString journalPath)
    : m_path(std::move(journalPath))
{
}

bool TemporaryJournal::isOurs(const QString &base)
{
    // Upload bodies, conversion outputs, installer working folders, update images and their
    // unpacked copies: a prefix and a fresh UUID. Update staging folders are a bare UUID, but only
    // in the Updates folder.
    static const QRegularExpression name(QStringLiteral("^(hoplin-upload-|\\.hoplin-tmp-|hoplin-ffmpeg-|hoplin-update-|"
                                                        "hoplin-image-)?[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                                        "[0-9A-F]{12}"));
    const QFileInfo info(base);
    const QRegularExpressionMatch match = name.match(info.fileName());
    const bool prefixed = match.hasMatch() && !match.captured(1).isEmpty();
    const bool staging = match.hasMatch() && match.capturedLength() == info.fileName().size() &&
                         info.path() == platform::updatesDirectory();
    return info.isAbsolute() && !base.contains(QStringLiteral("/../")) && (prefixed || staging);
}

QStringList TemporaryJournal::removeByPrefix(const QString &base)
{
    QStringList removed;
    const qsizetype slash = base.lastIndexOf(u'/');
    const QByteArray directory = QFile::encodeName(slash <= 0 ? QStringLiteral("/") : base.left(slash));
    const QByteArray prefix = QFile::encodeName(base.mid(slash + 1));
    if (prefix.isEmpty())
        return removed;
    DIR *dir = ::opendir(directory.constData());
    if (!dir)
        return removed;
    const int fd = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) != 0)
            continue;
        const QString path = QFile::decodeName(directory) + u'/' + QFile::decodeName(entry->d_name);
        if (::unlinkat(fd, entry->d_name, 0) == 0) {
            removed << path;
        } else if ((errno == EISDIR || errno == EPERM) && QDir(path).removeRecursively()) {
            // A side file may also be a folder (segment outputs).
            removed << path;
        }
    }
    ::closedir(dir);
    return removed;
}

QList<TemporaryJournal::Line> TemporaryJournal::read() const
{
    QList<Line> lines;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const qsizetype tab = raw.indexOf('\t');
        if (tab <= 0)
            continue;
        bool ok = false;
        const qint64 pid = raw.left(tab).toLongLong(&ok);
        if (ok)
            lines.append({pid, QString::fromUtf8(raw.mid(tab + 1))});
    }
    return lines;
}

void TemporaryJournal::write(const QList<Line> &lines) const
{
    // No fsync: the journal has to survive the app being killed, not the machine losing power,
    // and it is written twice per conversion.
    QByteArray text;
    for (const Line &line : lines)
        text += QByteArray::number(line.pid) + '\t' + line.base.toUtf8() + '\n';
    QDir().mkpath(QFileInfo(m_path).path());
    QFile file(m_path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text);
}

void TemporaryJournal::add(const QString &base)
{
    QMutexLocker locker(&m_mutex);
    QList<Line> lines = read();
    lines.append({qint64(::getpid()), base});
    write(lines);
}

void TemporaryJournal::remove(const QString &base)
{
    QMutexLocker locker(&m_mutex);
    QList<Line> lines = read();
    const qint64 pid = ::getpid();
    lines.removeIf([&](const Line &line) { return line.pid == pid && line.base == base; });
    write(lines);
}

QStringList TemporaryJournal::sweep()
{
    QStringList removed;
    {
        QMutexLocker locker(&m_mutex);
        QList<Line> kept;
        for (const Line &line : read()) {
            if (isRunning(line.pid))
                kept.append(line);
            else if (isOurs(line.base))
                removed += removeByPrefix(line.base);
        }
        write(kept);
    }
    if (!removed.isEmpty())
        DiagnosticsLogger::shared().log(
            QStringLiteral("app"),
            QStringLiteral("removed %1 temporary file%2 left by an earlier session: %3")
                .arg(removed.size())
                .arg(removed.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(removed.join(QStringLiteral(", "))));
    return removed;
}

TemporaryJournal::Entry::Entry(QString base, TemporaryJournal &journal)
    : m_base(std::move(base))
    , m_journal(journal)
{
    m_journal.add(m_base);
}

TemporaryJournal::Entry::~Entry()
{
    m_journal.remove(m_base);
}

} // namespace hoplin
