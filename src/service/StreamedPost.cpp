#include "StreamedPost.h"

#include <QCoro/QCoroFuture>
#include <QFuture>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <curl/curl.h>
#include <mutex>

namespace hoplin {

namespace {

// A redirect chain longer than this is answered with its last redirect.
constexpr int kMostHops = 20;

// The transfers' own threads: one may run for the whole of a long upload and must not take a
// thread the shared pool's short jobs are waiting for.
QThreadPool &transferThreads()
{
    static QThreadPool *pool = [] {
        auto *threads = new QThreadPool;
        threads->setMaxThreadCount(4);
        return threads;
    }();
    return *pool;
}

void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The proxy the application's network manager would use for `url`, in curl's form; empty for a
// direct connection (which also keeps curl from taking one from the environment on its own).
QByteArray proxyFor(const QUrl &url)
{
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        QUrl address;
        switch (proxy.type()) {
        case QNetworkProxy::NoProxy:
            return {};
        case QNetworkProxy::HttpProxy:
        case QNetworkProxy::HttpCachingProxy:
            address.setScheme(QStringLiteral("http"));
            break;
        case QNetworkProxy::Socks5Proxy:
            address.setScheme(QStringLiteral("socks5h"));
            break;
        default:
            continue;
        }
        address.setHost(proxy.hostName());
        address.setPort(proxy.port());
        address.setUserName(proxy.user());
        address.setPassword(proxy.password());
        return address.toEncoded();
    }
    return {};
}

// The network error Qt would have given for curl's failure; the text is curl's own.
QNetworkReply::NetworkError networkError(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT:
        return QNetworkReply::OperationCanceledError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return QNetworkReply::RemoteHostClosedError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

} // namespace

struct StreamedPost::Transfer {
    Request request;
    QByteArray proxy;
    CURLM *multi = nullptr;
    CURL *easy = nullptr;
    std::atomic<bool> stopped{false};
    QFuture<void> running;

    // Progress, handed to the owner's thread through `relay` at most one message at a time.
    QObject *relay = nullptr;
    Progress progress;
    std::atomic<qint64> sent{0};
    std::atomic<bool> progressPosted{false};

    // Written by the sending thread only, read by the owner once it has ended.
    qint64 offset = 0;
    QByteArray answer;
    bool answerTooLarge = false;
    bool sourceFailed = false;
    bool sourceStalled = false;
    CURLcode result = CURLE_OK;
    long status = 0;
    QUrl refused;
    char errorText[CURL_ERROR_SIZE] = {};

    // Ends the transfer as soon as possible; any thread.
    void stop()
    {
        stopped = true;
        if (multi)
            curl_multi_wakeup(multi);
    }
    // Stops the transfer and waits for its thread.
    void end()
    {
        stop();
        running.waitForFinished();
    }

    ~Transfer()
    {
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
    }

    static size_t read(char *data, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<Transfer *>(user);
        const qint64 want = std::min(qint64(size * count), self->request.length - self->offset);
        if (want <= 0)
            return 0;
        // curl cannot time the wait in here: a source that stops giving bytes counts as a stall.
        const auto deadline = std::chrono::steady_clock::now() + self->request.stallTimeout;
        for (;;) {
            if (self->stopped.load())
                return CURL_READFUNC_ABORT;
            if (std::chrono::steady_clock::now() > deadline) {
                self->sourceStalled = true;
                return CURL_READFUNC_ABORT;
            }
            const qint64 got = self->request.source(data, self->offset, want);
            if (got < 0) {
                self->sourceFailed = true;
                return CURL_READFUNC_ABORT;
            }
            if (got > 0) {
                self->offset += got;
                return size_t(got);
            }
        }
    }

    static int seek(void *user, curl_off_t offset, int origin)
    {
        auto *self = static_cast<Transfer *>(user);
        if (origin != SEEK_SET || offset < 0 || offset > self->request.length)
            return CURL_SEEKFUNC_CANTSEEK;
        self->offset = offset;
        return CURL_SEEKFUNC_OK;
    }

    static size_t write(char *data, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<Transfer *>(user);
        const qint64 bytes = qint64(size * count);
        if (self->answer.size() + bytes > answerLimit) {
            self->answerTooLarge = true;
            return 0;
        }
        self->answer.append(data, bytes);
        return size_t(bytes);
    }

    static int onProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
    {
        auto *self = static_cast<Transfer *>(user);
        if (self->progress && self->sent.exchange(uploaded) != uploaded && !self->progressPosted.exchange(true)) {
            QMetaObject::invokeMethod(
                self->relay,
                [self] {
                    self->progressPosted = false;
                    self->progress(self->sent.load(), self->request.length);
                },
                Qt::QueuedConnection);
        }
        return self->stopped.load() ? 1 : 0;
    }

