#include "TestSupport.h"
#include "service/KeychainStore.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using KeychainStore::Result;

// Without a working Secret Service every operation must come back with a failure (and load with
// none) instead of waiting for ever. Runs without the keyring wrapper, on a bus of its own making.
class TestKeychainNoDaemon : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        KeychainStore::setJobTimeout(std::chrono::milliseconds(1500));
    }

    // A bus that accepts the connection and never answers: only our own time-out ends the jobs.
    void silentBusTimesOut()
    {
        QLocalServer silent;
        QVERIFY(silent.listen(m_dir.filePath("silent")));
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + silent.fullServerName().toUtf8());

        QCOMPARE(KeychainStore::save(QStringLiteral("k")), Result::failure(KeychainStore::timedOutCode));
        QCOMPARE(KeychainStore::load(), std::nullopt);
        QCOMPARE(KeychainStore::remove(), Result::failure(KeychainStore::timedOutCode));
        // The store did reach the bus; it was only never answered.
        QVERIFY(silent.hasPendingConnections() || silent.waitForNewConnection(1000));
    }

private:
    QTemporaryDir m_dir;
};

HOPLIN_TEST_MAIN(TestKeychainNoDaemon)
#include "tst_keychainnodaemon.moc"
