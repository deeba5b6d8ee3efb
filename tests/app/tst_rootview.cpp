#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "app/ui/ConnectionPill.h"
#include "app/ui/RootView.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"
#include "version.h"
#include "web/DropRouter.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

using namespace hoplin;
using test::LocalServer;

Q_DECLARE_METATYPE(hoplin::AppTab)

namespace {

Settings &settings()
{
    return Settings::shared();
}

template <typename T> T *child(QWidget &root, const QString &name)
{
    T *found = root.findChild<T *>(name);
    if (!found)
        qFatal("no child %s", qPrintable(name));
    return found;
}

QAbstractButton *tabButton(RootView &view, AppTab tab)
{
    return child<QAbstractButton>(view, QStringLiteral("tab") + tabTitle(tab));
}

int kind(const SessionStore &store)
{
    return int(store.state().kind());
}

} // namespace

class TestRootView : public QObject {
    Q_OBJECT

    LocalServer m_server;
    std::unique_ptr<SessionStore> m_store;
    std::unique_ptr<RootView> m_view;

    // A view on the test's store, shown.
    RootView &shownView()
    {
        m_view = std::make_unique<RootView>(*m_store);
        m_view->show();
        if (!QTest::qWaitForWindowExposed(m_view.get()))
            qFatal("root view not exposed");
        return *m_view;
    }

    ConnectionPill *pill() { return child<ConnectionPill>(*m_view, "connectionPill"); }

    void openPopover()
    {
        QTest::mouseClick(pill(), Qt::LeftButton);
        QTRY_VERIFY(m_view->isSignInShown());
    }

