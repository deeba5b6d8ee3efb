#include "TestSupport.h"
#include "platform/Settings.h"

#include <QTest>

using namespace hoplin;

class TestSettings : public QObject {
    Q_OBJECT

    QString freshFile()
    {
        static int n = 0;
        return test::testHome() + QStringLiteral("/settings-%1.conf").arg(++n);
    }

private slots:
    void commandLineOverridesForOneRun_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("padded Yes") << QStringList{"app", "-hoplinDiag", " Yes\t"} << "hoplinDiag" << QVariant(true);
        QTest::newRow("false") << QStringList{"app", "-autoStartConvert", "false"} << "autoStartConvert"
                               << QVariant(false);
        QTest::newRow("after other arguments") << QStringList{"app", "file.wav", "-baseURL", "http://127.0.0.1:9/"}
                                               << "baseURL" << QVariant("http://127.0.0.1:9/");
        QTest::newRow("bad boolean keeps default")
            << QStringList{"app", "-autoStartConvert", "maybe"} << "autoStartConvert" << QVariant(true);
        QTest::newRow("number") << QStringList{"app", "-conversionsAtOnce", " 2"} << "conversionsAtOnce" << QVariant(2);
        QTest::newRow("bad number keeps default")
            << QStringList{"app", "-conversionsAtOnce", "two"} << "conversionsAtOnce" << QVariant(1);
        QTest::newRow("dangling switch ignored") << QStringList{"app", "-tab"} << "tab" << QVariant(QString());
    }
    void commandLineOverridesForOneRun()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, key);
        QFETCH(QVariant, expected);
        const QString file = freshFile();
        {
            Settings settings(file);
            settings.applyCommandLine(arguments);
            QCOMPARE(settings.value(key), expected);
        }
        // Nothing of it was written.
        Settings reread(file);
        QVERIFY(!reread.contains(key));
    }

    void overrideBeatsStoredUntilChanged()
    {
        Settings settings(freshFile());
        settings.setValue(keys::tab, QStringLiteral("convert"));
        settings.applyCommandLine({"app", "-tab", "cinema"});
        QCOMPARE(settings.string(keys::tab), QStringLiteral("cinema"));
        settings.setValue(keys::tab, QStringLiteral("analysis"));
        QCOMPARE(settings.string(keys::tab), QStringLiteral("analysis"));
    }
};

HOPLIN_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
