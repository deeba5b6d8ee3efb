#include "TestSupport.h"
#include "service/KeychainStore.h"

#include <QTest>
#include <QtConcurrent/QtConcurrentRun>

using namespace hoplin;
using KeychainStore::Result;

Q_DECLARE_METATYPE(Result)

class TestKeychain : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs a D-Bus session with a Secret Service (run through with-keyring.sh)");
        KeychainStore::setJobTimeout(std::chrono::seconds(20));
    }

    void cleanup() { KeychainStore::remove(); }

    void savedKeyLoadsBack_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("plain") << QStringLiteral("hk_live_4f9a2c");
        QTest::newRow("non-ASCII") << QStringLiteral("ключ-🔑-clé");
        QTest::newRow("inner spaces and newline") << QStringLiteral(" a b\nc ");
        // The store itself accepts an empty key; refusing one is the form's job.
        QTest::newRow("empty") << QString();
    }
    void savedKeyLoadsBack()
    {
        QFETCH(QString, key);
        QCOMPARE(KeychainStore::save(key), Result::success());
        const auto loaded = KeychainStore::load();
        QVERIFY(loaded.has_value());
        QCOMPARE(*loaded, key);
    }

    void savingReplacesRemovingTwiceFindsItGone()
    {
        QCOMPARE(KeychainStore::save(QStringLiteral("first")), Result::success());
        QCOMPARE(KeychainStore::save(QStringLiteral("second")), Result::success());
        QCOMPARE(KeychainStore::load(), std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(KeychainStore::remove(), Result::success());
        QCOMPARE(KeychainStore::load(), std::nullopt);
        QCOMPARE(KeychainStore::remove(), Result::alreadyAbsent());
    }

    // The Preferences window saves and removes on a pool thread, which has no running event loop.
    void worksOnAPoolThread()
    {
        auto saving = QtConcurrent::run([] { return KeychainStore::save(QStringLiteral("from a pool thread")); });
        QVERIFY(test::waitUntil([&] { return saving.isFinished(); }, std::chrono::seconds(30)));
        QCOMPARE(saving.result(), Result::success());
        QCOMPARE(KeychainStore::load(), std::optional<QString>(QStringLiteral("from a pool thread")));
        auto removing = QtConcurrent::run([] { return KeychainStore::remove(); });
        QVERIFY(test::waitUntil([&] { return removing.isFinished(); }, std::chrono::seconds(30)));
        QCOMPARE(removing.result(), Result::success());
    }
};

HOPLIN_TEST_MAIN(TestKeychain)
#include "tst_keychain.moc"
