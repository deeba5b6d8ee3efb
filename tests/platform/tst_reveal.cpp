#include "TestSupport.h"
#include "platform/ui/Desktop.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QProcess>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

// A file manager on a private bus that answers only when the test says so.
class FakeFileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
    QDBusMessage pending;
    QDBusConnection bus{QString()};

public slots:
    void ShowItems(const QStringList &uris, const QString &)
    {
        shown = uris;
        setDelayedReply(true);
        pending = message();
        bus = connection();
    }
};

// Takes the folder openings the fallback asks the desktop for.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class TestReveal : public QObject {
    Q_OBJECT

    QProcess m_daemon;
    QString m_address;

private slots:
    void initTestCase()
    {
        m_daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!m_daemon.waitForStarted(5000))
            QSKIP("dbus-daemon is not available");
        QVERIFY(test::waitUntil([&] { return m_daemon.canReadLine(); }, 5s));
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    void cleanupTestCase()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(3000);
    }

    // Returns before the file manager has even seen the call, and opens the folder when it fails.
    void revealDoesNotWaitAndFallsBack()
    {
        QDBusConnection service = QDBusConnection::connectToBus(m_address, "reveal-service");
        QDBusConnection caller = QDBusConnection::connectToBus(m_address, "reveal-caller");
        QVERIFY(service.isConnected() && caller.isConnected());
        FakeFileManager manager;
        QVERIFY(service.registerObject("/org/freedesktop/FileManager1", &manager, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService("org.freedesktop.FileManager1"));
        OpenedUrls opened;
        QDesktopServices::setUrlHandler("file", &opened, "open");

        desktop::revealInFileBrowser("/music/take 1.wav", caller);
        QVERIFY(manager.shown.isEmpty());
        QVERIFY(opened.urls.isEmpty());

        QVERIFY(test::waitUntil([&] { return !manager.shown.isEmpty(); }, 5s));
        QCOMPARE(manager.shown, QStringList{QUrl::fromLocalFile("/music/take 1.wav").toString()});
        manager.bus.send(manager.pending.createErrorReply(QDBusError::Failed, "no window"));
        QVERIFY(test::waitUntil([&] { return !opened.urls.isEmpty(); }, 5s));
        QCOMPARE(opened.urls, QList<QUrl>{QUrl::fromLocalFile("/music")});
        QDesktopServices::unsetUrlHandler("file");
    }
};

HOPLIN_GUI_TEST_MAIN(TestReveal)
#include "tst_reveal.moc"
