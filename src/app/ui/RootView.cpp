#include "platform/ui/Desktop.h"
#include "RootView.h"

#include "ConnectionPill.h"
#include "SignInPopover.h"
#include "TabButton.h"
#include "ui/Theme.h"
#include "analysis/ui/AnalysisView.h"
#include "convert/Preferences.h"
#include "convert/ui/ConvertPage.h"
#include "Application.h"
#include "PreferencesView.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "service/Async.h"
#include "service/KeychainStore.h"
#include "service/SessionStore.h"
#include "update/UpdateManager.h"
#include "update/ui/UpdateSheet.h"
#include "version.h"
#include "web/DropRouter.h"
#include "web/ui/WebTabView.h"

#include <QButtonGroup>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace hoplin {

namespace {

void log(const QString &category, const QString &message)
{
    DiagnosticsLogger::shared().log(category, message);
}

QFrame *separator(Qt::Orientation orientation, QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::NoFrame);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, Hoplin::line);
    line->setPalette(palette);
    if (orientation == Qt::Horizontal)
        line->setFixedHeight(1);
    else
        line->setFixedSize(1, 16);
    return line;
}

} // namespace

RootView::RootView(SessionStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_router(DropRouter::shared())
    , m_webTabs(webTabsEnabled())
    , m_selected(tabFromSetting(Settings::shared().string(QString::fromLatin1(keys::tab))))
    , m_updater(UpdateManager::shared())
{
    setObjectName(QStringLiteral("rootView"));
    setMinimumSize(1020, 680);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Hoplin::bg);
    setPalette(palette);
    setAcceptDrops(true);

    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("pages"));
    for (AppTab tab : kAllTabs)
        m_pages->addWidget(makePlaceholder(tab));
    m_pages->setCurrentIndex(int(m_selected));
    auto *convert = new ConvertPage(m_store);
    setPage(AppTab::Convert, convert);
    convert->setActive(m_selected == AppTab::Convert);
    connect(this, &RootView::selectedChanged, convert, [convert](AppTab tab) { convert->setActive(tab == AppTab::Convert); });
    // The page's first appearance (ffmpeg check, install prompt, launch automation) belongs to the
    // window's, whichever tab it opens on.
    connect(this, &RootView::appeared, convert, &ConvertPage::appear);
    connect(convert, &ConvertPage::preferencesRequested, this, [] { showPreferencesWindow(); });
    // An FFmpeg installed from Preferences ends the page's "FFmpeg is required" card at once.
    connect(&PreferencesWindowController::shared(), &PreferencesWindowController::ffmpegInstalled, convert,
            &ConvertPage::recheckFFmpeg);
    auto *analysis = new AnalysisView(m_store);
    setPage(AppTab::AudioInfo, analysis);
    analysis->setActive(m_selected == AppTab::AudioInfo);
    connect(this, &RootView::selectedChanged, analysis, [analysis](AppTab tab) { analysis->setActive(tab == AppTab::AudioInfo); });
    connect(analysis, &AnalysisView::preferencesRequested, this, [] { showPreferencesWindow(); });
    for (AppTab tab : {AppTab::Analysis, AppTab::Cinema}) {
        const std::optional<QUrl> address = pageAddress(tab);
        if (!m_webTabs || !address)
            continue;
        auto *web = new WebTabView(m_store, *address, tab == AppTab::Analysis);
        setPage(tab, web);
        web->setActive(m_selected == tab);
        connect(this, &RootView::selectedChanged, web, [web, tab](AppTab selected) { web->setActive(selected == tab); });
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildTabBar());
    layout->addWidget(separator(Qt::Horizontal, this));
    layout->addWidget(m_pages, 1);

    m_popover = new SignInPopover(this);
    m_popover->hide();
    connect(m_popover, &SignInPopover::submitted, this, &RootView::signIn);

    // The router hears about the tab at once (quietly); the logged sync follows when shown.
    m_router.setWebTabActive(isWebTab(m_selected) && m_webTabs);
    m_router.setCorrectionActive(m_selected == AppTab::Analysis);

    connect(&m_store, &SessionStore::stateChanged, this, &RootView::updateConnection);
    connect(&m_store, &SessionStore::pendingUsageCountChanged, this, &RootView::updateConnection);
    updateConnection();
    updateBuildTag();

    setUpdateButton(new UpdateButton(m_updater, this));
    connect(&m_updater, &UpdateManager::showSheetChanged, this, &RootView::presentUpdateSheet);
}

