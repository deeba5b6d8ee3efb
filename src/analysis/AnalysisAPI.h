#pragma once

#include "AnalysisDocument.h"
#include "service/APIClient.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class QNetworkReply;

namespace hoplin {

// Lets the owner of a call stop it: abort() ends the request in flight (its awaiting coroutine
// resumes and throws) and makes every later step of the call throw at once. Main thread only,
// except `aborted`, which the upload's body writer reads from its worker thread.
class CallControl {
public:
    void abort();
    bool isAborted() const { return m_aborted.load(); }
    // Throws the cancellation error when aborted.
    void check() const;

    // What stops the call's current step, run by abort() (at once when already aborted).
    void hold(std::function<void()> stop);
    // The call's current reply, aborted with the call.
    void hold(QNetworkReply *reply);
    void release() { m_stop = nullptr; }

    static TransportError cancelled();
    const std::atomic<bool> *abortFlag() const { return &m_aborted; }

private:
    std::atomic<bool> m_aborted{false};
    std::function<void()> m_stop;
};

using CallControlPtr = std::shared_ptr<CallControl>;

// The multipart body of an upload: one part "file" with the audio bytes unchanged.
namespace Multipart {

inline constexpr qint64 chunkBytes = 1024 * 1024;

// "HoplinBoundary-" and a fresh upper-case UUID.
QString makeBoundary();
// Where the body is assembled: "hoplin-upload-{UUID}.multipart" in the temporary directory.
QString temporaryBodyPath();
// The last path component with '"' made '_' and CR and LF made spaces.
QString partFileName(const QString &audioPath);
// Everything before the file's bytes, and everything after them.
QByteArray head(const QString &boundary, const QString &fileName);
QByteArray tail(const QString &boundary);
// The most an upload may carry, and the code (domain "Hoplin") of the error when a file holds more.
inline constexpr qint64 uploadLimit = 128 * 1024 * 1024;
inline constexpr int tooLargeCode = 4;
// Told the body's whole length and how much of it is on disk, after the opening rows and after
// every chunk; returning false stops the writing (it then throws the cancellation error).
using BodyWritten = std::function<bool(qint64 length, qint64 written)>;
// Writes the whole body to `bodyPath` (replacing it, mode 0600), copying the audio file in chunks
// of chunkBytes. The audio's size when it is opened sets the body's length: a file that grows or
// shrinks while it is copied fails. Throws Error on a failed open, read or write, when the audio is
// not a regular file, when it holds more than `byteLimit` bytes, or when `aborted` becomes true.
void writeBody(const QString &audioPath, const QString &bodyPath, const QString &boundary,
               const std::atomic<bool> *aborted = nullptr, qint64 byteLimit = uploadLimit,
               const BodyWritten &written = {});

} // namespace Multipart

// The analysis operations of the service client.
namespace APIClient {

inline constexpr auto uploadPath = "/v1/uploads";
// The longest an upload may go without moving any data before it fails.
inline constexpr std::chrono::seconds uploadStallTimeout{1800};

using UploadProgress = std::function<void(qint64 sent, qint64 total)>;

// Streams the file as a multipart body from a temporary file (removed on every way out) and
// returns the service's upload id.
QCoro::Task<QString> uploadAudio(QString filePath, QString bearer, CallControlPtr control = {},
                                 UploadProgress progress = {},
                                 qint64 byteLimit = Multipart::uploadLimit);
// Tests only: runs on the upload's body writer after each step it reported.
void setBodyWriterHookForTesting(std::function<void(qint64 written)> hook);
// Starts a job on an upload; only 202 counts as success. Returns the job id.
QCoro::Task<QString> processUpload(QString uploadID, QString workflow, QString bearer, CallControlPtr control = {});
// The job's document; a document that does not decode fails with APIError::decoding.
QCoro::Task<JobInfo> jobInfo(QString jobID, QString bearer, CallControlPtr control = {});
// The job's report file, bytes unchanged.
QCoro::Task<QByteArray> downloadReport(QString jobID, QString bearer, CallControlPtr control = {});

} // namespace APIClient
} // namespace hoplin
