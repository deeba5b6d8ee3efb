#include "AppTestUtil.h"
#include "TestSupport.h"
#include "convert/ui/ConvertPage.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "app/ui/ConnectionPill.h"
#include "app/ui/RootView.h"
#include "platform/Settings.h"
#include "service/KeychainStore.h"
#include "service/SessionStore.h"
#include "version.h"
#include "web/DropRouter.h"

#include <QApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

using namespace hoplin;
using test::child;
using test::LocalServer;

Q_DECLARE_METATYPE(hoplin::AppTab)

namespace {

Settings &settings()
{
    return Settings::shared();
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
        // The Analysis tab's own title is not one of its names.
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
        // Files dragged over the window outside every page are taken only for a web tab.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile("/tmp/take.wav")});
        QDragEnterEvent enter(view.rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&view, &enter);
        QCOMPARE(enter.isAccepted(), webTabActive);
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
        // A page offered later for a skipped tab's slot is not taken.
        const auto offered = std::make_unique<QWidget>();
        QVERIFY(!view.setPage(AppTab::Cinema, offered.get()));
        QVERIFY(view.page(AppTab::Cinema) != offered.get());
    }

    // The whole sign-in panel: the pill opens and closes it; a blank key sends nothing, a wrong
    // one shows the service's answer, a slow right one (trimmed, submitted again and again) is one
    // activation; once connected the pill counts the usage reports still to send.
    void signInThroughThePopover()
    {
        RootView &view = shownView();
        auto *signOut = child<QPushButton>(view, "signOutButton");
        auto *failure = child<QLabel>(view, "signInFailure");
        auto *field = child<QLineEdit>(view, "clientKeyField");
        auto *connectButton = child<QPushButton>(view, "connectButton");
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
        QVERIFY(failure->text().contains("401"));

        // Surrounding white space is trimmed before the key is sent (the service compares keys
        // byte for byte); "Connect" submits too, and Return while connecting adds nothing.
        m_server.delay("POST /v1/auth/activate", 600);
        field->clear();
        QTest::keyClicks(field, QStringLiteral("  %1\t ").arg(LocalServer::demoKey));
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QTRY_COMPARE(kind(*m_store), int(ConnectionState::Kind::Connecting));
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClicks(field, QStringLiteral("x"));
        QTest::keyClick(field, Qt::Key_Return);
        QTRY_VERIFY(m_store->state().isConnected());
        QTRY_VERIFY(!view.isSignInShown());
        QCOMPARE(m_server.count("POST /v1/auth/activate"), 2);
        QVERIFY(field->text().isEmpty());
        QVERIFY(signOut->isVisible());
        QCOMPARE(pill()->text(), "Connected — " + m_store->state().clientId());

        m_server.fault("POST /v1/usage/convert", 500, "{\"detail\":\"down\"}", 2);
        const QString connected = pill()->text();
        for (int pending = 1; pending <= 2; ++pending) {
            const QString file = QStringLiteral("take %1.wav").arg(pending);
            QVERIFY(!test::runTask(m_store->reportUsage(m_store->accessToken(), "loudness", 1, 100 * pending, file)));
            QCOMPARE(pill()->text(), connected + QStringLiteral(" · %1 usage pending").arg(pending));
        }

        QTest::mouseClick(signOut, Qt::LeftButton);
        QTRY_COMPARE(kind(*m_store), int(ConnectionState::Kind::Disconnected));
        QVERIFY(!signOut->isVisible());
        // The service hears of it in the background.
        QTRY_COMPARE(m_server.count("POST /v1/auth/logout"), 1);
    }

    // The launch switch is seen by every page, yet the service sees one activation; a remembered
    // key is trimmed first (one stored from a shell ends in a line break).
    void launchSignsInOnce_data()
    {
        QTest::addColumn<bool>("remembered");
        QTest::newRow("launch switch") << false;
        QTest::newRow("remembered key ending in a newline") << true;
    }
    void launchSignsInOnce()
    {
        QFETCH(bool, remembered);
        if (remembered)
            QCOMPARE(KeychainStore::save(QString(LocalServer::demoKey) + "\n"), KeychainStore::Result::success());
        else
            settings().setValue(keys::connectKey, LocalServer::demoKey);
        shownView();
        QTRY_VERIFY(m_store->state().isConnected());
        QTest::qWait(200);
        QCOMPARE(m_server.count("POST /v1/auth/activate"), 1);
        if (remembered)
            KeychainStore::remove();
    }

    void buildTagShowsTheServerBuild()
    {
        const QString serverVersion = test::httpCall("GET", m_server.url("/health")).json()["version"].toString();
        QVERIFY(!serverVersion.isEmpty());
        const QString appTag = QStringLiteral("%1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild);
        m_view = std::make_unique<RootView>(*m_store);
        QCOMPARE(test::labelText(*m_view, "buildTag"), appTag.toUpper());

        QSignalSpy changed(m_view.get(), &RootView::serverBuildChanged);
        m_view->show();
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(m_view->serverBuild(), std::optional<QString>(serverVersion));
        QCOMPARE(test::labelText(*m_view, "buildTag"), (appTag + " · Server " + serverVersion).toUpper());

        // An unreachable service leaves the tag as it is and says so in the log.
        settings().setValue(keys::baseURL, QStringLiteral("http://127.0.0.1:9"));
        const qsizetype mark = test::logMark();
        m_view = std::make_unique<RootView>(*m_store);
        m_view->show();
        QVERIFY(test::waitUntil(
            [&] { return !test::logMessages("api", mark).filter("health (server build) unavailable: ").isEmpty(); }));
        QCOMPARE(test::labelText(*m_view, "buildTag"), appTag.toUpper());
    }

    // A drop no page took reaches the Correction tab's handler, without the window's location.
    void windowDropGoesToTheWebTabs()
    {
        settings().setValue(keys::tab, "correction");
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
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(inside), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        drop.setAccepted(false);
        QApplication::sendEvent(&view, &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(got, QStringList{"correction at 0,0"});
        // Both tabs loaded their pages from the chosen service, the one whose pages they approve.
        QTRY_VERIFY_WITH_TIMEOUT(m_server.count("GET /correction") == 1 && m_server.count("GET /cinema") == 1, 30000);
    }

    // Presets that arrive for a session signed out meanwhile are dropped.
    void presetRefreshOvertakenBySignOutIsDropped()
    {
        ConvertPage page(*m_store);
        test::runTask(m_store->connect(LocalServer::demoKey));
        QVERIFY(!m_store->presets().isEmpty());
        QPushButton *refresh = nullptr;
        for (QPushButton *button : page.findChildren<QPushButton *>()) {
            if (button->text() == u"Refresh scripts")
                refresh = button;
        }
        QVERIFY(refresh);
        m_server.delay(QStringLiteral("GET /v1/presets"), 400);
        const qsizetype mark = test::logMark();
        refresh->click();
        m_store->disconnect();
        QVERIFY(m_store->presets().isEmpty());
        QTRY_VERIFY(!test::logMessages("api", mark).filter("GET /v1/presets -> 200").isEmpty());
        QTest::qWait(50);
        QVERIFY(m_store->presets().isEmpty());
    }
};

HOPLIN_GUI_TEST_MAIN(TestRootView)
#include "tst_rootview.moc"
