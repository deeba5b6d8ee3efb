#include "TestSupport.h"
#include "service/KeychainStore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QSignalSpy>
#include <QTest>
#include <qt6keychain/keychain.h>

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

private:
    static QDBusMessage secrets(const char *method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                           "org.freedesktop.Secret.Service", method);
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call);
    }

private slots:

    // A key in any script loads back as it was saved; an item another program left that is not
    // UTF-8 loads as no key at all, never as garbled text sent to the service.
    void nonAsciiKeyLoadsBack()
    {
        const QString key = QStringLiteral("ключ-🔑-clé");
        QCOMPARE(KeychainStore::save(key), Result::success());
        QCOMPARE(KeychainStore::load(), std::optional<QString>(key));

        QCOMPARE(KeychainStore::remove(), Result::success());
        QKeychain::WritePasswordJob job(QString::fromLatin1(KeychainStore::service));
        job.setAutoDelete(false);
        job.setKey(QString::fromLatin1(KeychainStore::account));
        job.setBinaryData(QByteArray("cl\xe9-latin1"));
        QSignalSpy written(&job, &QKeychain::Job::finished);
        job.start();
        QVERIFY(written.wait(20000) && job.error() == QKeychain::NoError);
        QCOMPARE(KeychainStore::load(), std::nullopt);
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

    // Last: the keyring stays locked. A locked keyring hides the item from a lookup and calls a
    // delete done while keeping it; "Clear" must not report the key forgotten then.
    void lockedKeyringKeepsTheKeyAndSaysSo()
    {
        QCOMPARE(KeychainStore::save(QStringLiteral("kept")), Result::success());
        const QDBusMessage alias = secrets("ReadAlias", {QStringLiteral("default")});
        QCOMPARE(alias.type(), QDBusMessage::ReplyMessage);
        const QDBusObjectPath collection = alias.arguments().constFirst().value<QDBusObjectPath>();
        QCOMPARE(secrets("Lock", {QVariant::fromValue(QList<QDBusObjectPath>{collection})}).type(),
                 QDBusMessage::ReplyMessage);

        const Result removed = KeychainStore::remove();
        QVERIFY(removed.isFailure());
        QCOMPARE(KeychainStore::troubleOf(removed.code()), KeychainStore::Trouble::Locked);
        QCOMPARE(KeychainStore::troubleOf(KeychainStore::save(QStringLiteral("new")).code()),
                 KeychainStore::Trouble::Locked);
        // Still stored, behind the lock, and nothing else left behind by the check.
        qDBusRegisterMetaType<QMap<QString, QString>>();
        const auto search = [](const char *account) {
            const QMap<QString, QString> attributes{{"server", KeychainStore::service}, {"user", account}};
            const QDBusMessage found = secrets("SearchItems", {QVariant::fromValue(attributes)});
            return std::pair(int(qdbus_cast<QList<QDBusObjectPath>>(found.arguments().value(0)).size()),
                             int(qdbus_cast<QList<QDBusObjectPath>>(found.arguments().value(1)).size()));
        };
        QCOMPARE(search(KeychainStore::account), std::pair(0, 1));
        QCOMPARE(search("client-key-probe"), std::pair(0, 0));
    }
};

HOPLIN_TEST_MAIN(TestKeychain)
#include "tst_keychain.moc"
