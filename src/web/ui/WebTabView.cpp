#include "WebTabView.h"

#include "DropBridge.h"
#include "HoplinWebView.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "platform/ui/Desktop.h"
#include "service/Async.h"
#include "service/SessionStore.h"
#include "web/DropRouter.h"
#include "web/WebPolicy.h"
#include "web/WebScripts.h"

#include <QDir>
#include <QFileInfo>
#include <QWebEngineHttpRequest>
#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

namespace hoplin {

namespace {

void log(const QString &category, const QString &message)
{
    DiagnosticsLogger::shared().log(category, message);
}

QString settingString(const char *key)
{
    return Settings::shared().string(QString::fromLatin1(key));
}

QWebEngineScript userScript(const QString &name, const QString &source, QWebEngineScript::InjectionPoint point,
                            bool subFrames = false)
{
    QWebEngineScript script;
    script.setName(name);
    script.setSourceCode(source);
    script.setInjectionPoint(point);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(subFrames);
    return script;
}

std::chrono::milliseconds g_firstLoadTimeout = std::chrono::seconds(60);

QString originText(const QUrl &url)
{
    if (url.isLocalFile())
        return QStringLiteral("file://");
    return url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
        .toString();
}

} // namespace

void NativeMessages::post(const QString &name, const QVariant &body, bool main, const QString &frameOrigin)
{
    emit received(name, body, main, frameOrigin);
}

WebTabView::WebTabView(SessionStore &store, const QUrl &url, bool isCorrection, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_url(url)
    , m_isCorrection(isCorrection)
{
    setObjectName(isCorrection ? QStringLiteral("correctionTab") : QStringLiteral("cinemaTab"));
    m_view = new HoplinWebView(this);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);

    HoplinWebPage *page = m_view->hoplinPage();
    m_messages = new NativeMessages(this);
    m_channel = new QWebChannel(this);
    m_channel->registerObject(QStringLiteral("hoplinNative"), m_messages);
    page->setWebChannel(m_channel, QWebEngineScript::MainWorld);
    connect(m_messages, &NativeMessages::received, this, &WebTabView::handleMessage);
    installScripts();

    m_firstLoad = new QTimer(this);
    m_firstLoad->setSingleShot(true);
    connect(m_firstLoad, &QTimer::timeout, this, &WebTabView::firstLoadTimedOut);
    connect(page, &QWebEnginePage::loadingChanged, this, &WebTabView::loadingChanged);
    connect(page->profile(), &QWebEngineProfile::downloadRequested, this, &WebTabView::download);
    connect(&m_store, &SessionStore::sessionChanged, this, &WebTabView::pushNativeSession);

    m_drop = new DropBridge(m_view, this);
    m_drop->registerWithRouter(isCorrection);
    loadStartPage();
}

WebTabView::~WebTabView()
{
    m_drop->unregisterFromRouter(m_isCorrection);
}

void WebTabView::installScripts()
{
    QFile library(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    library.open(QIODevice::ReadOnly);
    const QString channelLibrary = QString::fromUtf8(library.readAll());
    QWebEngineScriptCollection &scripts = m_view->page()->scripts();
    // Order matters: the handlers exist before the scripts that post to them run.
    scripts.insert(userScript(QStringLiteral("hoplin-handlers"),
                              web::scripts::messageHandlers(channelLibrary, QStringLiteral("hoplinNative")),
                              QWebEngineScript::DocumentCreation, true));
    scripts.insert(userScript(QStringLiteral("hoplin-console"), web::scripts::consoleBridge(),
                              QWebEngineScript::DocumentCreation));
    scripts.insert(userScript(QStringLiteral("hoplin-session"), web::scripts::sessionWatcher(web::expectedOrigin()),
                              QWebEngineScript::DocumentCreation));
    scripts.insert(userScript(QStringLiteral("hoplin-embed"), web::scripts::embedStyle(), QWebEngineScript::DocumentReady));
}

void WebTabView::loadStartPage()
{
    QUrl start = m_url;
    const QString configured = settingString(keys::openURL).trimmed();
    if (!configured.isEmpty()) {
        const QUrl url(configured, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty())
            start = url;
    }
    // The engine never gives up on a server that accepts and then says nothing.
    m_firstLoad->start(g_firstLoadTimeout);
    QWebEngineHttpRequest request(start);
    m_view->page()->load(request);
}

void WebTabView::setFirstLoadTimeout(std::chrono::milliseconds timeout)
{
    g_firstLoadTimeout = timeout;
}

void WebTabView::firstLoadTimedOut()
{
    const QUrl url = m_view->page()->requestedUrl();
    const QString seconds =
        QString::number(std::chrono::duration_cast<std::chrono::seconds>(m_firstLoad->intervalAsDuration()).count());
    log(QStringLiteral("web"), QStringLiteral("start page did not load within %1 s: %2").arg(seconds, url.toString()));
    m_view->page()->triggerAction(QWebEnginePage::Stop);
    const QString html = QStringLiteral("<!doctype html><meta charset=\"utf-8\">"
                                        "<body style=\"font:14px system-ui,sans-serif;margin:48px\">"
                                        "<h2>The page did not load</h2><p>%1 did not answer within %2 seconds.</p>"
                                        "<p><a href=\"%3\">Try again</a></p></body>")
                             .arg(url.host().toHtmlEscaped(), seconds,
                                  QString::fromUtf8(url.toEncoded()).toHtmlEscaped());
    m_view->hoplinPage()->showErrorPage(html);
}

void WebTabView::setActive(bool active)
{
    if (m_isCorrection)
        DropRouter::shared().setCorrectionActive(active);
    pushNativeSession();
}

void WebTabView::handleMessage(const QString &name, const QVariant &body, bool main, const QString &frameOrigin)
{
    // The channel cannot name the sender: only the main frame of an approved page gets through.
    const QUrl pageUrl = m_view->page()->url();
    if (!main || !web::isApprovedSecurityOrigin(pageUrl)) {
        const QString origin = main ? originText(pageUrl) : frameOrigin;
        log(QStringLiteral("web"), QStringLiteral("rejected native message '%1' from %2 main=%3")
                                       .arg(name, origin, main ? QStringLiteral("true") : QStringLiteral("false")));
        return;
    }
    if (name == u"hoplinLog") {
        const QString text = body.typeId() == QMetaType::QString
                                 ? body.toString()
                                 : QString::fromUtf8(QJsonDocument::fromVariant(body).toJson(QJsonDocument::Compact));
        log(QStringLiteral("page"), web::clipPageLog(text));
    } else if (name == u"hoplinSession") {
        adopt(body);
    }
}

void WebTabView::adopt(const QVariant &body)
{
    detach(m_store.handleWebUpdate(body), QStringLiteral("session"), QStringLiteral("web session update"));
}

void WebTabView::pageFinished()
{
    const QUrl url = m_view->page()->url();
    log(QStringLiteral("web"), QStringLiteral("didFinish ") + (url.isEmpty() ? QStringLiteral("?") : url.toString()));
    // A local page may show, but it neither hands the app a session nor receives one.
    if (web::isApprovedSecurityOrigin(url)) {
        QPointer self(this);
        m_view->page()->runJavaScript(QString::fromLatin1(web::scripts::readSession), [self](const QVariant &value) {
            if (self && value.typeId() == QMetaType::QString)
                self->adopt(value);
        });
    }
    injectWebConnectKeyIfNeeded();
    m_drop->injectSimulatedDropIfNeeded();
    pushNativeSession();
    QTimer::singleShot(2000, this, &WebTabView::pushNativeSession);
    m_drop->startDiagnostics();
    clickChooserIfAsked();
    emit pageLoaded(url);
}

void WebTabView::loadingChanged(const QWebEngineLoadingInfo &info)
{
    if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
        m_drop->invalidatePendingDrop();
        return;
    }
    m_firstLoad->stop();
    // Only the error page of a start page that never answered comes from data: here.
    if (info.url().scheme() == u"data")
        return;
    const bool httpError = info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain && info.errorCode() >= 400;
    if (httpError) {
        const QUrl url = m_view->page()->url();
        log(QStringLiteral("web"), QStringLiteral("navigation error %1 for %2")
                                       .arg(info.errorCode())
                                       .arg(url.isEmpty() ? QStringLiteral("?") : url.toString()));
    }
    // A page that came with an error status is shown and has finished loading like any other;
    // the engine's own error pages (empty error answers, network failures) are not the service's.
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus ||
        (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && httpError && !info.isErrorPage()))
        pageFinished();
}

