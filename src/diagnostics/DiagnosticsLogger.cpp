#include "diagnostics/DiagnosticsLogger.h"

#include "platform/Platform.h"
#include "platform/Settings.h"
#include "version.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTextBoundaryFinder>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace hoplin {

namespace {

const char *const kSensitiveNames[] = {
    "token",      "key",        "apikey",    "api_key", "access_token", "refresh_token",
    "session_id", "client_key", "signature", "sig",     "password",     "authorization",
};

// Shorter values would blank ordinary words out of the log.
constexpr qsizetype kMinimumSecretLength = 6;

struct Secrets {
    QReadWriteLock lock;
    QHash<QString, QStringList> bySlot; // newest first, at most two
    QStringList all;
};

Secrets &secrets()
{
    static Secrets instance;
    return instance;
}

bool isSensitive(const QString &lowerName);

// The secret values known now; a shared copy, so taking it costs one reference count.
QStringList knownSecrets()
{
    QReadLocker locker(&secrets().lock);
    return secrets().all;
}

// Replaces the known secret values and the values of secret-named JSON string fields.
void redactSecrets(QString &text, const QStringList &known)
{
    for (const QString &secret : known)
        text.replace(secret, QLatin1String("[redacted]"));

    if (!text.contains(QLatin1Char('"')))
        return;
    // "name": "value" with JSON's escapes inside the value. One per thread: matching from several
    // threads on one object is not documented as safe.
    thread_local const QRegularExpression field(
        QStringLiteral(R"re("([A-Za-z_]{1,40})"(\s*:\s*)"((?:[^"\\]|\\.)*)")re"));
    QString result;
    qsizetype copied = 0;
    auto match = field.globalMatch(text);
    while (match.hasNext()) {
        const QRegularExpressionMatch m = match.next();
        if (!isSensitive(m.captured(1).toLower()) || m.captured(3) == QLatin1String("[redacted]"))
            continue;
        result += QStringView(text).sliced(copied, m.capturedStart(3) - copied);
        result += QLatin1String("[redacted]");
        copied = m.capturedEnd(3);
    }
    if (copied > 0) {
        result += QStringView(text).sliced(copied);
        text = result;
    }
}

bool isSensitive(const QString &lowerName)
{
    for (const char *name : kSensitiveNames) {
        if (lowerName == QLatin1String(name))
            return true;
    }
    return false;
}

// Keeps the first `limit` user-perceived characters; returns false when the text is shorter.
bool truncateGraphemes(QString &text, int limit)
{
    // A grapheme holds at least one UTF-16 unit, so short texts need no boundary search.
    if (text.size() <= limit)
        return false;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    qsizetype position = 0;
    while (count < limit) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return false;
        position = next;
        ++count;
    }
    if (position >= text.size())
        return false;
    text.truncate(position);
    return true;
}

void writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // write errors are ignored: logging must never fail the app
        }
        data += written;
        size -= written;
    }
}

} // namespace

DiagnosticsLogger &DiagnosticsLogger::shared()
{
    // Never destroyed: lines may be logged during static destruction.
    static DiagnosticsLogger *instance = new DiagnosticsLogger(platform::appDataDirectory() + QStringLiteral("/Logs"));
    return *instance;
}

DiagnosticsLogger::DiagnosticsLogger(const QString &directory, FILE *echo)
    : m_directory(directory)
    , m_echo(echo)
{
    m_worker = std::thread([this] { run(); });
}

DiagnosticsLogger::~DiagnosticsLogger()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    m_worker.join();
    closeFile();
}

bool DiagnosticsLogger::enabled() const
{
    // Made once: converting the key's name on every call cost as much as the lookup.
    static const QString key = QString::fromLatin1(keys::hoplinDiag);
    return Settings::shared().boolean(key);
}

qint64 DiagnosticsLogger::now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

QString DiagnosticsLogger::timestamp()
{
    return timestamp(now());
}

QString DiagnosticsLogger::timestamp(qint64 ms)
{
    const time_t seconds = time_t(ms / 1000);
    // Formatting the date part is the costly bit; it changes once a second per thread.
    thread_local time_t cachedSecond = -1;
    thread_local char cached[32];
    if (seconds != cachedSecond) {
        struct tm local;
        localtime_r(&seconds, &local);
        strftime(cached, sizeof cached, "%Y-%m-%d %H:%M:%S", &local);
        cachedSecond = seconds;
    }
    char text[40];
    const int length = snprintf(text, sizeof text, "%s.%03d", cached, int(ms % 1000));
    return QString::fromLatin1(text, length);
}

