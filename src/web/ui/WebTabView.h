#pragma once

#include <QUrl>
#include <QVariant>
#include <QWidget>
#include <chrono>
#include <optional>

class QTimer;
class QWebChannel;
class QWebEngineDownloadRequest;
class QWebEngineLoadingInfo;

namespace hoplin {

class DropBridge;
class HoplinWebView;
class SessionStore;

// The object the page's window.webkit.messageHandlers talk to over the web channel. The channel
// does not say who sent a call, so the tab re-checks the page's address on every one.
class NativeMessages : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // `main` is false for a sub-frame that reported an attempt; `frameOrigin` is then its origin.
    Q_INVOKABLE void post(const QString &name, const QVariant &body, bool main, const QString &frameOrigin);
signals:
    void received(const QString &name, const QVariant &body, bool main, const QString &frameOrigin);
};

// One web tab (Correction or Cinema): a web view on the service's page, signed in with the app's
// session and handing a session the page signs in with to the app. It owns the drop bridge that
// brings files dropped on the window into the page.
class WebTabView : public QWidget {
    Q_OBJECT
public:
    WebTabView(SessionStore &store, const QUrl &url, bool isCorrection, QWidget *parent = nullptr);
    ~WebTabView() override;

    HoplinWebView *webView() const { return m_view; }
    DropBridge *dropBridge() const { return m_drop; }
    bool isCorrection() const { return m_isCorrection; }

    // Whether the tab is the selected one; the Correction tab tells the drop router.
    void setActive(bool active);

    // Writes the app's session into the page when it changed, or removes it after a sign-out.
    void pushNativeSession();
    // The session payload last written into the page; none after a removal.
    std::optional<QString> lastInjectedToken() const { return m_lastInjectedToken; }

    // How long the start page may take before the tab shows its error page (tests shorten it).
    static void setFirstLoadTimeout(std::chrono::milliseconds timeout);

signals:
    // The page at this address finished loading (after the session was read and pushed).
    void pageLoaded(const QUrl &url);

private:
    void installScripts();
    void loadStartPage();
    void handleMessage(const QString &name, const QVariant &body, bool main, const QString &frameOrigin);
    void adopt(const QVariant &body);
    void pageFinished();
    void loadingChanged(const QWebEngineLoadingInfo &info);
    void firstLoadTimedOut();
    void injectWebConnectKeyIfNeeded();
    void clickChooserIfAsked();
    void download(QWebEngineDownloadRequest *download);

    SessionStore &m_store;
    const QUrl m_url;
    const bool m_isCorrection;
    HoplinWebView *m_view = nullptr;
    QWebChannel *m_channel = nullptr;
    NativeMessages *m_messages = nullptr;
    DropBridge *m_drop = nullptr;
    QTimer *m_firstLoad = nullptr;

    std::optional<QString> m_lastInjectedToken;
    // The push under way (its payload, or none for a removal), so a burst of store changes
    // writes the page once.
    std::optional<std::optional<QString>> m_pushing;
    bool m_didInjectWebConnectKey = false;
    bool m_didInjectPickerClick = false;
};

} // namespace hoplin
