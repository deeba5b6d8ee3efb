#include "TestSupport.h"
#include "app/ui/PreferencesView.h"
#include "convert/FFmpegLocator.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "update/UpdateManager.h"

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
#include <QTest>
#include <atomic>

using namespace hoplin;
using KeychainStore::Result;

Q_DECLARE_METATYPE(Result)

namespace {

// A keyring stand-in that records what the form asked of it.
struct FakeKeychain {
    std::atomic<int> saves{0};
    std::atomic<int> removes{0};
    QString savedKey;
    Result saveResult = Result::success();
    Result removeResult = Result::success();
    std::optional<QString> stored;

    KeychainAccess access()
    {
        return {[this](const QString &key) {
                    ++saves;
                    savedKey = key;
                    return saveResult;
                },
                [this] { return stored; },
                [this] {
                    ++removes;
                    return removeResult;
                }};
    }
};

void setSetting(const char *key, const QVariant &value)
{
    Settings::shared().setValue(QLatin1String(key), value);
}

template <typename T> T *child(QWidget &view, const char *name)
{
    auto *found = view.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

QString text(QWidget &view, const char *name)
{
    return child<QLabel>(view, name)->text();
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

    void rememberRefusesABlankKey_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("nothing") << QString();
        QTest::newRow("tabs and line breaks") << QStringLiteral(" \t\n\r\n ");
    }
    void rememberRefusesABlankKey()
    {
        QFETCH(QString, typed);
        child<QLineEdit>(*m_view, "keyField")->setText(typed);
        test::runTask(m_view->remember());
        QCOMPARE(text(*m_view, "keyNote"), QStringLiteral("Enter a client key first."));
        QCOMPARE(m_keychain->saves.load(), 0);
    }

    // Notes appear under their section; the form grows instead of squeezing its captions.
    void formGrowsWhenANoteAppears()
    {
        m_view->resize(600, 420);
        m_view->show();
        auto *content = child<QWidget>(*m_view, "preferencesContent");
        const int before = content->height();
        child<QCheckBox>(*m_view, "loggingSwitch")->click();
        test::runTask(m_view->remember());
        QTRY_VERIFY(content->height() > before);
        QCOMPARE(content->height(), content->layout()->totalHeightForWidth(content->width()));
    }

    void keyringOutcomesAreWorded_data()
    {
        QTest::addColumn<bool>("remember");
        QTest::addColumn<Result>("result");
        QTest::addColumn<QString>("note");
        QTest::addColumn<QString>("fieldAfter");
        QTest::newRow("saved") << true << Result::success()
                               << "Saved — the app connects with this key automatically on launch."
                               << "  key-1 \t";
        QTest::newRow("save refused") << true << Result::failure(7)
                                      << "Could not save: the keyring reported an error (7)."
                                      << "  key-1 \t";
        QTest::newRow("removed") << false << Result::success() << "Removed — the app will no longer auto-connect."
                                 << "";
        QTest::newRow("nothing was stored")
            << false << Result::alreadyAbsent() << "Removed — the app will no longer auto-connect."
            << "";
        QTest::newRow("remove refused") << false << Result::failure(4)
                                        << "Could not remove: the keyring reported an error (4)."
                                        << "";
    }
    void keyringOutcomesAreWorded()
    {
        QFETCH(bool, remember);
        QFETCH(Result, result);
        QFETCH(QString, note);
        QFETCH(QString, fieldAfter);
        m_keychain->saveResult = result;
        m_keychain->removeResult = result;
        child<QLineEdit>(*m_view, "keyField")->setText(QStringLiteral("  key-1 \t"));
        test::runTask(remember ? m_view->remember() : m_view->clear());
        QCOMPARE(text(*m_view, "keyNote"), note);
        QCOMPARE(child<QLineEdit>(*m_view, "keyField")->text(), fieldAfter);
        QCOMPARE(m_keychain->saves.load(), remember ? 1 : 0);
        QCOMPARE(m_keychain->removes.load(), remember ? 0 : 1);
        if (remember)
            QCOMPARE(m_keychain->savedKey, QStringLiteral("key-1"));
        QVERIFY(child<QPushButton>(*m_view, "rememberButton")->isEnabled());
        QVERIFY(child<QPushButton>(*m_view, "clearButton")->isEnabled());
    }

    void shownFormFillsTheRememberedKey()
    {
        m_keychain->stored = QStringLiteral("remembered-key");
        m_view->show();
        QTRY_COMPARE(child<QLineEdit>(*m_view, "keyField")->text(), QStringLiteral("remembered-key"));
    }

    void logSizeIsSummarised_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("size");
        QTest::newRow("5 MiB") << qint64(5242880) << "5 MB";
        QTest::newRow("one byte short of 1 MiB") << qint64(1048575) << "1023 KB";
        QTest::newRow("exactly 1 MiB") << qint64(1048576) << "1 MB";
        QTest::newRow("exactly 1 KiB") << qint64(1024) << "1 KB";
        QTest::newRow("one byte short of 1 KiB") << qint64(1023) << "1023 B";
        QTest::newRow("missing file") << qint64(-1) << "0 B";
    }
    void logSizeIsSummarised()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, size);
        const QString path = m_logger->logFilePath();
        if (bytes >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(bytes));
        }
        QCOMPARE(m_view->logSummary(), QStringLiteral("%1 (%2)").arg(path, size));
    }

    void switchingLoggingOffWritesALastLine()
    {
        setSetting(keys::hoplinDiag, true);
        m_logger->startIfEnabled();
        auto *logging = child<QCheckBox>(*m_view, "loggingSwitch");
        QVERIFY(logging->isChecked());

        logging->click();
        QVERIFY(!Settings::shared().boolean(QLatin1String(keys::hoplinDiag)));
        QCOMPARE(text(*m_view, "diagnosticsNote"), QStringLiteral("Logging off."));
        m_logger->log(QStringLiteral("app"), QStringLiteral("not recorded while off"));
        m_logger->flush();
        QFile file(m_logger->logFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        QVERIFY2(lines.last().endsWith("[diagnostics] disabled from Preferences"), lines.last().constData());

        logging->click();
        QVERIFY(Settings::shared().boolean(QLatin1String(keys::hoplinDiag)));
        QCOMPARE(text(*m_view, "diagnosticsNote"),
                 QStringLiteral("Logging on — everything the app does is now recorded."));
        m_logger->flush();
        file.seek(0);
        QVERIFY(file.readAll().trimmed().endsWith("[diagnostics] enabled from Preferences"));
    }

    void outputSectionFollowsItsSettings_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("folderShown");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("caption");
        const QString intoFolder = QStringLiteral(
            "Converted files are written into this folder (unique names are used to avoid overwriting).");
        QTest::newRow("chosen folder, none chosen") << "customFolder"
                                                    << "" << true << "No folder chosen" << intoFolder;
        QTest::newRow("chosen folder") << "customFolder"
                                       << "/srv/out" << true << "/srv/out" << intoFolder;
        QTest::newRow("next to the source") << "sameAsSource"
                                            << "/srv/out" << false << "/srv/out"
                                            << "Converted files are written next to each source file.";
        QTest::newRow("unknown value means next to the source")
            << "elsewhere"
            << "" << false << "No folder chosen"
            << "Converted files are written next to each source file.";
    }
    void outputSectionFollowsItsSettings()
    {
        QFETCH(QString, location);
        QFETCH(QString, folder);
        QFETCH(bool, folderShown);
        QFETCH(QString, path);
        QFETCH(QString, caption);
        m_view->show();
        // Changed elsewhere while the window is open: the form follows without reopening.
        setSetting(keys::exportFolderPath, folder);
        setSetting(keys::exportLocation, location);
        QCOMPARE(child<QRadioButton>(*m_view, "customFolderRadio")->isChecked(), location == u"customFolder");
        QCOMPARE(child<QPushButton>(*m_view, "chooseFolderButton")->isVisible(), folderShown);
        QCOMPARE(text(*m_view, "folderPath"), path);
        QCOMPARE(text(*m_view, "outputCaption"), caption);
    }

    void radioGroupWritesTheLocation()
    {
        m_view->show();
        child<QRadioButton>(*m_view, "customFolderRadio")->click();
        QCOMPARE(Settings::shared().string(QLatin1String(keys::exportLocation)), QStringLiteral("customFolder"));
        QVERIFY(child<QPushButton>(*m_view, "chooseFolderButton")->isVisible());
        child<QRadioButton>(*m_view, "sameAsSourceRadio")->click();
        QCOMPARE(Settings::shared().string(QLatin1String(keys::exportLocation)), QStringLiteral("sameAsSource"));
    }

    void installingFFmpegHidesTheBannerAndButton()
    {
        m_view->show();
        auto *banner = child<QWidget>(*m_view, "ffmpegBanner");
        auto *install = child<QPushButton>(*m_view, "installButton");
        QVERIFY(banner->isVisible());
        QVERIFY(install->isVisible());
        QCOMPARE(text(*m_view, "binaryLabel"),
                 QStringLiteral("Binary: (not found — use Install FFmpeg on the Convert page)"));

        // Both buttons open the installer sheet.
        child<QPushButton>(*m_view, "bannerInstallButton")->click();
        QVERIFY(m_view->installSheet());
        m_view->installSheet()->reject();
        QTRY_VERIFY(!m_view->installSheet());
        install->click();
        QVERIFY(m_view->installSheet());

        QSignalSpy installed(m_view.get(), &PreferencesView::ffmpegInstalled);
        const QString fake = writeFakeFFmpeg(m_dir.filePath(QStringLiteral("ffmpeg-candidate")));
        m_view->installSheet()->adopt(fake);
        QTRY_COMPARE(installed.size(), 1);
        QCOMPARE(installed.first().first().toString(), FFmpegLocator::managedExecutable());
        QTRY_VERIFY(!banner->isVisible());
        QVERIFY(!install->isVisible());
        QCOMPARE(text(*m_view, "binaryLabel"), QStringLiteral("Binary: ") + FFmpegLocator::managedExecutable());
        QTRY_COMPARE(text(*m_view, "versionLabel"),
                     QStringLiteral("ffmpeg version 9.9-test Copyright (c) the testers"));
        QVERIFY(child<QLabel>(*m_view, "versionLabel")->isVisible());
    }

    void overrideFieldWritesAndResets()
    {
        m_view->show();
        const QString fake = writeFakeFFmpeg(m_dir.filePath(QStringLiteral("ffmpeg-override")));
        child<QLineEdit>(*m_view, "overrideField")->setText(fake);
        QCOMPARE(Settings::shared().string(QLatin1String(keys::ffmpegPathOverride)), fake);
        QCOMPARE(text(*m_view, "binaryLabel"), QStringLiteral("Binary: ") + fake);
        QVERIFY(!child<QWidget>(*m_view, "ffmpegBanner")->isVisible());

        child<QPushButton>(*m_view, "resetOverrideButton")->click();
        QVERIFY(!Settings::shared().contains(QLatin1String(keys::ffmpegPathOverride)));
        QVERIFY(child<QWidget>(*m_view, "ffmpegBanner")->isVisible());
    }

    void exportWordsItsOutcome_data()
    {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("note");
        QTest::newRow("written") << true << "Exported — attach hoplin-logs-test.txt to your report.";
        QTest::newRow("folder missing") << false << "Export failed.";
    }
    void exportWordsItsOutcome()
    {
        QFETCH(bool, writable);
        QFETCH(QString, note);
        const QString path = writable ? m_dir.filePath(QStringLiteral("hoplin-logs-test.txt"))
                                      : m_dir.filePath(QStringLiteral("missing/hoplin-logs-test.txt"));
        test::runTask(m_view->exportLog(path));
        QCOMPARE(text(*m_view, "diagnosticsNote"), note);
        QCOMPARE(QFile::exists(path), writable);
    }

    void updatesSectionFollowsTheUpdater()
    {
        PreferencesView *view = PreferencesWindowController::shared().view();
        auto *check = child<QPushButton>(*view, "checkUpdatesButton");
        QVERIFY(check->isEnabled());
        QCOMPARE(text(*view, "updateStatus"), QStringLiteral("Checks the Hoplin VPS for a newer version."));

        Manifest manifest;
        manifest.version = QStringLiteral("1.3.0");
        manifest.build = 31;
        UpdateManager &updates = UpdateManager::shared();
        updates.setPhaseForTesting(Phase::available(manifest));
        QCOMPARE(text(*view, "updateStatus"), QStringLiteral("Version 1.3.0 (build 31) is available."));
        updates.setPhaseForTesting(Phase::error(QStringLiteral("The update server could not be reached.")));
        QCOMPARE(text(*view, "updateStatus"), QStringLiteral("The update server could not be reached."));
        updates.setPhaseForTesting(Phase::upToDate());
        QCOMPARE(text(*view, "updateStatus"), QStringLiteral("You're up to date."));
        updates.setPhaseForTesting(Phase::idle());
        QCOMPARE(text(*view, "updateStatus"), QStringLiteral("Checks the Hoplin VPS for a newer version."));
    }

    void windowIsReused()
    {
        auto &controller = PreferencesWindowController::shared();
        controller.show();
        QWidget *first = controller.window();
        QCOMPARE(first->windowTitle(), QStringLiteral("Hoplin Desktop Settings"));
        QCOMPARE(first->size(), QSize(600, 420));
        first->close();
        QVERIFY(!first->isVisible());
        controller.show();
        QCOMPARE(controller.window(), first);
        QVERIFY(first->isVisible());
        first->close();
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
