#include "AppTestUtil.h"
#include "TestSupport.h"
#include "app/ui/PreferencesView.h"
#include "convert/FFmpegLocator.h"
#include "convert/Preferences.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QSpinBox>
#include <QTest>
#include <QThread>
#include <atomic>

using namespace hoplin;
using test::child;
using KeychainStore::Result;

Q_DECLARE_METATYPE(Result)

namespace {

// A keyring stand-in that records what the form asked of it.
struct FakeKeychain {
    std::atomic<int> saves{0};
    std::atomic<int> removes{0};
    QString savedKey;
    Result result = Result::success();
    std::optional<QString> stored;

    KeychainAccess access()
    {
        return {[this](const QString &key) {
                    ++saves;
                    savedKey = key;
                    return result;
                },
                [this] { return stored; },
                [this] {
                    ++removes;
                    return result;
                }};
    }
};

QString setting(const char *key)
{
    return Settings::shared().string(QLatin1String(key));
}

// An executable that answers "-version" as ffmpeg does.
QString writeFakeFFmpeg(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("#!/bin/sh\necho 'ffmpeg version 9.9-test Copyright (c) the testers'\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

} // namespace

class TestPreferences : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void init()
    {
        m_logDir = std::make_unique<QTemporaryDir>();
        m_logger = std::make_unique<DiagnosticsLogger>(m_logDir->path(), nullptr);
        m_keychain = std::make_unique<FakeKeychain>();
        for (const char *key :
             {keys::exportLocation, keys::exportFolderPath, keys::ffmpegPathOverride, keys::hoplinDiag})
            Settings::shared().remove(QLatin1String(key));
        // A machine with no ffmpeg unless a test installs one.
        FFmpegLocator::setSearchPlacesForTesting(
            FFmpegLocator::SearchPlaces{FFmpegLocator::managedExecutable(), {}, std::nullopt});
        QFile::remove(FFmpegLocator::managedExecutable());
        m_view = std::make_unique<PreferencesView>(m_keychain->access(), *m_logger);
    }

    void cleanup()
    {
        m_view.reset();
        m_logger.reset();
        FFmpegLocator::setSearchPlacesForTesting(std::nullopt);
    }

    void keyringOutcomesAreWorded_data()
    {
        QTest::addColumn<bool>("remember");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<Result>("result");
        QTest::addColumn<QString>("note");
        QTest::addColumn<QString>("saved"); // what reached the keyring; empty: nothing
        QTest::addColumn<QString>("fieldAfter");
        const QString key = QStringLiteral("  key-1 \t");
        const QString removed = QStringLiteral("Removed — the app will no longer auto-connect.");
        QTest::newRow("saved") << true << key << Result::success()
                               << "Saved — the app connects with this key automatically on launch." << "key-1" << key;
        // The keyring library's codes: 4 locked, 7 no service, 3 denied, -1 our time-out.
        QTest::newRow("save: no service") << true << key << Result::failure(7)
                                          << "Could not save: no keyring service is running." << "key-1" << key;
        QTest::newRow("save: denied") << true << key << Result::failure(3)
                                      << "Could not save: the keyring denied the request." << "key-1" << key;
        QTest::newRow("save: other") << true << key << Result::failure(2)
                                     << "Could not save: the keyring reported an error (2)." << "key-1" << key;
        const QString blank = QStringLiteral(" \t\n\r\n ");
        QTest::newRow("blank key") << true << blank << Result::success() << "Enter a client key first." << ""
                                   << blank;
        QTest::newRow("removed") << false << key << Result::success() << removed << "" << "";
        QTest::newRow("nothing was stored") << false << key << Result::alreadyAbsent() << removed << "" << "";
        QTest::newRow("remove: locked") << false << key << Result::failure(4)
                                        << "Could not remove: your keyring is locked. Unlock it, then try again."
                                        << "" << "";
        QTest::newRow("remove: timed out") << false << key << Result::failure(-1)
                                           << "Could not remove: the keyring did not answer in time." << "" << "";
    }
    void keyringOutcomesAreWorded()
    {
        QFETCH(bool, remember);
        QFETCH(QString, typed);
        QFETCH(Result, result);
        QFETCH(QString, note);
        QFETCH(QString, saved);
        QFETCH(QString, fieldAfter);
        m_keychain->result = result;
        child<QLineEdit>(*m_view, "keyField")->setText(typed);
        test::runTask(remember ? m_view->remember() : m_view->clear());
        QCOMPARE(test::labelText(*m_view, "keyNote"), note);
        QCOMPARE(child<QLineEdit>(*m_view, "keyField")->text(), fieldAfter);
        QCOMPARE(m_keychain->saves.load(), saved.isEmpty() ? 0 : 1);
        QCOMPARE(m_keychain->savedKey, saved);
        QCOMPARE(m_keychain->removes.load(), remember ? 0 : 1);
        QVERIFY(child<QPushButton>(*m_view, "rememberButton")->isEnabled());
        QVERIFY(child<QPushButton>(*m_view, "clearButton")->isEnabled());
    }

    void shownFormFillsTheRememberedKey()
    {
        m_keychain->stored = QStringLiteral("remembered-key");
        m_view->show();
        QTRY_COMPARE(child<QLineEdit>(*m_view, "keyField")->text(), QStringLiteral("remembered-key"));
    }

    void switchingLoggingOffWritesALastLine()
    {
        Settings::shared().setValue(QLatin1String(keys::hoplinDiag), true);
        m_logger->startIfEnabled();
        auto *logging = child<QCheckBox>(*m_view, "loggingSwitch");
        QVERIFY(logging->isChecked());

        logging->click();
        QVERIFY(!Settings::shared().boolean(QLatin1String(keys::hoplinDiag)));
        m_logger->log(QStringLiteral("app"), QStringLiteral("not recorded while off"));
        m_logger->flush();
        QVERIFY(test::contents(m_logger->logFilePath()).trimmed().endsWith("[diagnostics] disabled from Preferences"));

        logging->click();
        QVERIFY(Settings::shared().boolean(QLatin1String(keys::hoplinDiag)));
        m_logger->flush();
        QVERIFY(test::contents(m_logger->logFilePath()).trimmed().endsWith("[diagnostics] enabled from Preferences"));
    }

    void outputSectionFollowsItsSettings_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("path");
        QTest::newRow("chosen folder, none chosen") << "customFolder" << "" << "No folder chosen";
        QTest::newRow("next to the source") << "sameAsSource" << "/srv/out" << "/srv/out";
    }
    void outputSectionFollowsItsSettings()
    {
        QFETCH(QString, location);
        QFETCH(QString, folder);
        QFETCH(QString, path);
        m_view->show();
        // Changed elsewhere while the window is open: the form follows without reopening.
        Settings::shared().setValue(QLatin1String(keys::exportFolderPath), folder);
        Settings::shared().setValue(QLatin1String(keys::exportLocation), location);
        const bool custom = location == u"customFolder";
        QCOMPARE(child<QRadioButton>(*m_view, "customFolderRadio")->isChecked(), custom);
        QCOMPARE(child<QPushButton>(*m_view, "chooseFolderButton")->isVisible(), custom);
        QCOMPARE(test::labelText(*m_view, "folderPath"), path);

        // The other choice, clicked, is written back.
        const QString other = custom ? QStringLiteral("sameAsSource") : QStringLiteral("customFolder");
        child<QRadioButton>(*m_view, other + QStringLiteral("Radio"))->click();
        QCOMPARE(setting(keys::exportLocation), other);
        QCOMPARE(child<QPushButton>(*m_view, "chooseFolderButton")->isVisible(), !custom);
    }