RootView::~RootView() = default;

QWidget *RootView::buildTabBar()
{
    auto *bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("tabBar"));
    bar->setAutoFillBackground(true);
    QPalette palette = bar->palette();
    palette.setColor(QPalette::Window, Hoplin::card);
    bar->setPalette(palette);

    m_barLayout = new QHBoxLayout(bar);
    m_barLayout->setContentsMargins(8, 0, 14, 0);
    m_barLayout->setSpacing(0);

    m_tabs = new QButtonGroup(this);
    m_tabs->setExclusive(true);
    for (AppTab tab : kAllTabs) {
        auto *button = new TabButton(tabTitle(tab), bar);
        button->setObjectName(QStringLiteral("tab") + tabTitle(tab));
        button->setChecked(tab == m_selected);
        m_tabs->addButton(button, int(tab));
        m_barLayout->addWidget(button, 0, Qt::AlignBottom);
    }
    connect(m_tabs, &QButtonGroup::idClicked, this, [this](int id) { select(AppTab(id)); });

    m_barLayout->addStretch(1);

    m_buildTag = new QLabel(bar);
    m_buildTag->setObjectName(QStringLiteral("buildTag"));
    QFont tagFont = theme::font(10, QFont::DemiBold);
    tagFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    m_buildTag->setFont(tagFont);
    QPalette tagPalette = m_buildTag->palette();
    tagPalette.setColor(QPalette::WindowText, Hoplin::muted);
    m_buildTag->setPalette(tagPalette);
    m_buildTag->setTextFormat(Qt::PlainText); // shows the service's build text
    m_buildTag->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_barLayout->addWidget(m_buildTag);
    m_barLayout->addSpacing(12);
    m_barLayout->addWidget(separator(Qt::Vertical, bar));
    m_barLayout->addSpacing(12);

    m_pill = new ConnectionPill(bar);
    connect(m_pill, &ConnectionPill::clicked, this, &RootView::togglePopover);
    m_barLayout->addWidget(m_pill);

    m_signOut = new QPushButton(QStringLiteral("Sign out"), bar);
    m_signOut->setObjectName(QStringLiteral("signOutButton"));
    m_signOut->setFlat(true);
    m_signOut->setCursor(Qt::PointingHandCursor);
    m_signOut->setFont(theme::font(12));
    m_signOut->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 4px 2px 4px 10px; }"
                                            "QPushButton:hover { color: %2; }")
                                 .arg(Hoplin::muted.name(), Hoplin::ink.name()));
    connect(m_signOut, &QPushButton::clicked, this, &RootView::signOut);
    m_barLayout->addWidget(m_signOut);
    return bar;
}

QWidget *RootView::makePlaceholder(AppTab tab) const
{
    auto *placeholder = new QWidget();
    placeholder->setObjectName(QStringLiteral("placeholder") + tabTitle(tab));
    // Web tabs that are switched off, or whose address is unusable, leave their slot empty.
    if (isWebTab(tab) && (!m_webTabs || !pageAddress(tab)))
        return placeholder;

    auto *title = new QLabel(tabTitle(tab), placeholder);
    title->setObjectName(QStringLiteral("placeholderTitle"));
    title->setFont(theme::font(22, QFont::Bold));
    title->setAlignment(Qt::AlignCenter);
    auto *detail = new QLabel(placeholder);
    detail->setFont(theme::font(13));
    detail->setAlignment(Qt::AlignCenter);
    QPalette palette = detail->palette();
    palette.setColor(QPalette::WindowText, Hoplin::muted);
    detail->setPalette(palette);
    if (const auto address = pageAddress(tab))
        detail->setText(address->toDisplayString());

    auto *layout = new QVBoxLayout(placeholder);
    layout->addStretch(1);
    layout->addWidget(title);
    layout->addWidget(detail);
    layout->addStretch(1);
    return placeholder;
}

bool RootView::webTabsEnabled()
{
    return !Settings::shared().boolean(QString::fromLatin1(keys::skipWebTabs));
}

