#include "AnalysisAPI.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "service/Json.h"
#include "service/StreamedPost.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace hoplin {

void CallControl::abort()
{
    m_aborted = true;
    // A copy: the stop may end the step at once, and the step releases what it held.
    if (const auto stop = m_stop)
        stop();
}

void CallControl::check() const
{
    if (m_aborted)
        throw cancelled();
}

void CallControl::hold(std::function<void()> stop)
{
    m_stop = std::move(stop);
    if (m_aborted)
        abort();
}

void CallControl::hold(QNetworkReply *reply)
{
    hold([reply = QPointer<QNetworkReply>(reply)] {
        if (reply)
            reply->abort();
    });
}

TransportError CallControl::cancelled()
{
    return APIClient::cancelledError();
}

namespace Multipart {

namespace {

QString upperUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace

QString makeBoundary()
{
    return QStringLiteral("HoplinBoundary-") + upperUuid();
}

QString temporaryBodyPath()
{
    return QDir::tempPath() + QStringLiteral("/hoplin-upload-%1.multipart").arg(upperUuid());
}

QString partFileName(const QString &audioPath)
{
    QString name = audioPath.mid(audioPath.lastIndexOf(u'/') + 1);
    name.replace(u'"', u'_');
    name.replace(u'\r', u' ');
    name.replace(u'\n', u' ');
    return name;
}

QByteArray head(const QString &boundary, const QString &fileName)
{
    return QStringLiteral("--%1\r\n"
                          "Content-Disposition: form-data; name=\"file\"; filename=\"%2\"\r\n"
                          "Content-Type: application/octet-stream\r\n\r\n")
        .arg(boundary, fileName)
        .toUtf8();
}

QByteArray tail(const QString &boundary)
{
    return QStringLiteral("\r\n--%1--\r\n").arg(boundary).toUtf8();
}

namespace {

Error systemError(const QString &what, int code)
{
    return Error(QStringLiteral("File"), code,
                 QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(code))));
}

// Closes a descriptor on every way out.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

void writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t wrote = ::write(fd, data, size_t(size));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            throw systemError(QStringLiteral("Could not write the upload body"), wrote < 0 ? errno : EIO);
        data += wrote;
        size -= wrote;
    }
}

} // namespace