    // "Conversions at once" stays between one and the number of cores, whatever is stored or
    // given at launch; the spin box writes what the user picks.
    void conversionsAtOnceKeptWithinTheCores()
    {
        const int cores = std::max(1, QThread::idealThreadCount());
        m_view->show();
        auto *box = child<QSpinBox>(*m_view, "conversionsAtOnce");
        for (const auto &[stored, used] : {std::pair{"0", 1}, std::pair{"999", cores}}) {
            Settings::shared().setValue(QLatin1String(keys::conversionsAtOnce), stored);
            QCOMPARE(Preferences::conversionsAtOnce(), used);
            QCOMPARE(box->value(), used);
        }
        QCOMPARE(box->maximum(), cores);
        box->setValue(1);
        QCOMPARE(Preferences::conversionsAtOnce(), 1);
        Settings::shared().remove(QLatin1String(keys::conversionsAtOnce));
    }

    // The ffmpeg section follows the binary in use: a typed override, then one installed
    // through the sheet that either button opens.
    void ffmpegSectionFollowsTheBinary()
    {
        m_view->show();
        auto *banner = child<QWidget>(*m_view, "ffmpegBanner");
        QVERIFY(banner->isVisible());

        const QString fake = writeFakeFFmpeg(m_dir.filePath(QStringLiteral("ffmpeg-override")));
        child<QLineEdit>(*m_view, "overrideField")->setText(fake);
        QCOMPARE(setting(keys::ffmpegPathOverride), fake);
        QCOMPARE(test::labelText(*m_view, "binaryLabel"), QStringLiteral("Binary: ") + fake);
        QVERIFY(!banner->isVisible());
        child<QPushButton>(*m_view, "resetOverrideButton")->click();
        QVERIFY(!Settings::shared().contains(QLatin1String(keys::ffmpegPathOverride)));
        QVERIFY(banner->isVisible());

        child<QPushButton>(*m_view, "bannerInstallButton")->click();
        QVERIFY(m_view->installSheet());
        QSignalSpy installed(m_view.get(), &PreferencesView::ffmpegInstalled);
        m_view->installSheet()->adopt(writeFakeFFmpeg(m_dir.filePath(QStringLiteral("ffmpeg-candidate"))));
        QTRY_COMPARE(installed.size(), 1);
        QCOMPARE(installed.first().first().toString(), FFmpegLocator::managedExecutable());
        QTRY_VERIFY(!banner->isVisible());
        QCOMPARE(test::labelText(*m_view, "binaryLabel"), QStringLiteral("Binary: ") + FFmpegLocator::managedExecutable());
    }

    void failedExportSaysSo()
    {
        test::runTask(m_view->exportLog(m_dir.filePath("missing/hoplin-logs-test.txt")));
        QCOMPARE(test::labelText(*m_view, "diagnosticsNote"), QStringLiteral("Export failed."));
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_logDir;
    std::unique_ptr<DiagnosticsLogger> m_logger;
    std::unique_ptr<FakeKeychain> m_keychain;
    std::unique_ptr<PreferencesView> m_view;
};

HOPLIN_GUI_TEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
