#pragma once

#include "APIClient.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace hoplin {

// One HTTP/1.1 POST whose body is read while it is sent, on a thread of its own: the bytes go
// from their file to the socket without passing through the event loop, which hears only of
// progress. It keeps the rules of the service client's other calls: a redirect is followed only
// within the origin (307 and 308 send the body again from its start; any other redirect status is
// returned as the answer), the application's proxy, HTTP/1.1, http and https only.
class StreamedPost {
public:
    // Copies up to `max` bytes of the body, from `offset`, into `data`. Returns how many, 0 when
    // none are ready yet (it is asked again shortly), -1 when the body cannot be read. Runs on the
    // sending thread.
    using Source = std::function<qint64(char *data, qint64 offset, qint64 max)>;
    using Progress = std::function<void(qint64 sent, qint64 total)>;

    struct Request {
        QUrl url;
        QList<std::pair<QByteArray, QByteArray>> headers;
        qint64 length = 0;
        Source source;
        // The longest the transfer may go without moving a byte in either direction.
        std::chrono::seconds stallTimeout{60};
    };

    // The most of an answer that is kept; a larger one fails the call.
    static constexpr qint64 answerLimit = 4 * 1024 * 1024;

    explicit StreamedPost(Request request);
    // Stops a transfer still running and waits for its thread.
    ~StreamedPost();
    StreamedPost(const StreamedPost &) = delete;
    StreamedPost &operator=(const StreamedPost &) = delete;

    // Sends the request once. Resumes on the calling thread with the HTTP answer, whatever its
    // status; `progress` is called there too, at most once per event-loop turn. Throws
    // TransportError when no whole answer came: the refused redirect, `stallText` for the stall
    // time-out, cancelledError() after stop().
    QCoro::Task<APIResponse> send(Progress progress, QString stallText);
    // Ends the transfer as soon as possible. Safe from any thread.
    void stop();

private:
    struct Transfer;
    std::shared_ptr<Transfer> m_transfer;
};

} // namespace hoplin