std::optional<QUrl> RootView::pageAddress(AppTab tab)
{
    QUrl url;
    if (tab == AppTab::Analysis) {
        url = APIClient::endpoint(QStringLiteral("correction"));
    } else if (tab == AppTab::Cinema) {
        // The chosen service's own Cinema page: the pages are approved by that origin.
        url = APIClient::baseURL().adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
        url.setPath(QStringLiteral("/cinema"));
    } else {
        return std::nullopt;
    }
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

bool RootView::setPage(AppTab tab, QWidget *page)
{
    if (!page || (isWebTab(tab) && !m_webTabs))
        return false;
    const int index = int(tab);
    QWidget *old = m_pages->widget(index);
    m_pages->insertWidget(index, page);
    m_pages->removeWidget(old);
    delete old;
    m_pages->setCurrentIndex(int(m_selected));
    return true;
}

QWidget *RootView::page(AppTab tab) const
{
    return m_pages->widget(int(tab));
}

void RootView::setUpdateButton(QWidget *button)
{
    // Just before the connection pill.
    m_barLayout->insertWidget(m_barLayout->indexOf(m_pill), button);
    m_barLayout->insertSpacing(m_barLayout->indexOf(m_pill), 10);
}

bool RootView::isSignInShown() const
{
    return m_popover->isVisible();
}

void RootView::select(AppTab tab)
{
    if (QAbstractButton *button = m_tabs->button(int(tab)))
        button->setChecked(true);
    if (tab == m_selected)
        return;
    m_selected = tab;
    m_pages->setCurrentIndex(int(tab));
    syncDropRouter(tab);
    emit selectedChanged(tab);
}

void RootView::syncDropRouter(AppTab tab)
{
    log(QStringLiteral("ui"), QStringLiteral("tab switched to ") + tabTitle(tab));
    m_router.setWebTabActive(isWebTab(tab) && m_webTabs);
    m_router.setCorrectionActive(tab == AppTab::Analysis);
}

void RootView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A window restored from the minimised state is not a new appearance.
    if (event->spontaneous())
        return;
    syncDropRouter(m_selected);
    if (!m_launched) {
        m_launched = true;
        signInFromLaunchSwitch();
        detach(runLaunchTask(), QStringLiteral("app"), QStringLiteral("launch task"));
    } else {
        fetchServerBuild();
    }
    emit appeared();
}

QCoro::Task<> RootView::runLaunchTask()
{
    QPointer self(this);
    if (m_store.state().kind() == ConnectionState::Kind::Disconnected) {
        // The keyring may take its time: never on the main thread.
        auto load = [] { return KeychainStore::load(); };
        const std::optional<QString> key = co_await runInBackground(std::move(load));
        if (!self)
            co_return;
        // Trimmed as Preferences and the sign-in popover trim: a key stored from a shell often
        // ends in a line break.
        const QString trimmed = key.value_or(QString()).trimmed();
        if (!trimmed.isEmpty() && m_store.state().kind() == ConnectionState::Kind::Disconnected) {
            auto connecting = m_store.connect(trimmed);
            co_await std::move(connecting);
            if (!self)
                co_return;
        }
    }
    m_updater.autoCheck();
    fetchServerBuild();

    Settings &settings = Settings::shared();
    if (settings.boolean(QString::fromLatin1(keys::showReleaseNotes)))
        showReleaseNotesWindow();
    const bool showUpdates = settings.boolean(QString::fromLatin1(keys::showUpdates));
    const bool autoUpdate = settings.boolean(QString::fromLatin1(keys::autoUpdate));
    if (showUpdates)
        m_updater.setShowSheet(true);
    if (!showUpdates && !autoUpdate)
        co_return;
    auto checking = m_updater.check();
    const Phase outcome = co_await std::move(checking);
    if (!self || !autoUpdate || outcome.kind != Phase::Kind::Available)
        co_return;
    auto downloading = m_updater.download(*outcome.manifest);
    co_await std::move(downloading);
    if (!self)
        co_return;
    const Phase downloaded = m_updater.phase();
    if (settings.boolean(QString::fromLatin1(keys::autoInstall)) && downloaded.kind == Phase::Kind::Downloaded)
        m_updater.installAndRelaunch(*downloaded.manifest, downloaded.path);
}

void RootView::presentUpdateSheet(bool show)
{
    if (!show) {
        if (m_updateSheet)
            m_updateSheet->hide();
        return;
    }
    if (!m_updateSheet)
        m_updateSheet = new UpdateSheet(m_updater, this);
    m_updateSheet->open();
}

