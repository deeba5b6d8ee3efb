#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointF>
#include <QStringList>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <functional>

class QWebEngineProfile;

namespace hoplin {

// The one persistent browser profile of the web tabs, under the app's data folder: cookies and
// local storage survive restarts; PDFs download; scripts cannot open windows by themselves.
// Created on first use, owned by the application object (so it outlives every page).
QWebEngineProfile *webProfile();

// A web tab's page: keeps navigation on approved pages and answers file choosers through a hook.
class HoplinWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    explicit HoplinWebPage(QObject *parent = nullptr);

    // The view reports each press of a mouse button or key: the engine calls scripted redirects
    // "link clicked" too, so only a navigation right after real input counts as a click.
    void noteUserInput() { m_userInput.start(); }
    bool hadRecentUserInput() const { return m_userInput.isValid() && m_userInput.elapsed() < kUserInputWindowMs; }
    static constexpr qint64 kUserInputWindowMs = 1000;

    // Shows a page of the app's own (static HTML) in place of a page that could not be loaded.
    void showErrorPage(const QString &html);

    // Opens a clicked foreign link; the user's default browser unless a test replaces it.
    std::function<void(const QUrl &)> openExternally;
    // Answers the page's file chooser; empty answer means cancelled.
    std::function<QStringList(FileSelectionMode mode, const QStringList &acceptedMimeTypes)> fileChooser;

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList &oldFiles,
                            const QStringList &acceptedMimeTypes) override;

private:
    void handleNewWindow(QWebEngineNewWindowRequest &request);

    QElapsedTimer m_userInput;
    // The next data: navigation is the error page being shown (the page's own ones are refused).
    bool m_errorPagePending = false;
};

// The web view of both web tabs: native file drops on it are taken from the engine and handed to
// `onFilesDropped` with the drop location in window coordinates.
class HoplinWebView : public QWebEngineView {
    Q_OBJECT
public:
    explicit HoplinWebView(QWidget *parent = nullptr);
    ~HoplinWebView() override;

    HoplinWebPage *hoplinPage() const { return m_page; }

    std::function<void(const QList<QUrl> &files, const QPointF &windowPoint)> onFilesDropped;

    // The drop steps, also reachable without a real drag (tests, developer hooks).
    void dragEntered();
    void dragExited();
    // Returns whether the drop was accepted (at least one file).
    bool performDrop(const QList<QUrl> &files, const QPointF &windowPoint);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;

private:
    void watchChild(QObject *child);
    bool handleDragEvent(QEvent *event);

    HoplinWebPage *m_page = nullptr;
};

} // namespace hoplin
