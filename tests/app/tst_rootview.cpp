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

QString versionTag()
{
    return QStringLiteral("%1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild);
}

} // namespace

class TestRootView : public QObject {
    Q_OBJECT

    LocalServer m_server;
    std::unique_ptr<SessionStore> m_store;

    template <typename T>
    static T *child(QWidget *root, const char *name)
    {
        T *found = root->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }

    QAbstractButton *tabButton(RootView &view, AppTab tab)
    {
        return child<QAbstractButton>(&view, qPrintable(QStringLiteral("tab") + tabTitle(tab)));
    }

    void show(RootView &view)
    {
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
    }

    void openPopover(RootView &view)
    {
        QTest::mouseClick(child<ConnectionPill>(&view, "connectionPill"), Qt::LeftButton);
        QTRY_VERIFY(view.isSignInShown());
    }

    void submitKey(RootView &view, const QString &key)
    {
        auto *field = child<QLineEdit>(&view, "clientKeyField");
        field->clear();
        QTest::keyClicks(field, key);
        QTest::keyClick(field, Qt::Key_Return);
    }

    QString pillText(RootView &view) { return child<ConnectionPill>(&view, "connectionPill")->text(); }

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
        m_server.clearFaults();
        m_server.reset();
        m_store = std::make_unique<SessionStore>();
        DropRouter::shared().setCorrectionHandler({});
        DropRouter::shared().setCinemaHandler({});
    }

    void cleanup()
    {
        m_store.reset();
    }

    void initialTabFromSetting_data()
    {
        QTest::addColumn<QVariant>("setting");
        QTest::addColumn<AppTab>("expected");

        QTest::newRow("no value") << QVariant() << AppTab::Analysis;
        QTest::newRow("empty") << QVariant("") << AppTab::Analysis;
        QTest::newRow("convert") << QVariant("convert") << AppTab::Convert;
        QTest::newRow("cinema") << QVariant("cinema") << AppTab::Cinema;
        QTest::newRow("audioanalysis") << QVariant("audioanalysis") << AppTab::AudioInfo;
        QTest::newRow("mediainfo") << QVariant("mediainfo") << AppTab::AudioInfo;
        // The Analysis tab's own title is not one of its names.
        QTest::newRow("analysis") << QVariant("analysis") << AppTab::Analysis;
        QTest::newRow("surrounding spaces are not trimmed") << QVariant(" convert ") << AppTab::Analysis;
    }

    void initialTabFromSetting()
    {
        QFETCH(QVariant, setting);
        QFETCH(AppTab, expected);
        if (setting.isValid())
            settings().setValue(keys::tab, setting);

        RootView view(*m_store);

        QCOMPARE(view.selected(), expected);
        QCOMPARE(child<QStackedWidget>(&view, "pages")->currentIndex(), int(expected));
        for (AppTab tab : kAllTabs)
            QCOMPARE(tabButton(view, tab)->isChecked(), tab == expected);
        // Reading the setting never writes it back.
        QCOMPARE(settings().contains(keys::tab), setting.isValid());
    }

    void tabSwitchLogsAndSyncsRouter_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<AppTab>("target");
        QTest::addColumn<bool>("skipWebTabs");
        QTest::addColumn<bool>("webTabActive");
        QTest::addColumn<bool>("correctionActive");

        QTest::newRow("Convert to Cinema") << "convert" << AppTab::Cinema << false << true << false;
        QTest::newRow("Cinema to Correction") << "cinema" << AppTab::Analysis << false << true << true;
        QTest::newRow("Correction to Convert") << "" << AppTab::Convert << false << false << false;
        QTest::newRow("Cinema to Analysis") << "cinema" << AppTab::AudioInfo << false << false << false;
        QTest::newRow("web tabs off: Convert to Correction") << "convert" << AppTab::Analysis << true << false << true;
        QTest::newRow("web tabs off: Convert to Cinema") << "convert" << AppTab::Cinema << true << false << false;
    }

    void tabSwitchLogsAndSyncsRouter()
    {
        QFETCH(QString, start);
        QFETCH(AppTab, target);
        QFETCH(bool, skipWebTabs);
        QFETCH(bool, webTabActive);
        QFETCH(bool, correctionActive);
        settings().setValue(keys::tab, start);
        settings().setValue(keys::skipWebTabs, skipWebTabs);

        RootView view(*m_store);
        const qsizetype mark = test::logMark();
        show(view);
        // The first appearance reports the starting tab.
        QCOMPARE(test::logMessages("ui", mark), QStringList{"tab switched to " + tabTitle(tabFromSetting(start))});

        QSignalSpy selected(&view, &RootView::selectedChanged);
        const qsizetype switched = test::logMark();
        QTest::mouseClick(tabButton(view, target), Qt::LeftButton);

        QCOMPARE(selected.count(), 1);
        QCOMPARE(selected.first().first().value<AppTab>(), target);
        QCOMPARE(child<QStackedWidget>(&view, "pages")->currentIndex(), int(target));
        QVERIFY(tabButton(view, target)->isChecked());
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
        RootView view(*m_store);
        show(view);

        for (AppTab tab : kAllTabs) {
            QTest::mouseClick(tabButton(view, tab), Qt::LeftButton);
            QVERIFY2(!DropRouter::shared().webTabActive(), qPrintable(tabTitle(tab)));
            const bool empty = view.page(tab)->findChildren<QWidget *>().isEmpty();
            QCOMPARE(empty, isWebTab(tab));
        }

        // The slots stay empty even when a page is offered for them; native slots take theirs.
        auto correction = std::make_unique<QLabel>("web page");
        QVERIFY(!view.setPage(AppTab::Analysis, correction.get()));
        QVERIFY(view.page(AppTab::Analysis) != correction.get());
        auto *convert = new QLabel("convert page");
        QVERIFY(view.setPage(AppTab::Convert, convert));
        QCOMPARE(view.page(AppTab::Convert), convert);
        QTest::mouseClick(tabButton(view, AppTab::Convert), Qt::LeftButton);
        QVERIFY(convert->isVisible());
    }

    void setPageKeepsHiddenPagesAlive()
    {
        RootView view(*m_store);
        show(view);
        QPointer<QLineEdit> convert = new QLineEdit();
        QPointer<QLineEdit> analysis = new QLineEdit();
        QVERIFY(view.setPage(AppTab::Convert, convert));
        QVERIFY(view.setPage(AppTab::AudioInfo, analysis));
        QTest::mouseClick(tabButton(view, AppTab::Convert), Qt::LeftButton);
        QTest::keyClicks(convert, "queued work");
        QTest::mouseClick(tabButton(view, AppTab::AudioInfo), Qt::LeftButton);
        QVERIFY(!convert->isVisible());
        QVERIFY(analysis->isVisible());
        QTest::mouseClick(tabButton(view, AppTab::Convert), Qt::LeftButton);
        QVERIFY(convert);
        QCOMPARE(convert->text(), QStringLiteral("queued work"));
    }

    void livePillCountsQueuedUsage()
    {
        RootView view(*m_store);
        show(view);
        test::runTask(m_store->connect(LocalServer::demoKey));
        const QString clientId = m_store->state().clientId();
        QVERIFY(!clientId.isEmpty());
        QCOMPARE(pillText(view), "Connected — " + clientId);

        m_server.fault("POST /v1/usage/convert", 500, "{\"detail\":\"down\"}", 2);
        const QString token = m_store->accessToken();
        QVERIFY(!test::runTask(m_store->reportUsage(token, "loudness", 1, 100, "a.wav")));
        QCOMPARE(pillText(view), "Connected — " + clientId + " · 1 usage pending");
        QVERIFY(!test::runTask(m_store->reportUsage(token, "loudness", 1, 200, "b.wav")));
        QCOMPARE(pillText(view), "Connected — " + clientId + " · 2 usage pending");
    }

    void popoverFailureThenSuccess()
    {
        RootView view(*m_store);
        show(view);
        auto *pill = child<ConnectionPill>(&view, "connectionPill");
        auto *signOut = child<QPushButton>(&view, "signOutButton");
        auto *failure = child<QLabel>(&view, "signInFailure");
        auto *field = child<QLineEdit>(&view, "clientKeyField");
        QCOMPARE(pill->text(), QStringLiteral("Not connected"));
        QVERIFY(!signOut->isVisible());

        openPopover(view);
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        QCOMPARE(field->placeholderText(), QStringLiteral("Client key"));
        QVERIFY(!failure->isVisible());

        submitKey(view, "not-a-real-key");
        QTRY_COMPARE(int(m_store->state().kind()), int(ConnectionState::Kind::Failed));
        QVERIFY(view.isSignInShown());
        QVERIFY(failure->isVisible());
        QCOMPARE(failure->text(), m_store->state().message());
        QVERIFY(failure->text().contains("401"));
        QCOMPARE(pill->text(), QStringLiteral("Sign in failed"));
        QVERIFY(!signOut->isVisible());

        // Surrounding white space is trimmed before the key is sent; "Connect" submits too.
        field->clear();
        QTest::keyClicks(field, QStringLiteral("  %1\t ").arg(LocalServer::demoKey));
        QTest::mouseClick(child<QPushButton>(&view, "connectButton"), Qt::LeftButton);
        QTRY_VERIFY(m_store->state().isConnected());
        QTRY_VERIFY(!view.isSignInShown());
        QVERIFY(field->text().isEmpty());
        QVERIFY(signOut->isVisible());
        QCOMPARE(pill->text(), "Connected — " + m_store->state().clientId());
        const QJsonArray requests = m_server.requests();
        QStringList sentKeys;
        for (const QJsonValue &request : requests) {
            if (request["path"].toString() == "/v1/auth/activate")
                sentKeys << QJsonDocument::fromJson(request["body"].toString().toUtf8())["api_key"].toString();
        }
        QCOMPARE(sentKeys, QStringList({"not-a-real-key", LocalServer::demoKey}));

        // While connected the pill opens nothing.
        QTest::mouseClick(pill, Qt::LeftButton);
        QTest::qWait(50);
        QVERIFY(!view.isSignInShown());

        const qsizetype mark = test::logMark();
        QTest::mouseClick(signOut, Qt::LeftButton);
        QTRY_COMPARE(int(m_store->state().kind()), int(ConnectionState::Kind::Disconnected));
        QVERIFY(!signOut->isVisible());
        QCOMPARE(pill->text(), QStringLiteral("Not connected"));
        // The service hears of it in the background.
        QTRY_COMPARE(m_server.count("POST /v1/auth/logout"), 1);
        QVERIFY(test::logMessages("session", mark).contains("sign out requested"));
    }

    void connectIsDisabledWhileSigningIn()
    {
        RootView view(*m_store);
        show(view);
        openPopover(view);
        auto *connectButton = child<QPushButton>(&view, "connectButton");
        QWidget *spinner = view.findChild<QWidget *>("signInSpinner");
        QVERIFY(spinner);
        QVERIFY(!spinner->isVisible());

        m_server.delay("POST /v1/auth/activate", 600);
        submitKey(view, LocalServer::demoKey);
        QTRY_COMPARE(int(m_store->state().kind()), int(ConnectionState::Kind::Connecting));
        QVERIFY(!connectButton->isEnabled());
        QVERIFY(spinner->isVisible());
        QCOMPARE(pillText(view), QStringLiteral("Connecting…"));

        QTRY_VERIFY(m_store->state().isConnected());
        QVERIFY(connectButton->isEnabled());
        QVERIFY(!spinner->isVisible());
    }

    void blankKeyIsNotSubmitted()
    {
        RootView view(*m_store);
        show(view);
        openPopover(view);
        submitKey(view, "  \t ");
        QTest::qWait(100);
        QCOMPARE(int(m_store->state().kind()), int(ConnectionState::Kind::Disconnected));
        QCOMPARE(m_server.count("POST /v1/auth/activate"), 0);
        QVERIFY(view.isSignInShown());
    }

    void pillTogglesThePopover()
    {
        RootView view(*m_store);
        show(view);
        openPopover(view);
        // A second click on the pill closes the panel and must not open it again.
        QTest::mouseClick(child<ConnectionPill>(&view, "connectionPill"), Qt::LeftButton);
        QTRY_VERIFY(!view.isSignInShown());
        QTest::qWait(100);
        QVERIFY(!view.isSignInShown());
        openPopover(view);
        QTest::keyClick(child<QLineEdit>(&view, "clientKeyField"), Qt::Key_Escape);
        QVERIFY(!view.isSignInShown());
    }

    void buildTagShowsTheServerBuild()
    {
        const QString serverVersion = test::httpCall("GET", m_server.url("/health")).json()["version"].toString();
        QVERIFY(!serverVersion.isEmpty());
        RootView view(*m_store);
        auto *tag = child<QLabel>(&view, "buildTag");
        QCOMPARE(tag->text(), versionTag().toUpper());

        QSignalSpy changed(&view, &RootView::serverBuildChanged);
        show(view);
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(view.serverBuild(), std::optional<QString>(serverVersion));
        QCOMPARE(tag->text(), (versionTag() + " · Server " + serverVersion).toUpper());
    }

    void buildTagWithoutAServerBuild_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("unreachable");
        QTest::addColumn<bool>("logged");

        QTest::newRow("service unreachable") << 0 << QByteArray() << true << true;
        QTest::newRow("no version") << 200 << QByteArray("{}") << false << false;
    }

    void buildTagWithoutAServerBuild()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, unreachable);
        QFETCH(bool, logged);

        LocalServer stopped;
        if (unreachable) {
            QVERIFY(stopped.start());
            settings().setValue(keys::baseURL, stopped.url().toString());
            stopped.stop();
        } else {
            m_server.fault("GET /health", status, body);
        }

        RootView view(*m_store);
        const qsizetype mark = test::logMark();
        show(view);
        if (unreachable) {
            QTRY_VERIFY(!test::logMessages("api", mark).filter("health (server build) unavailable: ").isEmpty());
        } else {
            QTRY_COMPARE(m_server.count("GET /health"), 1);
            QTest::qWait(100);
        }
        QCOMPARE(view.serverBuild(), std::nullopt);
        QCOMPARE(child<QLabel>(&view, "buildTag")->text(), versionTag().toUpper());
        QCOMPARE(!test::logMessages("api", mark).filter("health (server build) unavailable").isEmpty(), logged);
    }

    void windowDropGoesToTheWebTabs_data()
    {
        QTest::addColumn<QString>("tab");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("receiver");

        QTest::newRow("Correction showing") << "correction" << true << "correction";
        QTest::newRow("Convert showing") << "convert" << false << "";
    }

    void windowDropGoesToTheWebTabs()
    {
        QFETCH(QString, tab);
        QFETCH(bool, accepted);
        QFETCH(QString, receiver);
        settings().setValue(keys::tab, tab);
        QString got;
        QPointF where(-1, -1);
        // Made first: its web tabs register their own handlers, which these replace.
        RootView view(*m_store);
        show(view);
        DropRouter::shared().setCorrectionHandler([&](const QList<QUrl> &, const QPointF &point) {
            got = "correction";
            where = point;
        });
        DropRouter::shared().setCinemaHandler([&](const QList<QUrl> &, const QPointF &point) {
            got = "cinema";
            where = point;
        });

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
        QCOMPARE(got, receiver);
        if (!receiver.isEmpty())
            QCOMPARE(where, QPointF(0, 0));
    }
};

HOPLIN_GUI_TEST_MAIN(TestRootView)
#include "tst_rootview.moc"