void RootView::signInFromLaunchSwitch()
{
    // The one place that honours "connectKey"; the pages only watch the connection.
    const QString key = Settings::shared().string(QString::fromLatin1(keys::connectKey));
    if (!Preferences::trimSpacesAndTabs(key).isEmpty())
        detach(m_store.connect(key), QStringLiteral("session"), QStringLiteral("connectKey sign-in"));
}

void RootView::updateConnection()
{
    const ConnectionState state = m_store.state();
    m_pill->setState(state, m_store.pendingUsageCount());
    m_signOut->setVisible(state.isConnected());
    m_popover->setState(state);
}

void RootView::updateBuildTag()
{
    QString text = QStringLiteral("%1 (%2)").arg(QLatin1String(version::kVersion), QString::number(version::kBuild));
    if (m_serverBuild)
        text += QStringLiteral(" · Server ") + *m_serverBuild;
    m_buildTag->setText(text.toUpper());
}

void RootView::togglePopover()
{
    if (m_store.state().isConnected())
        return;
    // An open panel never sees this click: the press on the pill, outside the popup, closed it
    // and Qt does not pass that press on.
    if (m_popover->isVisible()) {
        m_popover->hide();
        return;
    }
    m_popover->setState(m_store.state());
    m_popover->popUp(m_pill);
}

void RootView::signIn()
{
    const QString key = m_popover->key().trimmed();
    if (key.isEmpty())
        return;
    detach(runSignIn(key), QStringLiteral("session"), QStringLiteral("sign in"));
}

QCoro::Task<> RootView::runSignIn(QString key)
{
    QPointer self(this);
    co_await m_store.connect(key);
    if (!self)
        co_return;
    // On failure the panel stays open and shows the store's message.
    if (m_store.state().isConnected()) {
        m_popover->clearKey();
        m_popover->hide();
    }
}

void RootView::signOut()
{
    detach(m_store.signOut(), QStringLiteral("session"), QStringLiteral("sign out"));
}

void RootView::fetchServerBuild()
{
    detach(runFetchServerBuild(), QStringLiteral("api"), QStringLiteral("health (server build)"));
}

QCoro::Task<> RootView::runFetchServerBuild()
{
    QPointer self(this);
    std::optional<APIResponse> response;
    QString failure;
    try {
        response = co_await APIClient::request(QStringLiteral("health"), "GET");
    } catch (const Error &error) {
        failure = error.description();
    }
    if (!self)
        co_return;
    if (!response) {
        log(QStringLiteral("api"), QStringLiteral("health (server build) unavailable: ") + failure);
        co_return;
    }
    if (response->status != 200)
        co_return;
    const QJsonValue version = QJsonDocument::fromJson(response->body).object().value(QStringLiteral("version"));
    if (!version.isString() || version.toString().isEmpty())
        co_return;
    m_serverBuild = version.toString();
    updateBuildTag();
    emit serverBuildChanged();
}

void RootView::dragEnterEvent(QDragEnterEvent *event)
{
    // Drops that no page took: only meaningful while a web tab is showing.
    if (m_router.webTabActive() && !desktop::localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void RootView::dragMoveEvent(QDragMoveEvent *event)
{
    if (m_router.webTabActive() && !desktop::localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void RootView::openFiles(const QList<QUrl> &files)
{
    if (files.isEmpty())
        return;
    log(QStringLiteral("drop"), QStringLiteral("%1 file(s) opened from outside on the %2 tab")
                                    .arg(files.size())
                                    .arg(tabTitle(m_selected)));
    // The Analysis page takes any audio files as its own drop; the Convert page only on a card,
    // which an opened file has not chosen.
    if (auto *analysis = qobject_cast<AnalysisView *>(page(AppTab::AudioInfo)); analysis && isSelected(AppTab::AudioInfo))
        analysis->handleDrop(files);
    else if (const auto taken = m_router.dropOnPage(false, files); taken == DropRouter::PageDrop::Refused)
        log(QStringLiteral("drop"), QStringLiteral("opened files not taken: the Convert tab takes files on its cards"));
}

void RootView::dropEvent(QDropEvent *event)
{
    const QList<QUrl> files = desktop::localFiles(event->mimeData());
    if (m_router.dropOnPage(false, files) != DropRouter::PageDrop::Forwarded)
        return;
    log(QStringLiteral("drop"), QStringLiteral("window drop of %1 file(s) handed to the web tabs").arg(files.size()));
    event->acceptProposedAction();
}

} // namespace hoplin
