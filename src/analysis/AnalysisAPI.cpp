#include "AnalysisAPI.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "service/Json.h"

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hoplin {

void CallControl::abort()
{
    m_aborted = true;
    if (m_reply)
        m_reply->abort();
}

void CallControl::check() const
{
    if (m_aborted)
        throw cancelled();
}

void CallControl::hold(QNetworkReply *reply)
{
    m_reply = reply;
    if (m_aborted)
        reply->abort();
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

Error fileError(const QString &what, const QFile &file)
{
    return Error(QStringLiteral("File"), int(file.error()), QStringLiteral("%1: %2").arg(what, file.errorString()));
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
               const std::atomic<bool> *aborted, qint64 byteLimit)
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

    // Private: the body is a copy of a recording that may itself be private.
    const QByteArray bodyName = QFile::encodeName(bodyPath);
    Descriptor body{::open(bodyName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (body.fd < 0 || ::fchmod(body.fd, 0600) != 0)
        throw systemError(QStringLiteral("Could not create the upload body"), errno);

    const QByteArray opening = head(boundary, name);
    writeAll(body.fd, opening.constData(), opening.size());
    // One chunk at a time: the file is never held in memory as a whole. The limit holds for the
    // bytes actually copied, whatever the size said (a file can grow while it is read).
    const auto tooLarge = [&name] {
        return Error(QStringLiteral("Hoplin"), tooLargeCode,
                     QStringLiteral("%1 is larger than the 128 MiB upload limit.").arg(name));
    };
    QByteArray chunk;
    qint64 copied = 0;
    bool inKernel = true;
    for (;;) {
        if (aborted && aborted->load())
            throw CallControl::cancelled();
        if (inKernel) {
            // The kernel copies the chunk itself: the bytes never pass through this process. At most
            // one byte past the limit, so that going over shows without writing more. Any failure
            // falls back to reading and writing, which says precisely what went wrong.
            const ssize_t got = ::copy_file_range(audio.fd, nullptr, body.fd, nullptr,
                                                  size_t(std::min(chunkBytes, byteLimit - copied + 1)), 0);
            if (got == 0)
                break;
            if (got > 0) {
                copied += got;
                if (copied > byteLimit)
                    throw tooLarge();
                continue;
            }
            if (errno == EINTR)
                continue;
            inKernel = false;
            chunk = QByteArray(chunkBytes, Qt::Uninitialized);
        }
        const ssize_t got = ::read(audio.fd, chunk.data(), size_t(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw systemError(QStringLiteral("Could not read %1").arg(name), errno);
        if (got == 0)
            break;
        copied += got;
        if (copied > byteLimit)
            throw tooLarge();
        writeAll(body.fd, chunk.constData(), got);
    }
    const QByteArray closing = tail(boundary);
    writeAll(body.fd, closing.constData(), closing.size());
    const int fd = body.fd;
    body.fd = -1;
    if (::close(fd) != 0)
        throw systemError(QStringLiteral("Could not write the upload body"), errno);
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

} // namespace

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
    const TemporaryBody temporary{bodyPath};

    // Copying up to 128 MiB takes a while: a worker thread does it while the event loop goes on.
    // Everything it touches lives in this frame, which waits for it to finish.
    std::exception_ptr writeError;
    std::unique_ptr<QThread> writer(QThread::create([&] {
        try {
            Multipart::writeBody(filePath, temporary.path, boundary, control->abortFlag(), byteLimit);
        } catch (...) {
            writeError = std::current_exception();
        }
    }));
    // The wait ends through a timer of this thread that the worker's "finished" restarts at zero.
    // Connected before the start, so a worker that is done at once is not missed (QCoro's own
    // waitForFinished() checks first and connects afterwards).
    QTimer done;
    done.setSingleShot(true);
    done.start(std::chrono::hours(24));
    QObject::connect(writer.get(), &QThread::finished, &done, [&done] { done.start(0); });
    writer->start();
    co_await done;
    writer->wait(); // "finished" comes just before the thread ends; deleting it earlier aborts
    if (writeError)
        std::rethrow_exception(writeError);
    control->check();

    auto *body = new QFile(temporary.path);
    if (!body->open(QIODevice::ReadOnly)) {
        const Error error(QStringLiteral("File"), int(body->error()),
                          QStringLiteral("Could not open the upload body: ") + body->errorString());
        delete body;
        throw error;
    }
    QNetworkRequest request = makeRequest(endpoint(QString::fromLatin1(uploadPath)), bearer);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("multipart/form-data; boundary=") + boundary);
    request.setTransferTimeout(int(std::chrono::milliseconds(uploadStallTimeout).count()));
    // A QFile body is streamed from disk; the reply owns it from here on.
    QNetworkReply *reply = network().post(request, body);
    guardRedirects(reply);
    body->setParent(reply);
    control->hold(reply);
    if (progress)
        QObject::connect(reply, &QNetworkReply::uploadProgress, reply,
                         [progress](qint64 sent, qint64 total) { progress(sent, total); });
    co_await qCoro(reply).waitForFinished(std::chrono::milliseconds(-1));
    reply->deleteLater();
    control->release();

    if (reply->error() != QNetworkReply::NoError && control->isAborted())
        throw CallControl::cancelled();
    // Nobody aborted it, so a cancellation is the stall time-out.
    const APIResponse answer = replyAnswer(reply, QStringLiteral("The upload timed out."));
    if (answer.status != 200)
        throw APIError::badStatus(answer.status, bodyText(answer.body));
    const auto uploadID = stringMember(answer.body, QStringLiteral("upload_id"));
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
