#include "TestSupport.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "service/SessionStore.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTest>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hoplin::test {

namespace {
QString g_home;

// When this process has gone (ended, crashed or killed), a watcher ends what inherited its temporary
// folder (its servers among them) and removes the folder; detached, so a timeout's tree kill spares it.
void cleanUpWhenGone(const QByteArray &folder)
{
    int gone[2];
    if (::pipe2(gone, O_CLOEXEC) != 0 || ::fork() != 0) // the test keeps the writing end until it ends
        return void(::wait(nullptr));
    if (::fork() == 0) {
        ::dup2(gone[0], 0);
        ::close_range(3, ~0U, 0);
        ::execl("/bin/sh", "sh", "-c", R"sh(exec >/dev/null 2>&1; cat; for p in /proc/[0-9]*; do
                  case "$(tr '\0' '\n' <$p/environ)" in *"TMPDIR=$0/"*) set -- "$@" ${p#/proc/};; esac
                done; [ $# = 0 ] || { kill "$@"; sleep 1; kill -9 "$@"; }; chmod -R u+rwX "$0"; rm -rf "$0")sh",
                folder.constData(), nullptr);
    }
    ::_exit(0);
}
} // namespace

QString isolateHome()
{
    static auto *dir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/hoplin-test-XXXXXX"));
    g_home = dir->path();
    const QByteArray home = QFile::encodeName(g_home);
    cleanUpWhenGone(home);
    // Each test process has a temporary folder of its own, so none sees another's files.
    QDir(g_home).mkpath(QStringLiteral("tmp"));
    qputenv("TMPDIR", home + "/tmp");
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_DATA_HOME", home + "/.local/share");
    qputenv("XDG_CACHE_HOME", home + "/.cache");
    qputenv("XDG_DOWNLOAD_DIR", home + "/Downloads");
    QDir(g_home).mkpath(QStringLiteral("Downloads"));
    // The web engine's own sandbox cannot start as root; everyone else keeps it.
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", qgetenv("QTWEBENGINE_CHROMIUM_FLAGS") + " --no-sandbox");
    return g_home;
}

void removeHome()
{
    if (!g_home.isEmpty())
        QDir(g_home).removeRecursively();
}

QString testHome()
{
    return g_home;
}

QStringList logMessages(const QString &category, qsizetype from)
{
    const QString marker = QLatin1Char('[') + category + QLatin1String("] ");
    const QStringList lines = DiagnosticsLogger::shared().bufferSnapshot();
    QStringList messages;
    for (qsizetype i = from; i < lines.size(); ++i) {
        if (lines[i].contains(marker))
            messages << lines[i].section(marker, 1).trimmed();
    }
    return messages;
}

qsizetype logMark()
{
    return DiagnosticsLogger::shared().bufferSnapshot().size();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

bool synthesise(const QString &path, const QString &source, const QStringList &options)
{
    QDir().mkpath(QFileInfo(path).path());
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("/usr/bin/ffmpeg"),
                  QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i", source} +
                      options + QStringList{path});
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning("synthesising %s failed: %s", qPrintable(path), process.readAll().constData());
        return false;
    }
    return true;
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QJsonValue HttpResult::json() const
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isArray())
        return document.array();
    return document.object();
}

HttpResult httpCall(const QByteArray &method, const QUrl &url, const QByteArray &body, const QByteArray &bearer,
                    const QList<QPair<QByteArray, QByteArray>> &headers)
{
    static QNetworkAccessManager *manager = new QNetworkAccessManager();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply *reply = manager->sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(std::chrono::seconds(20), &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    HttpResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    reply->deleteLater();
    return result;
}

LocalServer::LocalServer() = default;

LocalServer::~LocalServer()
{
    stop();
}

bool LocalServer::start(const QStringList &extraArguments)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->start(QStringLiteral(HOPLIN_SERVER_BIN),
                     QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--admin"),
                                 QStringLiteral("--quiet")} +
                         extraArguments);
    if (!m_process->waitForStarted(10000))
        return false;
    // The address it listens on, the keys, then the token the admin routes want.
    auto nextLine = [this]() -> std::optional<QByteArray> {
        while (!m_process->canReadLine()) {
            if (!m_process->waitForReadyRead(10000))
                return std::nullopt;
        }
        return m_process->readLine().trimmed();
    };
    const auto address = nextLine();
    if (!address)
        return false;
    m_url = QUrl(QString::fromUtf8(*address));
    m_adminToken.clear();
    for (int i = 0; i < 2 && m_adminToken.isEmpty(); ++i) {
        const auto line = nextLine();
        if (!line)
            return false;
        if (line->startsWith("admin token: "))
            m_adminToken = line->mid(13);
    }
    return m_url.isValid() && m_url.port() > 0 && !m_adminToken.isEmpty();
}

void LocalServer::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
}

QUrl LocalServer::url(const QString &path) const
{
    QUrl result = m_url;
    result.setPath(path);
    return result;
}

HttpResult LocalServer::adminCall(const QByteArray &method, const QString &path, const QByteArray &body)
{
    return httpCall(method, url(QStringLiteral("/__admin/") + path), body, {}, {{"X-Admin-Token", m_adminToken}});
}

QJsonValue LocalServer::admin(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    const QByteArray bytes = body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HttpResult result = adminCall(method, path, bytes);
    if (result.status != 200)
        qWarning("admin %s %s answered %d: %s", method.constData(), qPrintable(path), result.status,
                 result.body.constData());
    return result.json();
}

void LocalServer::fault(const QString &route, int status, const QByteArray &body, int count)
{
    faultRaw({{QStringLiteral("route"), route},
              {QStringLiteral("status"), status},
              {QStringLiteral("body_base64"), QString::fromLatin1(body.toBase64())},
              {QStringLiteral("count"), count}});
}

void LocalServer::delay(const QString &route, int delayMs, int count)
{
    faultRaw(
        {{QStringLiteral("route"), route}, {QStringLiteral("delay_ms"), delayMs}, {QStringLiteral("count"), count}});
}

void signIn(SessionStore &store, const QString &key)
{
    runTask(store.connect(key));
    QVERIFY(store.state().isConnected());
}

QCoro::Task<bool> reportUsage(SessionStore &store, const QString &filename)
{
    return store.reportUsage(store.accessToken(), QStringLiteral("normalise-14"), 1, 5000000000, filename);
}

} // namespace hoplin::test
