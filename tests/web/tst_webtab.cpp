// The web tabs in the real engine (offscreen) against hoplin-server: one profile and one server for
// the whole process, because each engine start costs seconds on a small machine.

#include "TestSupport.h"
#include "WebTestUtil.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "service/SessionStore.h"
#include "web/DropRouter.h"
#include "web/ui/DropBridge.h"
#include "web/ui/HoplinWebView.h"
#include "web/WebPolicy.h"
#include "web/ui/WebTabView.h"

#include <QApplication>
#include <QDir>
#include <QMimeData>
#include <QDragEnterEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

using namespace hoplin;
using test::evalJs;
using test::queueRows;
using test::waitUntil;

namespace {

void setSetting(const char *key, const QVariant &value)
{
    Settings::shared().setValue(QString::fromLatin1(key), value);
}

// `text` as a JavaScript string literal.
QString jsString(const QString &text)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

bool logged(const QString &category, const QString &fragment)
{
    return !test::logMessages(category).filter(fragment).isEmpty();
}

// Sends a genuine click to the engine's input widget at a page point, as a user would.
void realClick(HoplinWebView *view, const QPointF &pagePoint)
{
    QWidget *input = view->focusProxy() ? view->focusProxy() : view;
    const QPoint point = input->mapFrom(view, pagePoint.toPoint());
    QTest::mouseMove(input, point);
    QTest::mousePress(input, Qt::LeftButton, Qt::NoModifier, point);
    QTest::mouseRelease(input, Qt::LeftButton, Qt::NoModifier, point, 50);
}

// A file of `bytes` that takes no disk space: larger than the page bridge carries.
bool makeSparseFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(bytes);
}

QPointF centreOf(QWebEnginePage *page, const QString &selector)
{
    const QVariantMap box = evalJs(page, QStringLiteral("(function(){var b=document.querySelector('%1')"
                                                       ".getBoundingClientRect();return {x:b.left+b.width/2,y:b.top+b.height/2};})()")
                                             .arg(selector))
                                .toMap();
    return {box.value("x").toDouble(), box.value("y").toDouble()};
}

} // namespace

class TestWebTab : public QObject {
    Q_OBJECT
private:
    test::LocalServer m_server;
    SessionStore m_store;
    QWidget m_window;
    WebTabView *m_tab = nullptr;
    QTemporaryDir m_files;
    QList<QUrl> m_opened; // what the tab handed to the browser

    QWebEnginePage *page() const { return m_tab->webView()->page(); }

    // A fresh tab (the previous one goes), by default Correction on the service's page.
    void openTab(QUrl url = {}, bool correction = true, bool waitForLoad = true)
    {
        delete m_tab;
        m_tab = new WebTabView(m_store, url.isEmpty() ? m_server.url("/correction") : url, correction, &m_window);
        m_tab->webView()->hoplinPage()->openExternally = [this](const QUrl &url) { m_opened << url; };
        m_window.layout()->addWidget(m_tab);
        DropRouter::shared().setCorrectionActive(correction); // as selecting the tab does
        QSignalSpy loaded(m_tab, &WebTabView::pageLoaded);
        QVERIFY(!waitForLoad || loaded.wait(30000));
    }

    QString rowText(int row)
    {
        const QString script = QStringLiteral("document.querySelector('#queue tbody tr:nth-child(%1)').textContent");
        return evalJs(page(), script.arg(row)).toString();
    }

    // A live session of the demo client, as the service's JSON answer.
    QString issueSession(const QString &label)
    {
        const QJsonObject body{{"api_key", test::LocalServer::demoKey}, {"installation_label", label}};
        return QString::fromUtf8(test::httpCall("POST", m_server.url("/v1/auth/activate"), QJsonDocument(body).toJson()).body);
    }

    QString pageSession() { return evalJs(page(), QStringLiteral("localStorage.getItem('hoplin_session') || ''")).toString(); }

