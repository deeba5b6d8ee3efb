#include "TestSupport.h"
#include "service/KeychainStore.h"

#include <QTest>

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

    void nonAsciiKeyLoadsBack()
    {
        const QString key = QStringLiteral("ключ-🔑-clé");
        QCOMPARE(KeychainStore::save(key), Result::success());
        QCOMPARE(KeychainStore::load(), std::optional<QString>(key));
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
};

HOPLIN_TEST_MAIN(TestKeychain)
#include "tst_keychain.moc"
