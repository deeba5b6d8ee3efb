#include "APIClient.h"

#include "Json.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "version.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringDecoder>
#include <QThread>
#include <atomic>

namespace hoplin {

APIError::APIError(Kind kind, int status, QString payload, QString description)
    : Error(QStringLiteral("APIError"), int(kind), std::move(description))
    , m_kind(kind)
    , m_status(status)
    , m_payload(std::move(payload))
{
}

APIError APIError::badStatus(int status, const QString &body)
{
    return APIError(Kind::BadStatus, status, body, QStringLiteral("Server error %1: %2").arg(QString::number(status), body));
}

APIError APIError::decoding(const QString &detail)
{
    return APIError(Kind::Decoding, 0, detail, QStringLiteral("Unexpected response: ") + detail);
}

APIError APIError::noData()
{
    return APIError(Kind::NoData, 0, {}, QStringLiteral("No data received."));
}

namespace APIClient {
namespace {

std::atomic<qint64> g_timeoutMs{60000};

constexpr auto kRefusedRedirect = "hoplinRefusedRedirect";

int defaultPort(const QString &scheme)
{
    return scheme == u"https" ? 443 : scheme == u"http" ? 80 : -1;
}

// Qt turns an HTTP status of 400 or more into one of these errors although the answer arrived
// whole; every other error means the transfer itself failed.
bool isStatusError(QNetworkReply::NetworkError error, int status)
{
    if (status < 400)
        return false;
    const int code = int(error);
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
           (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError) ||
           error == QNetworkReply::ProtocolInvalidOperationError ||
           (status == 407 && error == QNetworkReply::ProxyAuthenticationRequiredError);
}

void apiLog(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("api"), message);
}

QByteArray jsonBody(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Status 200 decodes the record; anything else is a bad status carrying the body text.
template <typename Record> Record judge(const APIResponse &response)
{
    if (response.status != 200)
        throw APIError::badStatus(response.status, bodyText(response.body));
    try {
        return Record::fromJson(JsonReader::parse(response.body));
    } catch (const DecodingError &error) {
        throw APIError::decoding(error.detail());
    }
}

} // namespace

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const QString scheme = a.scheme().toLower();
    return scheme == b.scheme().toLower() && a.host().toLower() == b.host().toLower() &&
           a.port(defaultPort(scheme)) == b.port(defaultPort(scheme));
}

TransportError refusedRedirectError(const QUrl &target)
{
    return TransportError(int(QNetworkReply::InsecureRedirectError),
                          QStringLiteral("Refused a redirect to another origin: %1")
                              .arg(target.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)));
}

TransportError cutShortError()
{
    return TransportError(int(QNetworkReply::RemoteHostClosedError),
                          QStringLiteral("The connection closed before the whole answer arrived."));
}

QNetworkAccessManager &network()
{
    // Guarded so a first use from two places cannot build two managers; never destroyed, since
    // replies awaited by coroutines must not outlive it.
    static QMutex lock;
    static QNetworkAccessManager *manager = nullptr;
    QMutexLocker locker(&lock);
    if (!manager) {
        manager = new QNetworkAccessManager();
        if (QCoreApplication::instance())
            manager->moveToThread(QCoreApplication::instance()->thread());
    }
    return *manager;
}

std::chrono::milliseconds requestTimeout()
{
    return std::chrono::milliseconds(g_timeoutMs.load());
}

void setRequestTimeoutForTesting(std::chrono::milliseconds timeout)
{
    g_timeoutMs = timeout.count();
}

QUrl baseURL()
{
    const QString configured = Settings::shared().string(QString::fromLatin1(keys::baseURL)).trimmed();
    if (!configured.isEmpty()) {
        const QUrl url(configured, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && (scheme == u"http" || scheme == u"https") && !url.host().isEmpty())
            return url;
    }
    return QUrl(QString::fromLatin1(version::kServiceOrigin));
}

QUrl endpoint(const QString &path)
{
    QUrl url = baseURL();
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QString tail = path;
    while (tail.startsWith(QLatin1Char('/')))
        tail.remove(0, 1);
    url.setPath(base + QLatin1Char('/') + tail);
    return url;
}

QNetworkRequest makeRequest(const QUrl &url, const QString &bearer)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(g_timeoutMs.load()));
    // Debian's Qt 6.4 lacks later HTTP/2 fixes; the service speaks HTTP/1.1 fine.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!bearer.isNull())
        request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    return request;
}

void guardRedirects(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &target) {
        if (sameOrigin(target, reply->request().url())) {
            emit reply->redirectAllowed();
            return;
        }
        reply->setProperty(kRefusedRedirect, target);
        reply->abort();
    });
}