    void signOutEverywhere()
    {
        if (m_store.session())
            test::runTask(m_store.signOut());
        QVERIFY(waitUntil([&] { return pageSession().isEmpty(); }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        setSetting(keys::baseURL, m_server.url().toString());
        setSetting(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
        m_window.setLayout(new QVBoxLayout);
        m_window.resize(1200, 780);
        m_window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_window));
        openTab();
    }

    void cleanupTestCase()
    {
        delete m_tab;
        m_tab = nullptr;
    }

    // A session travels both ways: signed in on the page, the app connects; the app's own
    // session reaches the page; signing out on either side signs the other out.
    void sessionTravelsBothWays()
    {
        // What the page logs is kept, clipped: one message cannot flood the log.
        const qsizetype mark = test::logMark();
        evalJs(page(), "window.webkit.messageHandlers.hoplinLog.postMessage('x'.repeat(100000))");
        QVERIFY(waitUntil([&] { return test::logMessages("page", mark).contains(QString(web::kPageLogLimit, 'x') + "…"); }));
        signOutEverywhere();
        evalJs(page(), QStringLiteral("document.getElementById('apiKey').value = '%1';"
                                      "document.getElementById('connect').click();")
                           .arg(QLatin1String(test::LocalServer::demoKey)));
        QVERIFY(waitUntil([&] { return m_store.state().isConnected(); }));
        QVERIFY(pageSession().contains(m_store.accessToken()));

        test::runTask(m_store.signOut());
        QVERIFY(waitUntil([&] { return pageSession().isEmpty(); }));
        QVERIFY(!m_tab->lastInjectedToken());

        test::runTask(m_store.connect(QString::fromLatin1(test::LocalServer::demoKey)));
        const QString token = m_store.accessToken();
        QVERIFY(waitUntil([&] { return pageSession().contains(token); }));
        QCOMPARE(m_tab->lastInjectedToken(), m_store.webSessionPayload());
        QVERIFY(waitUntil([&] { return !evalJs(page(), "document.getElementById('account').hidden").toBool(); }));
        evalJs(page(), "document.getElementById('signout').click();");
        QVERIFY(waitUntil([&] { return !m_store.session(); }));
    }

    void webConnectKeyArrivesIntact()
    {
        signOutEverywhere();
        const int activations = m_server.count("POST /v1/auth/activate");
        const QString key = QStringLiteral("it's a \\ key");
        setSetting(keys::webConnectKey, key);
        openTab();
        // Typed into the field and submitted once; the service refuses it and the field keeps it.
        QVERIFY(waitUntil([&] { return !evalJs(page(), "document.getElementById('signinError').textContent").toString().isEmpty(); }));
        QCOMPARE(evalJs(page(), "document.getElementById('apiKey').value").toString(), key);
        QCOMPARE(m_server.count("POST /v1/auth/activate"), activations + 1);
        Settings::shared().remove(QString::fromLatin1(keys::webConnectKey));
    }

    // Nothing a page's script does reaches the app's handlers, another site or another program:
    // not even right after a click, when the engine reports a scripted navigation as a link.
    void foreignFramesCannotReachHandlers_data()
    {
        QTest::addColumn<bool>("clickFirst");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expectedLog");
        // Each attack carries a real, valid session: were it accepted, the app would sign in.
        QTest::newRow("sandboxed frame posts") << false << R"(var f = document.createElement('iframe');
            f.sandbox = 'allow-scripts';
            f.srcdoc = '<script>window.webkit.messageHandlers.hoplinSession.postMessage(' + JSON.stringify(SESSION) + ')<\/script>';
            document.body.appendChild(f);)"
                                               << "rejected native message 'hoplinSession' from null main=false";
        QTest::newRow("sandboxed frame posts to the top frame") << false << R"(var f = document.createElement('iframe');
            f.sandbox = 'allow-scripts';
            f.srcdoc = '<script>top.postMessage({__hoplinFrameMessage: "hoplinSession", v: ' + JSON.stringify(SESSION) + '}, "*");'
                     + 'try { top.webkit.messageHandlers.hoplinSession.postMessage(' + JSON.stringify(SESSION) + '); } catch (e) {}<\/script>';
            document.body.appendChild(f);)"
                                                                << "from null main=false";
        QTest::newRow("foreign frame") << false << R"(var f = document.createElement('iframe');
            f.src = FOREIGN + '/correction'; document.body.appendChild(f);)"
                                       << "to FOREIGN/correction";
        QTest::newRow("scripted redirect") << false << "window.location.href = FOREIGN + '/cinema';" << "to FOREIGN/cinema";
        QTest::newRow("built-in host on another port") << false << "window.location.href = SECURE + '/cinema';"
                                                       << "to SECURE/cinema";
        for (const QString address : {"sftp://files.example/etc", "mailto:a@example.org?attach=/etc/passwd"}) {
            QTest::addRow("%s after a click", qPrintable(QUrl(address).scheme()))
                << true << QStringLiteral("window.location.href = '%1';").arg(address) << "to " + address;
        }
    }
    void foreignFramesCannotReachHandlers()
    {
        QFETCH(bool, clickFirst);
        QFETCH(QString, script);
        QFETCH(QString, expectedLog);
        test::LocalServer foreign;
        QVERIFY(foreign.start());
        const QString foreignOrigin = foreign.url().toString(QUrl::StripTrailingSlash);
        const QString secureOrigin = QStringLiteral("https://") + foreign.url().authority();
        signOutEverywhere();
        const QString session = issueSession("attacker");
        const QUrl before = page()->url();
        m_opened.clear();

        evalJs(page(), QStringLiteral("var SESSION = %1; var FOREIGN = '%2'; var SECURE = '%3';")
                           .arg(jsString(session), foreignOrigin, secureOrigin));
        if (clickFirst) {
            realClick(m_tab->webView(), QPointF(5, 5));
            QVERIFY(waitUntil([&] { return evalJs(page(), "navigator.userActivation.isActive").toBool(); }));
        }
        evalJs(page(), script);
        expectedLog.replace(QStringLiteral("FOREIGN"), foreignOrigin).replace(QStringLiteral("SECURE"), secureOrigin);
        QVERIFY2(waitUntil([&] { return logged("web", expectedLog); }), qPrintable(expectedLog));
        QTest::qWait(500);
        QCOMPARE(page()->url(), before);
        QVERIFY(!m_store.session());
        QVERIFY(m_opened.isEmpty());
        QCOMPARE(foreign.count("GET /correction") + foreign.count("GET /cinema"), 0);
    }

    void foreignLinksAndWindows()
    {
        m_opened.clear();
        evalJs(page(), "var a = document.createElement('a'); a.id = 'out'; a.href = 'https://example.org/help';"
                       "a.textContent = 'help'; a.style = 'position:fixed;left:10px;top:10px;font-size:40px';"
                       "document.body.appendChild(a); true");
        realClick(m_tab->webView(), centreOf(page(), "#out"));
        QVERIFY(waitUntil([&] { return m_opened.size() == 1; }));
        QCOMPARE(m_opened.first(), QUrl("https://example.org/help"));
        QCOMPARE(page()->url(), m_server.url("/correction"));
        // A script cannot open a window of its own.
        evalJs(page(), "window.open('https://example.org/popup'); true");
        QTest::qWait(500);
        QCOMPARE(m_opened.size(), 1);
    }

    // The engine's download takes a free name and leaves the older file alone; a name that would
    // hide the file loses its dots.
    void downloadsGetSafeNames()
    {
        const QDir folder(platform::downloadsDirectory());
        const QString older = test::writeFile(folder.filePath("report.pdf"), "older");
        evalJs(page(), "window.location.href = '/correction/report.pdf'; true");
        QVERIFY(waitUntil([&] { return logged("download", "finished: report.pdf"); }, std::chrono::seconds(20)));
        QVERIFY(test::contents(folder.filePath("report (1).pdf")).startsWith("%PDF-"));
        QCOMPARE(test::contents(older), QByteArray("older"));
        evalJs(page(), "var a = document.createElement('a'); a.download = '.bashrc';"
                       "a.href = URL.createObjectURL(new Blob(['echo planted'])); a.click(); true");
        QVERIFY(waitUntil([&] { return QFile::exists(folder.filePath("bashrc")); }, std::chrono::seconds(20)));
        QVERIFY(!QFile::exists(folder.filePath(".bashrc")));
    }

    // A local page may show in a tab, but shares no session either way: the one it stored is not
    // taken, and the app's own is not written into it.
    void localPagesShareNoSession()
    {
        signOutEverywhere();
        const QString planted = issueSession("local page");
        const QString local = test::writeFile(
            m_files.filePath("local.html"),
            "<html><body><script>localStorage.setItem('hoplin_session', " + jsString(planted).toUtf8() + ");</script></body></html>");
        openTab(QUrl::fromLocalFile(local));
        QCOMPARE(pageSession(), planted); // the read after loading has come back by now
        QVERIFY(!m_store.session());
        test::runTask(m_store.connect(QString::fromLatin1(test::LocalServer::demoKey)));
        QCOMPARE(pageSession(), planted);
    }

    // A start page that never answers gives way to an error page after the time-out, offering
    // another try; a page that comes with an error status is shown and finishes loading like any
    // other (session read and pushed), its status logged once.
    void startPageFailures()
    {
        test::signIn(m_store);
        m_server.delay("GET /correction", 5000);
        WebTabView::setFirstLoadTimeout(std::chrono::seconds(1));
        openTab({}, true, false);
        WebTabView::setFirstLoadTimeout(std::chrono::seconds(60));
        const QString bodyText = QStringLiteral("document.body ? document.body.innerText : ''");
        QVERIFY(waitUntil([&] { return evalJs(page(), bodyText).toString().contains("did not answer within 1 seconds"); }));

        const qsizetype mark = test::logMark();
        m_server.fault("GET /correction", 503, "<p>busy</p>");
        QSignalSpy loaded(m_tab, &WebTabView::pageLoaded);
        evalJs(page(), "document.querySelector('a').click(); true");
        QVERIFY(loaded.wait(20000));
        QVERIFY(evalJs(page(), bodyText).toString().contains("busy"));
        QVERIFY(pageSession().contains(m_store.accessToken()));
        QCOMPARE(test::logMessages("web", mark).filter("navigation error 503 for").size(), 1);
    }

    // A real drag of small files on the page, carried through
    // the page bridge one file per call, their names intact however they are spelt.
    void smallDropGoesThroughBridge()
    {
        openTab();
        QMimeData mime;
        QList<QUrl> files;
        for (int i = 1; i <= 3; ++i) {
            const QString path = m_files.filePath(QStringLiteral("it's \"take\" \\ %1.wav").arg(i));
            QVERIFY(test::writeWav(path, 18.0, 0.25 * i)); // about 3.4 MB each
            files << QUrl::fromLocalFile(path);
        }
        mime.setUrls(files);
        evalJs(page(), "window.__calls = []; var inject = window.hoplinInjectFiles;"
                       "window.hoplinInjectFiles = function (list) { window.__calls.push(list.length); return inject(list); };");
        // The engine's own input widget receives drags; the view takes those carrying files.
        QWidget *input = m_tab->webView()->focusProxy();
        QVERIFY(input);
        const QPoint at(400, 300);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(input, &enter);
        QVERIFY(enter.isAccepted());
        QSignalSpy injected(m_tab->dropBridge(), &DropBridge::bridgeInjected);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(input, &drop);
        QVERIFY(drop.isAccepted());
        QVERIFY(injected.wait(30000));
        QCOMPARE(injected.first().first().toInt(), 3);
        QVERIFY(waitUntil([&] { return queueRows(page()) == 3; }));
        QCOMPARE(evalJs(page(), "window.__calls.join(',')").toString(), QStringLiteral("1,1,1"));
        QVERIFY(rowText(1).contains(QStringLiteral("it's \"take\" \\ 1.wav")));
    }

    // Dropped outside every zone: the file's kind picks the zone; a file the bridge can carry
    // goes through it, a larger one through the page's own input after a click on the zone.
    void dropReachesItsZone_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("large");
        QTest::addColumn<QString>("zone");
        QTest::newRow("large, Correction") << "/correction" << "big.wav" << true << "correction";
        QTest::newRow("MXF, Cinema") << "/cinema" << "master.MXF" << false << "immDropZone";
        QTest::newRow("WAV, Cinema") << "/cinema" << "mix.wav" << false << "dropZone";
    }
    void dropReachesItsZone()
    {
        QFETCH(QString, path);
        QFETCH(QString, file);
        QFETCH(bool, large);
        QFETCH(QString, zone);
        const bool correction = path == u"/correction";
        openTab(m_server.url(path), correction);
        const QString local = m_files.filePath(file);
        QVERIFY(large ? makeSparseFile(local, 300LL * 1000 * 1000) : test::writeWav(local, 0.5));
        QSignalSpy injected(m_tab->dropBridge(), &DropBridge::bridgeInjected);
        QSignalSpy clicked(m_tab->dropBridge(), &DropBridge::clickPosted);
        QVERIFY(m_tab->webView()->performDrop({QUrl::fromLocalFile(local)}, QPointF(1, 1)));
        QVERIFY(waitUntil([&] { return queueRows(page()) == 1; }, std::chrono::seconds(20)));
        QCOMPARE(m_tab->dropBridge()->lastClickPoint().value_or(DropBridge::Target{}).id, zone);
        QCOMPARE(injected.size(), large ? 0 : 1);
        QCOMPARE(clicked.size(), large ? 1 : 0);
        QVERIFY2(rowText(1).contains(file), qPrintable(rowText(1)));
        QVERIFY(!m_tab->dropBridge()->pendingFiles());
    }

    // A large drop whose click goes unanswered: the first click and three retries 1.5 s apart, then
    // the files wait. A click on the chooser ten seconds later asks anew; a navigation drops them.
    void unansweredDropWaitsThenGoesStale()
    {
        openTab();
        const QString label = QStringLiteral("document.querySelector('label[for=files]')");
        evalJs(page(), "window.__block = function (e) { e.preventDefault(); };" + label
                           + ".addEventListener('click', window.__block);");
        int dialogs = 0;
        m_tab->dropBridge()->showDialog = [&](QWebEnginePage::FileSelectionMode, const QStringList &) {
            ++dialogs;
            return QStringList();
        };
        QSignalSpy clicked(m_tab->dropBridge(), &DropBridge::clickPosted);
        QVERIFY(m_tab->webView()->performDrop({QUrl::fromLocalFile(m_files.filePath("big.wav"))}, QPointF(10, 10)));
        QVERIFY(waitUntil([&] { return m_tab->dropBridge()->retryCount() == 4; }, std::chrono::seconds(15)));
        QCOMPARE(clicked.size(), 4);
        QVERIFY(logged("drop", "click retry 3"));
        QVERIFY(!logged("drop", "click retry 4"));
        QVERIFY(m_tab->dropBridge()->pendingFiles());
        QCOMPARE(queueRows(page()), 0);

        evalJs(page(), label + ".removeEventListener('click', window.__block);");
        m_tab->dropBridge()->setPendingDropTimestamp(QDateTime::currentDateTimeUtc().addSecs(-11));
        realClick(m_tab->webView(), centreOf(page(), "label[for=files]"));
        QVERIFY(waitUntil([&] { return dialogs == 1; }));
        QCOMPARE(queueRows(page()), 0);
        QVERIFY(m_tab->dropBridge()->pendingFiles());
        page()->triggerAction(QWebEnginePage::Reload);
        QVERIFY(waitUntil([&] { return !m_tab->dropBridge()->pendingFiles(); }));
        QVERIFY(logged("drop", "navigation invalidated pending drop"));
    }
};

HOPLIN_GUI_TEST_MAIN(TestWebTab)
#include "tst_webtab.moc"