    void submitKey(const QString &key)
    {
        auto *field = child<QLineEdit>(*m_view, "clientKeyField");
        field->clear();
        QTest::keyClicks(field, key);
        QTest::keyClick(field, Qt::Key_Return);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        settings().setValue(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
    }

    void init()
    {
        settings().setValue(keys::baseURL, m_server.url().toString());
        settings().remove(keys::tab);
        settings().remove(keys::skipWebTabs);
        settings().remove(keys::connectKey);
        m_server.clearFaults();
        m_server.reset();
        m_store = std::make_unique<SessionStore>();
        DropRouter::shared().setCorrectionHandler({});
        DropRouter::shared().setCinemaHandler({});
    }

    void cleanup()
    {
        m_view.reset();
        m_store.reset();
    }

    // The "tab" setting picks the first tab; a click switches, logs and tells the drop router
    // what is showing.
    void tabsFollowSettingAndClicks_data()
    {
        QTest::addColumn<QVariant>("setting");
        QTest::addColumn<AppTab>("initial");
        QTest::addColumn<AppTab>("target");
        QTest::addColumn<bool>("webTabActive");
        QTest::addColumn<bool>("correctionActive");
        QTest::newRow("no value, to Convert") << QVariant() << AppTab::Analysis << AppTab::Convert << false << false;
        QTest::newRow("convert, to Cinema") << QVariant("convert") << AppTab::Convert << AppTab::Cinema << true
                                            << false;
        QTest::newRow("cinema, to Correction") << QVariant("cinema") << AppTab::Cinema << AppTab::Analysis << true
                                               << true;
        QTest::newRow("MediaInfo in any case") << QVariant("MediaInfo") << AppTab::AudioInfo << AppTab::Cinema << true
                                               << false;
        QTest::newRow("audioanalysis") << QVariant("audioanalysis") << AppTab::AudioInfo << AppTab::Convert << false
                                       << false;
        // The Analysis tab's own title is not one of its names.
        QTest::newRow("analysis") << QVariant("analysis") << AppTab::Analysis << AppTab::Convert << false << false;
        QTest::newRow("surrounding spaces are not trimmed") << QVariant(" convert ") << AppTab::Analysis
                                                            << AppTab::Convert << false << false;
    }
    void tabsFollowSettingAndClicks()
    {
        QFETCH(QVariant, setting);
        QFETCH(AppTab, initial);
        QFETCH(AppTab, target);
        QFETCH(bool, webTabActive);
        QFETCH(bool, correctionActive);
        if (setting.isValid())
            settings().setValue(keys::tab, setting);
        const qsizetype mark = test::logMark();
        RootView &view = shownView();
        QCOMPARE(view.selected(), initial);
        for (AppTab tab : kAllTabs)
            QCOMPARE(tabButton(view, tab)->isChecked(), tab == initial);
        // The first appearance reports the starting tab; reading the setting never writes it back.
        QCOMPARE(test::logMessages("ui", mark), QStringList{"tab switched to " + tabTitle(initial)});
        QCOMPARE(settings().contains(keys::tab), setting.isValid());

        QSignalSpy selected(&view, &RootView::selectedChanged);
        const qsizetype switched = test::logMark();
        QTest::mouseClick(tabButton(view, target), Qt::LeftButton);
        QCOMPARE(selected.count(), 1);
        QCOMPARE(selected.first().first().value<AppTab>(), target);
        QCOMPARE(child<QStackedWidget>(view, "pages")->currentIndex(), int(target));
        QCOMPARE(test::logMessages("ui", switched), QStringList{"tab switched to " + tabTitle(target)});
        QCOMPARE(DropRouter::shared().webTabActive(), webTabActive);
        QCOMPARE(DropRouter::shared().correctionActive(), correctionActive);
        // Clicking the tab that is already selected changes nothing.
        QTest::mouseClick(tabButton(view, target), Qt::LeftButton);
        QCOMPARE(selected.count(), 1);
    }

    void skipWebTabsLeavesTheirSlotsEmpty()
    {
        settings().setValue(keys::skipWebTabs, true);
        RootView &view = shownView();
        for (AppTab tab : kAllTabs) {
            QTest::mouseClick(tabButton(view, tab), Qt::LeftButton);
            QVERIFY2(!DropRouter::shared().webTabActive(), qPrintable(tabTitle(tab)));
            // No Correction tab of its own to report it: the view alone says which tab shows.
            QCOMPARE(DropRouter::shared().correctionActive(), tab == AppTab::Analysis);
            QCOMPARE(view.page(tab)->findChildren<QWidget *>().isEmpty(), isWebTab(tab));
        }
        // The slots stay empty even when a page is offered for them.
        auto correction = std::make_unique<QLabel>("web page");
        QVERIFY(!view.setPage(AppTab::Analysis, correction.get()));
        QVERIFY(view.page(AppTab::Analysis) != correction.get());
    }

    // A native page put in its slot survives switching away and back, with what was typed in it.
    void setPageKeepsHiddenPagesAlive()
    {
        RootView &view = shownView();
        QPointer<QLineEdit> convert = new QLineEdit();
        QVERIFY(view.setPage(AppTab::Convert, convert));
        QCOMPARE(view.page(AppTab::Convert), convert.data());
        QTest::mouseClick(tabButton(view, AppTab::Convert), Qt::LeftButton);
        QTest::keyClicks(convert, "queued work");
        QTest::mouseClick(tabButton(view, AppTab::AudioInfo), Qt::LeftButton);
        QVERIFY(!convert->isVisible());
        QTest::mouseClick(tabButton(view, AppTab::Convert), Qt::LeftButton);
        QVERIFY(convert && convert->isVisible());
        QCOMPARE(convert->text(), QStringLiteral("queued work"));
    }

    void livePillCountsQueuedUsage()
    {
        shownView();
        test::runTask(m_store->connect(LocalServer::demoKey));
        const QString connected = "Connected — " + m_store->state().clientId();
        QCOMPARE(pill()->text(), connected);

        m_server.fault("POST /v1/usage/convert", 500, "{\"detail\":\"down\"}", 2);
        const QString token = m_store->accessToken();
        QVERIFY(!test::runTask(m_store->reportUsage(token, "loudness", 1, 100, "a.wav")));
        QCOMPARE(pill()->text(), connected + " · 1 usage pending");
        QVERIFY(!test::runTask(m_store->reportUsage(token, "loudness", 1, 200, "b.wav")));
        QCOMPARE(pill()->text(), connected + " · 2 usage pending");
    }

    // The whole sign-in panel: a blank key sends nothing, a wrong one shows the service's
    // answer, a slow right one (trimmed, submitted again and again) is one activation.
    void signInThroughThePopover()
    {
        RootView &view = shownView();
        auto *signOut = child<QPushButton>(view, "signOutButton");
        auto *failure = child<QLabel>(view, "signInFailure");
        auto *field = child<QLineEdit>(view, "clientKeyField");
        auto *connectButton = child<QPushButton>(view, "connectButton");
        auto *spinner = child<QWidget>(view, "signInSpinner");
        QCOMPARE(pill()->text(), QStringLiteral("Not connected"));
        QVERIFY(!signOut->isVisible());

        openPopover();
        submitKey("  \t ");
        QTest::qWait(100);
        QCOMPARE(kind(*m_store), int(ConnectionState::Kind::Disconnected));
        QVERIFY(!failure->isVisible());
        submitKey("not-a-real-key");
        QTRY_COMPARE(kind(*m_store), int(ConnectionState::Kind::Failed));
        QVERIFY(view.isSignInShown());
        QVERIFY(failure->isVisible());
        QCOMPARE(failure->text(), m_store->state().message());
        QVERIFY(failure->text().contains("401"));
        QCOMPARE(pill()->text(), QStringLiteral("Sign in failed"));

        // Surrounding white space is trimmed before the key is sent (the service compares keys
        // byte for byte); "Connect" submits too, and Return while connecting adds nothing.
        m_server.delay("POST /v1/auth/activate", 600);
        field->clear();
        QTest::keyClicks(field, QStringLiteral("  %1\t ").arg(LocalServer::demoKey));
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QTRY_COMPARE(kind(*m_store), int(ConnectionState::Kind::Connecting));
        QVERIFY(!connectButton->isEnabled());
        QVERIFY(spinner->isVisible());
        QCOMPARE(pill()->text(), QStringLiteral("Connecting…"));
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClicks(field, QStringLiteral("x"));
        QTest::keyClick(field, Qt::Key_Return);
        QTRY_VERIFY(m_store->state().isConnected());
        QTRY_VERIFY(!view.isSignInShown());
        QCOMPARE(m_server.count("POST /v1/auth/activate"), 2);
        QVERIFY(connectButton->isEnabled());
        QVERIFY(!spinner->isVisible());
        QVERIFY(field->text().isEmpty());
        QVERIFY(signOut->isVisible());
        QCOMPARE(pill()->text(), "Connected — " + m_store->state().clientId());

        // While connected the pill opens nothing.
        QTest::mouseClick(pill(), Qt::LeftButton);
        QTest::qWait(50);
        QVERIFY(!view.isSignInShown());

        const qsizetype mark = test::logMark();
        QTest::mouseClick(signOut, Qt::LeftButton);
        QTRY_COMPARE(kind(*m_store), int(ConnectionState::Kind::Disconnected));
        QVERIFY(!signOut->isVisible());
        QCOMPARE(pill()->text(), QStringLiteral("Not connected"));
        // The service hears of it in the background.
        QTRY_COMPARE(m_server.count("POST /v1/auth/logout"), 1);
        QVERIFY(test::logMessages("session", mark).contains("sign out requested"));
    }

    void pillTogglesThePopover()
    {
        RootView &view = shownView();
        openPopover();
        // A second click on the pill closes the panel and must not open it again.
        QTest::mouseClick(pill(), Qt::LeftButton);
        QTRY_VERIFY(!view.isSignInShown());
        QTest::qWait(100);
        QVERIFY(!view.isSignInShown());
        openPopover();
        QTest::keyClick(child<QLineEdit>(view, "clientKeyField"), Qt::Key_Escape);
        QVERIFY(!view.isSignInShown());
    }

    // The launch switch is seen by every page, yet the service sees one activation.
    void launchSwitchSignsInOnce()
    {
        settings().setValue(keys::connectKey, LocalServer::demoKey);
        shownView();
        QTRY_VERIFY(m_store->state().isConnected());
        QTest::qWait(200);
        QCOMPARE(m_server.count("POST /v1/auth/activate"), 1);
    }

    void buildTagShowsTheServerBuild_data()
    {
        QTest::addColumn<QString>("service"); // "up", "down" or "no version"
        QTest::newRow("service answers") << "up";
        QTest::newRow("service unreachable") << "down";
        QTest::newRow("no version") << "no version";
    }
    void buildTagShowsTheServerBuild()
    {
        QFETCH(QString, service);
        const QString serverVersion = test::httpCall("GET", m_server.url("/health")).json()["version"].toString();
        QVERIFY(!serverVersion.isEmpty());
        LocalServer stopped;
        if (service == u"down") {
            QVERIFY(stopped.start());
            settings().setValue(keys::baseURL, stopped.url().toString());
            stopped.stop();
        } else if (service == u"no version") {
            m_server.fault("GET /health", 200, "{}");
        }
        const QString appTag = QStringLiteral("%1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild);
        m_view = std::make_unique<RootView>(*m_store);
        QCOMPARE(child<QLabel>(*m_view, "buildTag")->text(), appTag.toUpper());

        QSignalSpy changed(m_view.get(), &RootView::serverBuildChanged);
        const int asked = m_server.count("GET /health");
        const qsizetype mark = test::logMark();
        m_view->show();
        const QString unavailable = QStringLiteral("health (server build) unavailable: ");
        if (service == u"up")
            QTRY_COMPARE(changed.count(), 1);
        else if (service == u"down")
            QTRY_VERIFY(!test::logMessages("api", mark).filter(unavailable).isEmpty());
        else
            QTRY_COMPARE(m_server.count("GET /health"), asked + 1);
        QTest::qWait(100);
        const bool known = service == u"up";
        QCOMPARE(m_view->serverBuild(), known ? std::optional<QString>(serverVersion) : std::nullopt);
        QCOMPARE(child<QLabel>(*m_view, "buildTag")->text(),
                 (known ? appTag + " · Server " + serverVersion : appTag).toUpper());
        // Only a service that cannot be reached is worth a log line.
        QCOMPARE(test::logMessages("api", mark).filter(unavailable).isEmpty(), service != u"down");
    }

    void windowDropGoesToTheWebTabs_data()
    {
        QTest::addColumn<QString>("tab");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("Correction showing") << "correction" << true;
        QTest::newRow("Convert showing") << "convert" << false;
    }
    void windowDropGoesToTheWebTabs()
    {
        QFETCH(QString, tab);
        QFETCH(bool, accepted);
        settings().setValue(keys::tab, tab);
        // Made first: its web tabs register their own handlers, which these replace.
        RootView &view = shownView();
        QStringList got;
        for (const QString name : {"correction", "cinema"}) {
            const DropRouter::Handler handler = [&got, name](const QList<QUrl> &, const QPointF &point) {
                got << QStringLiteral("%1 at %2,%3").arg(name).arg(point.x()).arg(point.y());
            };
            name == u"correction" ? DropRouter::shared().setCorrectionHandler(handler)
                                  : DropRouter::shared().setCinemaHandler(handler);
        }

        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile("/tmp/take.wav")});
        const QPoint inside = view.rect().center();
        QDragEnterEvent enter(inside, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&view, &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        QDropEvent drop(QPointF(inside), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        drop.setAccepted(false);
        QApplication::sendEvent(&view, &drop);
        QCOMPARE(drop.isAccepted(), accepted);
        // The window's location means nothing to the web page.
        QCOMPARE(got, accepted ? QStringList{"correction at 0,0"} : QStringList());
    }
};

HOPLIN_GUI_TEST_MAIN(TestRootView)
#include "tst_rootview.moc"