void writeBody(const QString &audioPath, const QString &bodyPath, const QString &boundary,
               const std::atomic<bool> *aborted, qint64 byteLimit, const BodyWritten &written)
{
    const QString name = partFileName(audioPath);
    // The audio first: a FIFO or a device must be refused before anything is written. Opened
    // without blocking (a FIFO with no writer would wait for ever) and judged on the descriptor
    // itself, so what is read is what was checked.
    Descriptor audio{::open(QFile::encodeName(audioPath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (audio.fd < 0)
        throw systemError(QStringLiteral("Could not open %1").arg(name), errno);
    struct stat info {};
    if (::fstat(audio.fd, &info) != 0)
        throw systemError(QStringLiteral("Could not read %1").arg(name), errno);
    if (!S_ISREG(info.st_mode))
        throw Error(QStringLiteral("File"), EINVAL, QStringLiteral("%1 is not a regular file.").arg(name));
    ::fcntl(audio.fd, F_SETFL, ::fcntl(audio.fd, F_GETFL) & ~O_NONBLOCK);
    const auto tooLarge = [&name] {
        return Error(QStringLiteral("Hoplin"), tooLargeCode,
                     QStringLiteral("%1 is larger than the 128 MiB upload limit.").arg(name));
    };
    const auto changed = [&name] {
        return Error(QStringLiteral("File"), EIO, QStringLiteral("%1 changed while it was being read.").arg(name));
    };
    const qint64 size = info.st_size;
    if (size > byteLimit)
        throw tooLarge();

    // Private: the body is a copy of a recording that may itself be private.
    const QByteArray bodyName = QFile::encodeName(bodyPath);
    Descriptor body{::open(bodyName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (body.fd < 0 || ::fchmod(body.fd, 0600) != 0)
        throw systemError(QStringLiteral("Could not create the upload body"), errno);

    const QByteArray opening = head(boundary, name);
    const QByteArray closing = tail(boundary);
    // The length is promised before the bytes exist (the upload may already be reading them).
    const qint64 length = opening.size() + size + closing.size();
    writeAll(body.fd, opening.constData(), opening.size());
    qint64 onDisk = opening.size();
    const auto report = [&] {
        if (written && !written(length, onDisk))
            throw CallControl::cancelled();
    };
    report();
    // One chunk at a time: the file is never held in memory as a whole.
    QByteArray chunk;
    qint64 copied = 0;
    bool inKernel = true;
    while (copied < size) {
        if (aborted && aborted->load())
            throw CallControl::cancelled();
        const qint64 want = std::min(chunkBytes, size - copied);
        ssize_t got = 0;
        if (inKernel) {
            // The kernel copies the chunk itself: the bytes never pass through this process. Any
            // failure falls back to reading and writing, which says precisely what went wrong.
            got = ::copy_file_range(audio.fd, nullptr, body.fd, nullptr, size_t(want), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                inKernel = false;
                chunk = QByteArray(chunkBytes, Qt::Uninitialized);
                continue;
            }
        } else {
            got = ::read(audio.fd, chunk.data(), size_t(want));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                throw systemError(QStringLiteral("Could not read %1").arg(name), errno);
            writeAll(body.fd, chunk.constData(), got);
        }
        if (got == 0)
            throw changed(); // shorter than it was
        copied += got;
        onDisk += got;
        report();
    }
    // Nothing may follow the promised bytes. One byte more past the limit is still "too large".
    for (;;) {
        char more = 0;
        const ssize_t got = ::read(audio.fd, &more, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw systemError(QStringLiteral("Could not read %1").arg(name), errno);
        if (got > 0)
            throw size + 1 > byteLimit ? tooLarge() : changed();
        break;
    }
    writeAll(body.fd, closing.constData(), closing.size());
    onDisk += closing.size();
    const int fd = body.fd;
    body.fd = -1;
    if (::close(fd) != 0)
        throw systemError(QStringLiteral("Could not write the upload body"), errno);
    report();
}

} // namespace Multipart

namespace APIClient {

namespace {

// APIClient::request with one addition: the reply is held by `control`, so the caller can abort
// it. Same conventions, same judgement, same log line.
QCoro::Task<APIResponse> send(QString path, QByteArray method, std::optional<QByteArray> body, QString bearer,
                              CallControlPtr control)
{
    if (control)
        control->check();
    QNetworkReply *reply = startRequest(path, method, body, bearer);
    if (control)
        control->hold(reply);
    auto finishing = finishRequest(reply, path, method, [control] { return control && control->isAborted(); });
    const auto releaseReply = qScopeGuard([control] {
        if (control)
            control->release();
    });
    co_return co_await std::move(finishing);
}

// The string under `key` of a JSON object body, if there is one.
std::optional<QString> stringMember(const QByteArray &body, const QString &key)
{
    const QJsonValue value = QJsonDocument::fromJson(body).object().value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

// Removes the temporary body when the upload ends, whichever way; a failed removal is ignored.
struct TemporaryBody {
    QString path;
    ~TemporaryBody() { QFile::remove(path); }
};

std::function<void(qint64)> g_writerHook;

// Closes a descriptor on a pool thread: the last close of a large removed file frees its pages,
// which takes tens of milliseconds that the event loop should not wait.
struct ClosedInBackground {
    int fd = -1;
    ~ClosedInBackground()
    {
        if (fd >= 0)
            QThreadPool::globalInstance()->start([fd = fd] { ::close(fd); });
    }
};

// What the body's writer has done so far, shared with the upload that reads behind it.
struct BodyState {
    std::atomic<qint64> length{-1};
    std::atomic<qint64> written{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::condition_variable changed;

    // Wakes a reader waiting for bytes; called after `written` or `failed` changed.
    void tell()
    {
        { const std::lock_guard<std::mutex> held(lock); }
        changed.notify_all();
    }
};

// The temporary body as the upload reads it while it is still being written: only what the
// writer has reported written is read, and a read ahead of the writer waits briefly for more.
class BodyReader {
public:
    BodyReader(const QString &path, std::shared_ptr<BodyState> state) : m_state(std::move(state))
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~BodyReader()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    const QString &errorString() const { return m_error; }
    // Hands the descriptor over once the request is done with it.
    int release() { return std::exchange(m_fd, -1); }

    // Runs on the sending thread.
    qint64 read(char *data, qint64 offset, qint64 max)
    {
        BodyState &state = *m_state;
        const auto ready = [&] { return state.failed.load() || state.written.load() > offset; };
        if (!ready()) {
            std::unique_lock<std::mutex> held(state.lock);
            state.changed.wait_for(held, std::chrono::milliseconds(50), ready);
        }
        if (state.failed.load())
            return -1;
        const qint64 want = std::min(max, state.written.load(std::memory_order_acquire) - offset);
        if (want <= 0)
            return 0;
        for (;;) {
            const ssize_t got = ::pread(m_fd, data, size_t(want), off_t(offset));
            if (got < 0 && errno == EINTR)
                continue;
            return got < 0 ? -1 : qint64(got);
        }
    }

private:
    std::shared_ptr<BodyState> m_state;
    int m_fd = -1;
    QString m_error;
};

} // namespace

void setBodyWriterHookForTesting(std::function<void(qint64 written)> hook)
{
    g_writerHook = std::move(hook);
}

QCoro::Task<QString> uploadAudio(QString filePath, QString bearer, CallControlPtr control, UploadProgress progress,
                                 qint64 byteLimit)
{
    if (!control)
        control = std::make_shared<CallControl>();
    control->check();
    const QString boundary = Multipart::makeBoundary();
    const QString bodyPath = Multipart::temporaryBodyPath();
    // Declared first so that it outlasts the file: a killed app's next start removes the body.
    const TemporaryJournal::Entry journalEntry(bodyPath);
    ClosedInBackground lastReference; // closed after the removal below, so the removal is quick
    const TemporaryBody temporary{bodyPath};

    // A worker thread copies the file into the body while the upload reads behind it, so a large
    // file is copied and sent at the same time and the event loop goes on. Everything the worker
    // touches lives in this frame, which waits for it to end before it is left.
    const auto state = std::make_shared<BodyState>();
    std::atomic<bool> replyEnded{false};
    std::exception_ptr writeError; // only one that came while the request still wanted the body
    QObject relay; // the worker's news reaches this thread through it
    bool writerEnded = false;
    // Each wait ends through this timer, which the worker's news restarts at zero.
    QTimer wake;
    wake.setSingleShot(true);
    std::atomic<bool> announced{false};
    std::unique_ptr<QThread> writer(QThread::create([&] {
        try {
            Multipart::writeBody(filePath, temporary.path, boundary, control->abortFlag(), byteLimit,
                                 [&](qint64 length, qint64 written) {
                                     state->length.store(length);
                                     state->written.store(written, std::memory_order_release);
                                     state->tell();
                                     if (!announced.exchange(true))
                                         QMetaObject::invokeMethod(&relay, [&] { wake.start(0); }, Qt::QueuedConnection);
                                     if (g_writerHook)
                                         g_writerHook(written);
                                     return !replyEnded.load();
                                 });
        } catch (...) {
            if (!replyEnded.load())
                writeError = std::current_exception();
            state->failed.store(true);
            state->tell();
        }
    }));
    // Connected before the start, so a worker that is done at once is not missed. (A worker that
    // failed ends the request through the body, which then fails to read.)
    QObject::connect(writer.get(), &QThread::finished, &relay, [&] {
        writerEnded = true;
        wake.start(0);
    });
    writer->start();
    // "finished" comes just before the thread ends; deleting it earlier aborts.
    const auto join = qScopeGuard([&] { writer->wait(); });
    wake.start(std::chrono::hours(24));
    co_await wake; // the opening rows are on disk, or the worker has already failed
    if (state->length.load() < 0)
        std::rethrow_exception(writeError);
    control->check();

    BodyReader body(temporary.path, state);
    if (!body.isOpen()) {
        replyEnded = true;
        throw Error(QStringLiteral("File"), EIO, QStringLiteral("Could not open the upload body: ") + body.errorString());
    }
    StreamedPost::Request request;
    request.url = endpoint(QString::fromLatin1(uploadPath));
    if (!bearer.isNull())
        request.headers.append({"Authorization", "Bearer " + bearer.toUtf8()});
    request.headers.append({"Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8()});
    request.length = state->length.load();
    request.source = [&body](char *data, qint64 offset, qint64 max) { return body.read(data, offset, max); };
    request.stallTimeout = uploadStallTimeout;
    StreamedPost post(std::move(request));
    control->hold([&post] { post.stop(); });
    const auto released = qScopeGuard([&control] { control->release(); }); // before `post` goes
    std::optional<APIResponse> answer;
    std::exception_ptr sendError;
    try {
        auto sending = post.send(progress, QStringLiteral("The upload timed out."));
        answer = co_await std::move(sending);
    } catch (...) {
        sendError = std::current_exception();
    }
    replyEnded = true;
    if (!writerEnded) {
        wake.start(std::chrono::hours(24));
        co_await wake;
    }
    lastReference.fd = body.release();
    if (writeError)
        std::rethrow_exception(writeError);
    if (sendError)
        std::rethrow_exception(sendError);

    if (answer->status != 200)
        throw APIError::badStatus(answer->status, bodyText(answer->body));
    const auto uploadID = stringMember(answer->body, QStringLiteral("upload_id"));
    if (!uploadID)
        throw APIError::decoding(QStringLiteral("Upload response missing upload_id."));
    co_return *uploadID;
}

QCoro::Task<QString> processUpload(QString uploadID, QString workflow, QString bearer, CallControlPtr control)
{
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("workflow"), workflow}}).toJson(QJsonDocument::Compact);
    const APIResponse response =
        co_await send(QStringLiteral("/v1/jobs/%1/process").arg(uploadID), "POST", body, bearer, control);
    if (response.status != 202)
        throw APIError::badStatus(response.status, bodyText(response.body));
    const auto jobID = stringMember(response.body, QStringLiteral("job_id"));
    if (!jobID)
        throw APIError::decoding(QStringLiteral("Process response missing job_id."));
    co_return *jobID;
}

QCoro::Task<JobInfo> jobInfo(QString jobID, QString bearer, CallControlPtr control)
{
    const APIResponse response =
        co_await send(QStringLiteral("/v1/jobs/%1").arg(jobID), "GET", std::nullopt, bearer, control);
    if (response.status != 200)
        throw APIError::badStatus(response.status, bodyText(response.body));
    try {
        co_return JobInfo::decode(response.body);
    } catch (const DecodingError &error) {
        throw APIError::decoding(error.detail());
    }
}

QCoro::Task<QByteArray> downloadReport(QString jobID, QString bearer, CallControlPtr control)
{
    const APIResponse response =
        co_await send(QStringLiteral("/v1/jobs/%1/download/report").arg(jobID), "GET", std::nullopt, bearer, control);
    if (response.status != 200)
        throw APIError::badStatus(response.status, bodyText(response.body));
    co_return response.body;
}

} // namespace APIClient
} // namespace hoplin