    // One request to `url`; leaves its outcome in the members.
    void perform(const QUrl &url)
    {
        offset = 0;
        answer.clear();
        errorText[0] = 0;
        curl_easy_setopt(easy, CURLOPT_URL, url.toEncoded().constData());
        curl_multi_add_handle(multi, easy);
        int active = 1;
        while (active && !stopped.load()) {
            if (curl_multi_perform(multi, &active) != CURLM_OK || !active)
                break;
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        result = stopped.load() ? CURLE_ABORTED_BY_CALLBACK : CURLE_OK;
        int left = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && !stopped.load())
                result = message->data.result;
        }
        curl_multi_remove_handle(multi, easy);
        status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    }

    void run()
    {
        QUrl url = request.url;
        for (int hop = 0;; ++hop) {
            perform(url);
            if (result != CURLE_OK || status / 100 != 3)
                return;
            curl_header *location = nullptr;
            if (curl_easy_header(easy, "Location", 0, CURLH_HEADER, -1, &location) != CURLHE_OK)
                return;
            const QUrl target = url.resolved(QUrl(QString::fromUtf8(location->value)));
            if (!APIClient::sameOrigin(target, request.url)) {
                refused = target;
                return;
            }
            // Only these two keep the method and the body; the rest are answers.
            if ((status != 307 && status != 308) || hop == kMostHops)
                return;
            url = target;
        }
    }

    // Everything but the URL, which each request of a redirect chain sets anew.
    void configure(const curl_slist *headers)
    {
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.length));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::seek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
        const long stall = long(request.stallTimeout.count());
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, stall);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stall);
        // Fewer, larger reads of the body; the socket takes them as fast as smaller ones.
        curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    }
};

StreamedPost::StreamedPost(Request request) : m_transfer(std::make_shared<Transfer>())
{
    initialiseOnce();
    m_transfer->request = std::move(request);
    m_transfer->multi = curl_multi_init();
    m_transfer->easy = curl_easy_init();
}

StreamedPost::~StreamedPost()
{
    m_transfer->end();
}

void StreamedPost::stop()
{
    m_transfer->stop();
}

QCoro::Task<APIResponse> StreamedPost::send(Progress progress, QString stallText)
{
    const std::shared_ptr<Transfer> transfer = m_transfer;
    if (!transfer->multi || !transfer->easy)
        throw TransportError(int(QNetworkReply::UnknownNetworkError), QStringLiteral("Could not start the transfer."));
    transfer->proxy = proxyFor(transfer->request.url);
    curl_slist *headers = nullptr;
    for (const auto &[name, value] : std::as_const(transfer->request.headers))
        headers = curl_slist_append(headers, (name + ": " + value).constData());
    // (curl asks for a "100 Continue" before a large body, so a refused request, say for an expired
    // token, is answered before the body is sent.)
    const auto freeHeaders = qScopeGuard([headers] { curl_slist_free_all(headers); });
    transfer->configure(headers);

    QObject relay; // progress reaches this thread through it
    transfer->relay = &relay;
    transfer->progress = std::move(progress);
    const auto work = [transfer] { transfer->run(); };
    transfer->running = QtConcurrent::run(&transferThreads(), work);
    // Declared after the relay, so a frame dropped mid-transfer stops it before the relay goes.
    const auto join = qScopeGuard([transfer] { transfer->end(); });
    QFuture<void> running = transfer->running;
    co_await running;

    if (transfer->stopped.load())
        throw APIClient::cancelledError();
    if (transfer->sourceFailed)
        throw TransportError(int(QNetworkReply::UnknownNetworkError), QStringLiteral("Could not read the request body."));
    if (transfer->sourceStalled)
        throw TransportError(int(QNetworkReply::OperationCanceledError), stallText);
    if (!transfer->refused.isEmpty())
        throw APIClient::refusedRedirectError(transfer->refused);
    if (transfer->answerTooLarge)
        throw TransportError(int(QNetworkReply::UnknownContentError),
                             QStringLiteral("The service's answer was larger than expected."));
    switch (transfer->result) {
    case CURLE_OK:
        break;
    case CURLE_OPERATION_TIMEDOUT:
        throw TransportError(int(QNetworkReply::OperationCanceledError), stallText);
    case CURLE_PARTIAL_FILE:
        throw APIClient::cutShortError();
    default: {
        const QString text = QString::fromUtf8(transfer->errorText).trimmed();
        throw TransportError(int(networkError(transfer->result)),
                             text.isEmpty() ? QString::fromUtf8(curl_easy_strerror(transfer->result)) : text);
    }
    }
    if (transfer->status <= 0)
        throw APIError::noData();
    co_return APIResponse{transfer->answer, int(transfer->status)};
}

} // namespace hoplin