void DiagnosticsLogger::setSecret(const QString &slot, const QString &value)
{
    if (value.size() < kMinimumSecretLength)
        return;
    QWriteLocker locker(&secrets().lock);
    QStringList &values = secrets().bySlot[slot];
    values.removeAll(value);
    values.prepend(value);
    if (values.size() > 2)
        values.removeLast();
    QStringList all;
    for (const QStringList &slotValues : std::as_const(secrets().bySlot))
        all += slotValues;
    // Longest first, so a secret that contains another is replaced whole.
    std::sort(all.begin(), all.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    secrets().all = all;
}

void DiagnosticsLogger::clearSecrets()
{
    QWriteLocker locker(&secrets().lock);
    secrets().bySlot.clear();
    secrets().all.clear();
}

QString DiagnosticsLogger::redact(const QString &message)
{
    return redact(message, knownSecrets());
}

QString DiagnosticsLogger::redact(const QString &message, const QStringList &known)
{
    QString text = message;
    // Before the cut, so that a cut never leaves the first part of a secret behind.
    redactSecrets(text, known);
    if (truncateGraphemes(text, maxMessageCharacters))
        text.append(QChar(0x2026));

    const qsizetype question = text.indexOf(QLatin1Char('?'));
    if (question < 0)
        return text;

    QString result = text.left(question + 1);
    const QStringView query = QStringView(text).mid(question + 1);
    for (const QStringView piece : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = piece.indexOf(QLatin1Char('='));
        const QString name = (equals < 0 ? piece : piece.left(equals)).toString().toLower();
        if (isSensitive(name)) {
            result += name;
            result += QLatin1String("=[redacted]&");
        } else {
            result += piece;
            result += QLatin1Char('&');
        }
    }
    if (result.endsWith(QLatin1Char('&')))
        result.chop(1);
    return result;
}

QString DiagnosticsLogger::environmentLine()
{
    return QStringLiteral("app=%1 %2 (%3)  %4=%5")
        .arg(QLatin1String(version::kAppName), QLatin1String(version::kVersion), QString::number(version::kBuild),
             platform::systemName(), platform::systemVersion());
}

void DiagnosticsLogger::post(Task task)
{
    bool wake;
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        wake = m_idle;
        m_idle = false;
    }
    // Only a sleeping worker needs the (comparatively costly) wake-up call.
    if (wake)
        m_wake.notify_one();
}

void DiagnosticsLogger::startIfEnabled()
{
    if (!enabled())
        return;
    post({Task::Start});
}

QString DiagnosticsLogger::formatLine(qint64 ms, const QString &category, const QString &message,
                                      const QStringList &known)
{
    return timestamp(ms) + QLatin1String(" [") + category + QLatin1String("] ") + redact(message, known) +
           QLatin1Char('\n');
}

// The caller pays for the setting check, the clock and the queue only: the line is put together on
// the worker from the moment of the call and the secrets known then, so it reads exactly as if it
// had been formatted here.
void DiagnosticsLogger::log(const QString &category, const QString &message)
{
    if (!enabled())
        return;
    post({Task::Buffered, category, message, now(), knownSecrets()});
}

void DiagnosticsLogger::finalLog(const QString &category, const QString &message)
{
    post({Task::Final, category, message, now(), knownSecrets()});
}

void DiagnosticsLogger::stop()
{
    post({Task::Stop});
}

void DiagnosticsLogger::runSync(std::function<void()> call)
{
    std::promise<void> done;
    auto future = done.get_future();
    Task task{Task::Call};
    task.call = [&] {
        call();
        done.set_value();
    };
    post(std::move(task));
    future.wait();
}

void DiagnosticsLogger::flush()
{
    runSync([] {});
}

QStringList DiagnosticsLogger::bufferSnapshot()
{
    QStringList lines;
    runSync([&] { lines = QStringList(m_buffer.begin(), m_buffer.end()); });
    return lines;
}

void DiagnosticsLogger::run()
{
    std::deque<Task> batch;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_tasks.empty()) {
                m_idle = true;
                m_wake.wait(lock, [this] { return !m_tasks.empty() || m_quit; });
            }
            if (m_tasks.empty() && m_quit)
                return;
            batch.swap(m_tasks);
        }
        for (Task &task : batch) {
            handle(task);
        }
        batch.clear();
        flushPending();
    }
}

