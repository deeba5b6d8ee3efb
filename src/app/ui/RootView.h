#pragma once

#include "app/AppTab.h"

#include <QUrl>
#include <QWidget>
#include <QCoro/QCoroTask>
#include <optional>

class QBoxLayout;
class QButtonGroup;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace hoplin {

class ConnectionPill;
class DropRouter;
class SessionStore;
class SignInPopover;
class UpdateManager;
class UpdateSheet;

// The content of the main window: the tab bar with the build tag and the connection controls,
// and below it the four pages. All pages are made once and stay alive, stacked, so a hidden page
// keeps its state (loaded web page, running queue).
class RootView : public QWidget {
    Q_OBJECT
public:
    explicit RootView(SessionStore &store, QWidget *parent = nullptr);
    ~RootView() override;

    AppTab selected() const { return m_selected; }
    bool isSelected(AppTab tab) const { return m_selected == tab; }
    void select(AppTab tab);

    // Puts `page` into the tab's slot in place of what was there, taking ownership. While
    // "skipWebTabs" is on the web-tab slots stay empty: the page is refused (false, still owned
    // by the caller).
    bool setPage(AppTab tab, QWidget *page);
    QWidget *page(AppTab tab) const;

    // Whether the Correction and Cinema pages are made at all ("skipWebTabs" off).
    static bool webTabsEnabled();
    // The address the web tab opens: the Correction page follows the "baseURL" setting, the
    // Cinema page always the built-in origin. None for the other tabs or an unusable address.
    static std::optional<QUrl> pageAddress(AppTab tab);

    // Where the update button goes: between the build tag's separator and the connection pill.
    void setUpdateButton(QWidget *button);

    // Files opened from outside (the desktop, another launch) go where a drop on the window
    // would: to the web tabs through the drop router, or to the Analysis page while it shows.
    void openFiles(const QList<QUrl> &files);

    std::optional<QString> serverBuild() const { return m_serverBuild; }
    bool isSignInShown() const;

signals:
    // Pages connect here to learn whether they are the visible one.
    void selectedChanged(AppTab tab);
    void serverBuildChanged();
    // The window became visible (not a restore from minimised).
    void appeared();

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QWidget *buildTabBar();
    QWidget *makePlaceholder(AppTab tab) const;
    void syncDropRouter(AppTab tab);
    void updateConnection();
    void updateBuildTag();
    void togglePopover();
    void signIn();
    void signOut();
    void signInFromLaunchSwitch();
    QCoro::Task<> runSignIn(QString key);
    void fetchServerBuild();
    QCoro::Task<> runFetchServerBuild();
    // When first shown: sign in with the remembered key, the scheduled update check, the server
    // build, then the launch switches of the release notes and the updater.
    QCoro::Task<> runLaunchTask();
    void presentUpdateSheet(bool show);

    SessionStore &m_store;
    DropRouter &m_router;
    const bool m_webTabs;
    AppTab m_selected;
    std::optional<QString> m_serverBuild;

    QButtonGroup *m_tabs = nullptr;
    QBoxLayout *m_barLayout = nullptr;
    QLabel *m_buildTag = nullptr;
    ConnectionPill *m_pill = nullptr;
    QPushButton *m_signOut = nullptr;
    SignInPopover *m_popover = nullptr;
    QStackedWidget *m_pages = nullptr;
    UpdateManager &m_updater;
    UpdateSheet *m_updateSheet = nullptr;
    bool m_launched = false;
};

} // namespace hoplin
