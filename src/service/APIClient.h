#pragma once

#include "Error.h"
#include "Records.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace hoplin {

// The error of every call that judges the service's answer.
class APIError : public Error {
public:
    enum class Kind { BadStatus, Decoding, NoData };

    static APIError badStatus(int status, const QString &body);
    static APIError decoding(const QString &detail);
    static APIError noData();

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    const QString &body() const { return m_payload; }   // BadStatus
    const QString &detail() const { return m_payload; } // Decoding

private:
    APIError(Kind kind, int status, QString payload, QString description);

    Kind m_kind;
    int m_status;
    QString m_payload;
};

struct APIResponse {
    QByteArray body;
    int status = 0;
};

// The one HTTP client for the service. Stateless: callers pass the tokens they hold. All
// operations run on the main thread's event loop.
namespace APIClient {

// The service origin: the "baseURL" setting when it is a usable http(s) address, otherwise the
// built-in origin. Read afresh on every call.
QUrl baseURL();
// baseURL() with `path` appended as a path component.
QUrl endpoint(const QString &path);

// A request carrying the service's conventions: JSON content type, optional bearer token, the
// request time-out, HTTP/1.1 only, redirects left to guardRedirects().
QNetworkRequest makeRequest(const QUrl &url, const QString &bearer = {});

// Whether two addresses share scheme, host and port (the scheme's default port when none is given).
bool sameOrigin(const QUrl &a, const QUrl &b);
// The error of a redirect that was not followed because it led to another origin.
TransportError refusedRedirectError(const QUrl &target);
// The error of an answer that ended before the length its headers promised.
TransportError cutShortError();

// Lets `reply` (made from makeRequest) follow a redirect only within the origin it was sent to,
// so a bearer token never reaches another host. A redirect elsewhere ends the reply, and
// replyAnswer() names it.
void guardRedirects(QNetworkReply *reply);

// The one judgement of a finished reply. An HTTP answer is returned whatever its status. A reply
// that ended with a network error is a TransportError even when a status and part of the body had
// arrived (a body cut short or stalled is no answer); `cancelText`, when given, words an
// OperationCanceledError (a time-out). No HTTP status and no error is APIError::noData().
APIResponse replyAnswer(QNetworkReply *reply, const std::optional<QString> &cancelText = std::nullopt);

// Starts one request through the process-wide manager, redirects guarded.
QNetworkReply *startRequest(const QString &path, const QByteArray &method, const std::optional<QByteArray> &body,
                            const QString &bearer);
// Waits for a reply from startRequest(), writes the request's log line and judges it with
// replyAnswer(). When `cancelled` says the caller aborted it, logs "cancelled" and throws
// cancelledError().
QCoro::Task<APIResponse> finishRequest(QNetworkReply *reply, QString path, QByteArray method,
                                       std::function<bool()> cancelled = {});
TransportError cancelledError();

// Sends one request and returns whatever HTTP answer came back, whatever its status. Throws
// TransportError when no complete answer came, APIError::noData() when the answer is not HTTP.
QCoro::Task<APIResponse> request(QString path, QByteArray method, std::optional<QByteArray> body = std::nullopt,
                                 QString bearer = {});

QCoro::Task<Session> activate(QString apiKey);
QCoro::Task<PresetsPayload> fetchPresets(QString bearer);
QCoro::Task<Session> refresh(QString refreshToken);
QCoro::Task<bool> logout(QString bearer, QString refreshToken);
QCoro::Task<void> cancelJob(QString jobID, QString bearer);

// The response body as text, or the empty string when it is not valid UTF-8.
QString bodyText(const QByteArray &body);

// The process-wide network manager; lives for the whole run.
QNetworkAccessManager &network();

std::chrono::milliseconds requestTimeout();
// Shortens the time-out so tests can reach it quickly.
void setRequestTimeoutForTesting(std::chrono::milliseconds timeout);

} // namespace APIClient
} // namespace hoplin