APIResponse replyAnswer(QNetworkReply *reply, const std::optional<QString> &cancelText)
{
    const QUrl refused = reply->property(kRefusedRedirect).toUrl();
    if (!refused.isEmpty())
        throw refusedRedirectError(refused);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError && !(status.isValid() && isStatusError(error, status.toInt()))) {
        const QString description =
            error == QNetworkReply::OperationCanceledError && cancelText ? *cancelText : reply->errorString();
        throw TransportError(int(error), description);
    }
    if (!status.isValid())
        throw APIError::noData();
    APIResponse response{reply->readAll(), status.toInt()};
    // An error status can hide the early close behind its own error code: the promised length
    // tells. (A compressed body is measured after decompression, so only a plain one is checked.)
    const QVariant promised = reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (promised.isValid() && (encoding.isEmpty() || encoding == "identity") &&
        response.body.size() < promised.toLongLong())
        throw cutShortError();
    return response;
}

QString bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    return decoder.hasError() ? QString() : text;
}

QNetworkReply *startRequest(const QString &path, const QByteArray &method, const std::optional<QByteArray> &body,
                            const QString &bearer)
{
    QNetworkReply *reply =
        network().sendCustomRequest(makeRequest(endpoint(path), bearer), method, body.value_or(QByteArray()));
    guardRedirects(reply);
    return reply;
}

TransportError cancelledError()
{
    return TransportError(int(QNetworkReply::OperationCanceledError), QStringLiteral("The operation was cancelled."));
}

QCoro::Task<APIResponse> finishRequest(QNetworkReply *reply, QString path, QByteArray method,
                                       std::function<bool()> cancelled)
{
    const QString methodName = QString::fromLatin1(method);
    QElapsedTimer elapsed;
    elapsed.start();
    // The request's own transfer time-out ends it; QCoro's default wait would give up at 30 s.
    co_await qCoro(reply).waitForFinished(std::chrono::milliseconds(-1));
    reply->deleteLater();
    const qint64 milliseconds = elapsed.nsecsElapsed() / 1000000;
    if (reply->error() != QNetworkReply::NoError && cancelled && cancelled()) {
        apiLog(QStringLiteral("%1 %2 cancelled").arg(methodName, path));
        throw cancelledError();
    }
    try {
        // Inactivity for the whole time-out surfaces as a plain cancellation; say what happened.
        const bool timedOut = milliseconds >= g_timeoutMs.load() - 50;
        APIResponse response =
            replyAnswer(reply, timedOut ? std::optional(QStringLiteral("The request timed out.")) : std::nullopt);
        apiLog(QStringLiteral("%1 %2 -> %3 in %4ms").arg(methodName, path, QString::number(response.status), QString::number(milliseconds)));
        co_return response;
    } catch (const Error &error) {
        apiLog(QStringLiteral("%1 %2 ERROR %3").arg(methodName, path, error.description()));
        throw;
    }
}

QCoro::Task<APIResponse> request(QString path, QByteArray method, std::optional<QByteArray> body, QString bearer)
{
    QNetworkReply *reply = startRequest(path, method, body, bearer);
    auto finishing = finishRequest(reply, path, method);
    co_return co_await std::move(finishing);
}

QCoro::Task<Session> activate(QString apiKey)
{
    const QByteArray body = jsonBody({{QStringLiteral("api_key"), apiKey},
                                      {QStringLiteral("installation_label"), QLatin1String(version::kAppName)}});
    const APIResponse response = co_await request(QStringLiteral("/v1/auth/activate"), "POST", body);
    co_return judge<Session>(response);
}

QCoro::Task<PresetsPayload> fetchPresets(QString bearer)
{
    const APIResponse response = co_await request(QStringLiteral("/v1/presets"), "GET", std::nullopt, bearer);
    co_return judge<PresetsPayload>(response);
}

QCoro::Task<Session> refresh(QString refreshToken)
{
    const QByteArray body = jsonBody({{QStringLiteral("refresh_token"), refreshToken}});
    const APIResponse response = co_await request(QStringLiteral("/v1/auth/refresh"), "POST", body);
    co_return judge<Session>(response);
}

QCoro::Task<bool> logout(QString bearer, QString refreshToken)
{
    const QByteArray body = jsonBody({{QStringLiteral("refresh_token"), refreshToken}});
    try {
        const APIResponse response = co_await request(QStringLiteral("/v1/auth/logout"), "POST", body, bearer);
        co_return response.status == 200 || response.status == 401 || response.status == 404;
    } catch (const Error &error) {
        apiLog(QStringLiteral("logout request failed: ") + error.description());
    } catch (const std::exception &error) {
        apiLog(QStringLiteral("logout request failed: ") + QString::fromUtf8(error.what()));
    }
    co_return false;
}

QCoro::Task<void> cancelJob(QString jobID, QString bearer)
{
    const APIResponse response =
        co_await request(QStringLiteral("/v1/jobs/%1/cancel").arg(jobID), "POST", std::nullopt, bearer);
    if (response.status != 200 && response.status != 202 && response.status != 404)
        throw APIError::badStatus(response.status, QStringLiteral("Job cancel failed."));
}

} // namespace APIClient
} // namespace hoplin