void WebTabView::pushNativeSession()
{
    const QUrl url = m_view->page()->url();
    if (!web::isApprovedSecurityOrigin(url))
        return;
    const std::optional<QString> payload = m_store.webSessionPayload();
    if (m_pushing) {
        // The push under way is checked against the store again when it completes.
        return;
    }
    if (payload == m_lastInjectedToken)
        return;
    m_pushing = payload;
    const QString script = payload ? web::scripts::setSession(*payload) : web::scripts::removeSession();
    QPointer self(this);
    m_view->page()->runJavaScript(script, [self, payload](const QVariant &result) {
        if (!self)
            return;
        self->m_pushing.reset();
        if (result.typeId() != QMetaType::Bool) {
            // The page went away or the script could not run: the next push tries again.
            log(QStringLiteral("web"), QStringLiteral("session injection failed: the page did not run the script"));
            return;
        }
        self->m_lastInjectedToken = payload;
        // The store may have changed while the page was writing.
        self->pushNativeSession();
    });
}

void WebTabView::injectWebConnectKeyIfNeeded()
{
    if (m_didInjectWebConnectKey)
        return;
    const QString key = settingString(keys::webConnectKey).trimmed();
    if (key.isEmpty())
        return;
    m_didInjectWebConnectKey = true;
    m_view->page()->runJavaScript(web::scripts::fillConnectKey(key));
}

