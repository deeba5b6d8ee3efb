#include "TestSupport.h"
#include "service/KeychainStore.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>

using namespace hoplin;
using KeychainStore::Result;

Q_DECLARE_METATYPE(Result)

namespace {

QDBusArgument stringMap(const QMap<QString, QString> &map)
{
    QDBusArgument argument;
    argument.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    for (auto it = map.begin(); it != map.end(); ++it) {
        argument.beginMapEntry();
        argument << it.key() << it.value();
        argument.endMapEntry();
    }
    argument.endMap();
    return argument;
}

QDBusMessage secretCall(const QString &path, const QString &interface, const QString &method,
                        const QVariantList &arguments)
{
    auto call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"), path, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

// Writes the store's item with raw bytes over the Secret Service protocol, as another program
// could; `type` is the encoding mark the keychain library reads back ("plaintext" or "base64").
bool writeRawItem(const QByteArray &bytes, const QString &type)
{
    const auto session = secretCall(QStringLiteral("/org/freedesktop/secrets"),
                                    QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("OpenSession"),
                                    {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
    if (session.type() != QDBusMessage::ReplyMessage)
        return false;
    const auto sessionPath = qdbus_cast<QDBusObjectPath>(session.arguments().at(1));

    QVariantMap properties;
    properties.insert(QStringLiteral("org.freedesktop.Secret.Item.Label"), QStringLiteral("raw"));
    properties.insert(
        QStringLiteral("org.freedesktop.Secret.Item.Attributes"),
        QVariant::fromValue(stringMap({{QStringLiteral("server"), KeychainStore::service},
                                       {QStringLiteral("user"), KeychainStore::account},
                                       {QStringLiteral("type"), type},
                                       {QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain")}})));
    QDBusArgument secret;
    secret.beginStructure();
    secret << sessionPath << QByteArray() << bytes << QStringLiteral("text/plain");
    secret.endStructure();
    const auto created = secretCall(QStringLiteral("/org/freedesktop/secrets/aliases/default"),
                                    QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("CreateItem"),
                                    {properties, QVariant::fromValue(secret), true});
    return created.type() == QDBusMessage::ReplyMessage;
}

} // namespace

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

    // Items as another program could write them: valid UTF-8 loads, anything else loads as none.
    void rawItemLoads_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("loaded"); // null: none
        const auto base64 = QStringLiteral("base64");
        const auto plain = QStringLiteral("plaintext");
        QTest::newRow("valid text") << QByteArray("caf\xc3\xa9") << plain << QStringLiteral("café");
        // Cut at the end: only a decoder that keeps no state between calls calls it an error.
        QTest::newRow("truncated sequence") << QByteArray("ab\xe2\x82") << plain << QString();
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << plain << QString();
        QTest::newRow("latin-1 text, base64 marked") << QByteArray("caf\xe9").toBase64() << base64 << QString();
    }
    void rawItemLoads()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, type);
        QFETCH(QString, loaded);
        QVERIFY(writeRawItem(bytes, type));
        QCOMPARE(KeychainStore::load(), loaded.isNull() ? std::nullopt : std::optional(loaded));
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
