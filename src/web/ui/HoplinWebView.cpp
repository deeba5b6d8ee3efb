#include "HoplinWebView.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "platform/ui/Desktop.h"
#include "web/WebPolicy.h"
#include "web/WebScripts.h"

#include <QApplication>
#include <QChildEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace hoplin {

namespace {

void log(const QString &category, const QString &message)
{
    DiagnosticsLogger::shared().log(category, message);
}

} // namespace

QWebEngineProfile *webProfile()
{
    static QPointer<QWebEngineProfile> profile;
    if (!profile) {
        profile = new QWebEngineProfile(QStringLiteral("Hoplin"), qApp);
        const QString root = platform::appDataDirectory() + QStringLiteral("/WebEngine");
        profile->setPersistentStoragePath(root + QStringLiteral("/Storage"));
        profile->setCachePath(root + QStringLiteral("/Cache"));
        profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
        profile->setHttpUserAgent(QStringLiteral("HoplinDesktop/1.0 (Safari WebView)"));
        QWebEngineSettings *settings = profile->settings();
        settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
        settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    }
    return profile;
}

HoplinWebPage::HoplinWebPage(QObject *parent)
    : QWebEnginePage(webProfile(), parent)
    , openExternally([](const QUrl &url) { desktop::openInBrowser(url); })
{
    connect(this, &QWebEnginePage::newWindowRequested, this, &HoplinWebPage::handleNewWindow);
}

bool HoplinWebPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (m_errorPagePending && isMainFrame && url.scheme() == u"data") {
        m_errorPagePending = false;
        return true;
    }
    if (web::isInertAddress(url) || web::isApprovedPage(url))
        return true;
    if (type == NavigationTypeLinkClicked && hadRecentUserInput() && web::opensInBrowser(url)) {
        if (openExternally)
            openExternally(url);
        return false;
    }
    log(QStringLiteral("web"), QStringLiteral("blocked navigation (%1) to %2").arg(int(type)).arg(url.toString()));
    return false;
}

void HoplinWebPage::showErrorPage(const QString &html)
{
    m_errorPagePending = true;
    setHtml(html);
}

void HoplinWebPage::handleNewWindow(QWebEngineNewWindowRequest &request)
{
    // No second window: an approved page opens here, a clicked foreign one in the browser.
    const QUrl url = request.requestedUrl();
    if (web::isApprovedSecurityOrigin(url)) {
        setUrl(url);
    } else if (request.isUserInitiated() && hadRecentUserInput() && web::opensInBrowser(url)) {
        if (openExternally)
            openExternally(url);
    } else {
        log(QStringLiteral("web"),
            QStringLiteral("blocked navigation (%1) to %2").arg(int(NavigationTypeOther)).arg(url.toString()));
    }
}

QStringList HoplinWebPage::chooseFiles(FileSelectionMode mode, const QStringList &oldFiles,
                                       const QStringList &acceptedMimeTypes)
{
    Q_UNUSED(oldFiles);
    if (fileChooser)
        return fileChooser(mode, acceptedMimeTypes);
    return {};
}

HoplinWebView::HoplinWebView(QWidget *parent)
    : QWebEngineView(parent)
{
    m_page = new HoplinWebPage(this);
    setPage(m_page);
    setAcceptDrops(true);
    for (QObject *child : children())
        watchChild(child);
}

HoplinWebView::~HoplinWebView()
{
    // The page goes before the view's internals that it talks to.
    setPage(nullptr);
    delete m_page;
}

bool HoplinWebView::event(QEvent *event)
{
    // The engine's render widget arrives as a child after the first load: its drag events are ours.
    if (event->type() == QEvent::ChildAdded || event->type() == QEvent::ChildPolished)
        watchChild(static_cast<QChildEvent *>(event)->child());
    if (handleDragEvent(event))
        return true;
    return QWebEngineView::event(event);
}

void HoplinWebView::watchChild(QObject *child)
{
    if (auto *widget = qobject_cast<QWidget *>(child)) {
        widget->removeEventFilter(this);
        widget->installEventFilter(this);
        widget->setAcceptDrops(true);
    }
}

bool HoplinWebView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)
        m_page->noteUserInput();
    if (handleDragEvent(event))
        return true;
    return QWebEngineView::eventFilter(watched, event);
}

bool HoplinWebView::handleDragEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter: {
        auto *drag = static_cast<QDragEnterEvent *>(event);
        if (desktop::localFiles(drag->mimeData()).isEmpty())
            return false;
        dragEntered();
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (desktop::localFiles(drag->mimeData()).isEmpty())
            return false;
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::DragLeave:
        dragExited();
        return false;
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QList<QUrl> files = desktop::localFiles(drop->mimeData());
        if (files.isEmpty())
            return false;
        const QPointF windowPoint = mapTo(window(), drop->position().toPoint());
        if (performDrop(files, windowPoint)) {
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
        }
        return true;
    }
    default:
        return false;
    }
}

void HoplinWebView::dragEntered()
{
    web::debugLine(QStringLiteral("WEBVIEW draggingEntered"));
    m_page->runJavaScript(web::scripts::highlightDropArea());
}

void HoplinWebView::dragExited()
{
    web::debugLine(QStringLiteral("WEBVIEW draggingExited"));
    m_page->runJavaScript(web::scripts::unhighlightDropArea());
}

bool HoplinWebView::performDrop(const QList<QUrl> &files, const QPointF &windowPoint)
{
    web::debugLine(QStringLiteral("WEBVIEW performDragOperation files=%1 handler=%2")
                       .arg(files.size())
                       .arg(onFilesDropped ? QStringLiteral("true") : QStringLiteral("false")));
    log(QStringLiteral("drop"), QStringLiteral("performDragOperation files=%1 point=%2,%3")
                                    .arg(files.size())
                                    .arg(int(windowPoint.x()))
                                    .arg(int(windowPoint.y())));
    if (files.isEmpty())
        return false;
    m_page->runJavaScript(web::scripts::unhighlightDropArea());
    if (onFilesDropped)
        onFilesDropped(files, windowPoint);
    return true;
}

} // namespace hoplin