void WebTabView::clickChooserIfAsked()
{
    const QString choose = settingString(keys::clickChoose);
    if (choose.isEmpty() || m_didInjectPickerClick)
        return;
    m_didInjectPickerClick = true;
    m_view->page()->runJavaScript(web::scripts::clickChooser(choose.toLower().contains(u"folder")));
}

void WebTabView::download(QWebEngineDownloadRequest *download)
{
    if (download->page() != m_view->page())
        return;
    const QString folder = platform::downloadsDirectory();
    if (!folder.isEmpty())
        QDir().mkpath(folder);
    const QString destination = web::downloadDestination(folder, download->suggestedFileName());
    if (destination.isEmpty()) {
        download->cancel();
        return;
    }
    const QFileInfo target(destination);
    download->setDownloadDirectory(target.absolutePath());
    download->setDownloadFileName(target.fileName());
    const QString source = download->url().fileName();
    connect(download, &QWebEngineDownloadRequest::isFinishedChanged, this, [download, source] {
        if (download->state() == QWebEngineDownloadRequest::DownloadCompleted) {
            // Whatever a page sends is data: nothing it saves may run with a double click.
            const QString path = QDir(download->downloadDirectory()).filePath(download->downloadFileName());
            const auto runnable = QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
            QFile::setPermissions(path, QFile::permissions(path) & ~runnable);
            log(QStringLiteral("download"), QStringLiteral("finished: ") + (source.isEmpty() ? QStringLiteral("?") : source));
        } else if (download->state() == QWebEngineDownloadRequest::DownloadInterrupted) {
            const QString reason = download->interruptReasonString();
            log(QStringLiteral("download"), QStringLiteral("failed: ") + reason);
            desktop::notify(QStringLiteral("Hoplin download failed"), reason);
        }
    });
    download->accept();
}

} // namespace hoplin