void DiagnosticsLogger::handle(Task &task)
{
    switch (task.kind) {
    case Task::Buffered: {
        const QString line = formatLine(task.msecs, task.category, task.message, task.secrets);
        m_buffer.push_back(line);
        while (m_buffer.size() > size_t(bufferLimit))
            m_buffer.pop_front();
        rotateIfNeeded();
        writeOut(line.toUtf8());
        break;
    }
    case Task::Final:
        writeOut(formatLine(task.msecs, task.category, task.message, task.secrets).toUtf8());
        break;
    case Task::Start:
        if (m_fd >= 0)
            break;
        QDir().mkpath(m_directory);
        openFile();
        // Recorded right here rather than queued behind later lines, so every session in the file
        // begins with it.
        if (enabled()) {
            Task started{Task::Buffered, QStringLiteral("diagnostics"),
                         QStringLiteral("session started — ") + environmentLine(), now(), knownSecrets()};
            handle(started);
        }
        break;
    case Task::Stop:
        closeFile();
        break;
    case Task::Call:
        flushPending();
        task.call();
        break;
    }
}

void DiagnosticsLogger::writeOut(const QByteArray &bytes)
{
    if (m_fd >= 0) {
        m_pendingFile += bytes;
        m_fileSize += bytes.size();
    }
    if (m_echo)
        m_pendingEcho += bytes;
    // Bound the batch so a burst never holds much memory.
    if (m_pendingFile.size() + m_pendingEcho.size() > 256 * 1024)
        flushPending();
}

void DiagnosticsLogger::flushPending()
{
    if (!m_pendingFile.isEmpty()) {
        if (m_fd >= 0)
            writeAll(m_fd, m_pendingFile.constData(), m_pendingFile.size());
        m_pendingFile.clear();
    }
    if (!m_pendingEcho.isEmpty()) {
        fwrite(m_pendingEcho.constData(), 1, size_t(m_pendingEcho.size()), m_echo);
        fflush(m_echo);
        m_pendingEcho.clear();
    }
}

void DiagnosticsLogger::openFile()
{
    const QByteArray path = QFile::encodeName(logFilePath());
    // O_APPEND creates the file when missing and puts every write at its end.
    m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat info;
    m_fileSize = (m_fd >= 0 && ::fstat(m_fd, &info) == 0) ? info.st_size : 0;
}

void DiagnosticsLogger::closeFile()
{
    if (m_fd < 0)
        return;
    flushPending();
    ::fsync(m_fd);
    ::close(m_fd);
    m_fd = -1;
}

void DiagnosticsLogger::rotateIfNeeded()
{
    qint64 size = -1;
    if (m_fd >= 0) {
        size = m_fileSize; // what we wrote, including the batch not yet flushed
    } else {
        struct stat info;
        if (::stat(QFile::encodeName(logFilePath()).constData(), &info) == 0)
            size = info.st_size;
    }
    if (size < rotationBytes)
        return;

    closeFile();
    const QString current = logFilePath();
    const QString first = current + QStringLiteral(".1");
    const QString second = current + QStringLiteral(".2");
    QFile::remove(second);
    if (QFile::exists(first))
        QFile::rename(first, second);
    QFile::rename(current, first);
    openFile();
}

QString DiagnosticsLogger::previousSessionTail() const
{
    for (const QString &path : {logFilePath() + QStringLiteral(".1"), logFilePath() + QStringLiteral(".2")}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const qint64 size = file.size();
        if (!file.seek(qMax<qint64>(0, size - rotationBytes)))
            continue;
        const QByteArray bytes = file.readAll();
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError() || text.isEmpty())
            continue;
        return text;
    }
    return {};
}

bool DiagnosticsLogger::exportTXT(const QString &destination)
{
    QString text;
    runSync([&] {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        text += QStringLiteral("Hoplin Log — ") + now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
                QLatin1String(" +0000\n");
        text += environmentLine() + QLatin1Char('\n');
        text += QString(60, QLatin1Char('=')) + QLatin1String("\n\n");
        const QString tail = previousSessionTail();
        if (!tail.isEmpty()) {
            text += QStringLiteral("--- Earlier session (last %1 KB of previous logs, may be truncated) ---\n\n")
                        .arg(rotationBytes / 1024);
            text += tail + QLatin1Char('\n');
        }
        text += QStringLiteral("--- Current session (last %1 lines, may be truncated) ---\n\n").arg(bufferLimit);
        for (const QString &line : m_buffer)
            text += line;
    });
    QSaveFile file(destination);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text.toUtf8());
    return file.commit();
}

} // namespace hoplin
