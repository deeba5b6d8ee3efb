// The Convert page: its parts per state, cards, drops, the installer, and the queue as a model
// and view.
#include "ConvertTestUtil.h"
#include "convert/FFmpegLocator.h"
#include "convert/QueueModel.h"
#include "convert/ui/ConvertCard.h"
#include "convert/ui/ConvertPage.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "convert/ui/QueueView.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

// ffmpeg found in a fixed place, or nowhere; with `managed` the installer's copy counts too, as
// it does in the app.
void useFFmpeg(bool available, bool managed = false)
{
    FFmpegLocator::SearchPlaces places{managed ? FFmpegLocator::managedExecutable() : QString(), {}, QByteArray()};
    if (available)
        places.fixed = {QStandardPaths::findExecutable("ffmpeg")};
    FFmpegLocator::setSearchPlacesForTesting(places);
}

std::unique_ptr<SessionStore> signedInStore()
{
    auto store = std::make_unique<SessionStore>();
    test::signIn(*store);
    return store;
}

// The page shown as the window shows it; `active` while its tab is the one showing.
std::unique_ptr<ConvertPage> showPage(SessionStore &store, bool active = true)
{
    auto page = std::make_unique<ConvertPage>(store);
    page->setActive(active);
    page->resize(1100, 700);
    page->show();
    return page;
}

Preset ofKind(const QString &id, const QString &kind, const QString &command = test::pcmCommand)
{
    Preset preset = test::wavPreset(command, id);
    preset.kind = kind;
    return preset;
}

bool shown(QWidget *page, const char *name)
{
    QWidget *widget = page->findChild<QWidget *>(name);
    return widget && widget->isVisibleTo(page);
}

} // namespace

Q_DECLARE_METATYPE(hoplin::Preset)

class TestConvertPage : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_media;
    QString m_tone;

    QStringList emptyFiles(const QString &folder, int count)
    {
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            const QString path = m_media.filePath(QStringLiteral("%1/f%2.wav").arg(folder).arg(i, 3, 10, QChar('0')));
            test::writeFile(path);
            paths << path;
        }
        return paths;
    }
    static bool failAll(ConvertRunner &runner) { return test::runToEnd(runner, {test::wavPreset()}, "/bin/false"); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        m_tone = m_media.filePath("tone.wav");
        QVERIFY(test::synthesise(m_tone, "sine=frequency=440:duration=3"));
    }
    void init()
    {
        useFFmpeg(true);
        Settings::shared().remove(keys::ffmpegPathOverride);
        Settings::shared().remove(keys::conversionsAtOnce);
        Settings::shared().setValue(keys::autoStartConvert, true);
        Settings::shared().setValue(keys::exportLocation, "customFolder");
        Settings::shared().setValue(keys::exportFolderPath, m_media.path());
    }

    void visiblePartsPerState_data()
    {
        QTest::addColumn<bool>("ffmpeg");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("status");
        QTest::newRow("nothing") << false << false
                                 << "Sign in from the top-right connection menu to fetch the conversion scripts.";
        QTest::newRow("no ffmpeg") << false << true << "Install ffmpeg in Preferences to convert.";
        QTest::newRow("ready") << true << true << "Auto start on — drop files to convert.";
    }
    void visiblePartsPerState()
    {
        QFETCH(bool, ffmpeg);
        QFETCH(bool, signedIn);
        QFETCH(QString, status);
        useFFmpeg(ffmpeg);
        auto store = signedIn ? signedInStore() : std::make_unique<SessionStore>();
        auto page = showPage(*store, false);
        QCOMPARE(shown(page.get(), "ffmpegCard"), !ffmpeg);
        QCOMPARE(shown(page.get(), "signInHint"), !signedIn);
        QCOMPARE(shown(page.get(), "connectedArea"), signedIn);
        QCOMPARE(page->statusText(), status);
        QCOMPARE(page->outputLine(), "Output: " + m_media.path());
        if (signedIn) {
            QCOMPARE(page->cards().size(), 4); // the service offers every kind
            // A drop on a hidden page is meant for what shows above it: it is never queued here.
            page->dropOnCard({m_tone}, *page->m4aPreset());
            QVERIFY(page->runner().items().isEmpty());
        }
        // An ffmpeg chosen in Preferences counts at once.
        Settings::shared().setValue(keys::ffmpegPathOverride, test::realFFmpeg);
        QVERIFY(!shown(page.get(), "ffmpegCard"));
        QCOMPARE(page->ffmpeg(), std::optional<QString>(test::realFFmpeg));
    }

    void cardsFollowThePresetList_data()
    {
        QTest::addColumn<QList<Preset>>("presets");
        QTest::addColumn<QStringList>("cardKeys");
        QTest::addColumn<QStringList>("codecChoices");
        const Preset h264 = ofKind("h264", "video");
        const Preset videoNorm = ofKind("normalise-video-14lkfs", "video");
        const Preset oddVideo = ofKind("normalise-ish-video", "video");
        const Preset m4a = ofKind("m4a", "audio");
        const Preset n14 = ofKind("normalise-14", "normalise");
        QTest::newRow("all four") << QList<Preset>{h264, m4a, n14, videoNorm}
                                  << QStringList{"video", "m4a", "normalise-14", "normalise-video-14lkfs"}
                                  << QStringList{"h264"};
        QTest::newRow("no audio preset, no M4A card; normalise ids kept out of the codec picker")
            << QList<Preset>{oddVideo, h264, videoNorm, n14}
            << QStringList{"video", "normalise-14", "normalise-video-14lkfs"} << QStringList{"h264"};
        QTest::newRow("only normalise-looking video") << QList<Preset>{oddVideo} << QStringList{} << QStringList{};
    }
    void cardsFollowThePresetList()
    {
        QFETCH(QList<Preset>, presets);
        QFETCH(QStringList, cardKeys);
        QFETCH(QStringList, codecChoices);
        auto store = signedInStore();
        auto page = showPage(*store);
        store->setPresets(presets);
        QStringList keys;
        for (ConvertCard *card : page->cards())
            keys << card->look().key;
        QCOMPARE(keys, cardKeys);
        if (ConvertCard *video = page->card("video")) {
            QStringList choices;
            for (int i = 0; i < video->picker()->count(); ++i)
                choices << video->picker()->itemData(i).toString();
            QCOMPARE(choices, codecChoices);
        }
    }

    // With auto start off, Convert starts the run and stays disabled while it lasts.
    void autoStartOnAndOff_data()
    {
        QTest::addColumn<bool>("autoStart");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }
    void autoStartOnAndOff()
    {
        QFETCH(bool, autoStart);
        Settings::shared().setValue(keys::autoStartConvert, autoStart);
        auto store = signedInStore();
        auto page = showPage(*store);
        store->setPresets({ofKind("copy", "audio", "ffmpeg -v error -i {input} {output_base}.wav")});
        auto *convert = page->findChild<QPushButton *>("convertButton");
        QVERIFY(page->dropOnCard({m_tone}, *page->m4aPreset()));
        QCOMPARE(page->runner().isRunning(), autoStart);
        QCOMPARE(convert->isVisibleTo(page.get()), !autoStart);
        if (!autoStart) {
            QVERIFY(convert->isEnabled());
            QTest::mouseClick(convert, Qt::LeftButton);
            QVERIFY(page->runner().isRunning());
            QVERIFY(page->runner().hasPending()); // the file being converted
            QVERIFY(!convert->isEnabled());
            // Nor can the card's files be cleared from under the run.
            QList<QPushButton *> clears;
            for (ConvertCard *card : page->cards())
                if (card->clearButton()->isVisibleTo(card))
                    clears << card->clearButton();
            QCOMPARE(clears.size(), 1);
            QVERIFY(!clears.first()->isEnabled());
        }
        QVERIFY(test::waitUntil([&] { return !page->runner().isRunning(); }, 30s));
        QCOMPARE(page->runner().items().first().succeeded, std::optional<bool>(true));
        QVERIFY(!convert->isEnabled()); // nothing left to convert
        QFile::remove(*page->runner().items().first().output);
    }

    void progressLabel_data()
    {
        QTest::addColumn<double>("progress");
        QTest::addColumn<double>("remaining"); // negative: unknown
        QTest::addColumn<QString>("label");
        QTest::newRow("whole percents, never rounded up") << 0.996 << -1.0 << "99 %";
        QTest::newRow("beyond the end") << 1.2 << -1.0 << "100 %";
        QTest::newRow("seconds rounded up") << 0.5 << 58.2 << "50 % · about 59 s left";
        QTest::newRow("a minute") << 0.5 << 60.0 << "50 % · about 1 min 0 s left";
        QTest::newRow("minutes and seconds") << 0.25 << 125.0 << "25 % · about 2 min 5 s left";
    }
    void progressLabel()
    {
        QFETCH(double, progress);
        QFETCH(double, remaining);
        QFETCH(QString, label);
        QueueItem item;
        item.progress = progress;
        if (remaining >= 0)
            item.remainingSeconds = remaining;
        QCOMPARE(hoplin::progressLabel(item), label);
        item.progress.reset();
        QCOMPARE(hoplin::progressLabel(item), QString()); // unknown until ffmpeg reports
    }

    // The counts are kept up to date change by change, not recounted; the next run starts from a
    // retried item even though finished ones came before it.
    void countsFollowEveryChange()
    {
        ConvertRunner runner;
        runner.queue(emptyFiles("counts", 12), "wav");
        auto counts = [&] {
            const ConvertRunner::Counts kept = runner.counts();
            return QList<qsizetype>{kept.done, kept.failed, kept.pending};
        };
        QVERIFY(failAll(runner));
        QCOMPARE(counts(), (QList<qsizetype>{0, 12, 0}));
        runner.retry(runner.items()[3].id);
        runner.retry(runner.items()[9].id);
        QCOMPARE(counts(), (QList<qsizetype>{0, 10, 2}));
        QVERIFY(failAll(runner));
        QCOMPARE(counts(), (QList<qsizetype>{0, 12, 0}));
        QVERIFY(!runner.hasPending());
        runner.retry(runner.items()[9].id);
        runner.remove(runner.items()[9].id);
        QCOMPARE(counts(), (QList<qsizetype>{0, 11, 0}));
        runner.clearFinished();
        QCOMPARE(counts(), (QList<qsizetype>{0, 0, 0}));
        QVERIFY(runner.items().isEmpty());
    }

    void rowButtonsAct()
    {
        auto store = signedInStore();
        store->setPresets({test::wavPreset()});
        auto page = showPage(*store);
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
        ConvertRunner &runner = page->runner();
        QSignalSpy inserted(page->queueView()->model(), &QAbstractItemModel::rowsInserted);
        page->enqueue(emptyFiles("buttons", 3), store->presets().first());
        QCOMPARE(inserted.size(), 1); // the view learns of all three rows in one step
        QCOMPARE(inserted.first().at(2).toInt(), 2);
        QVERIFY(test::waitUntil([&] { return !runner.isRunning(); }, 30s)); // empty files fail
        QCOMPARE(runner.counts().failed, 3);

        QueueView *view = page->queueView();
        QTest::qWait(100); // the page lays out its new rows
        QVERIFY(view->isVisibleTo(page.get()));
        auto click = [&](int row) {
            const QRect button = QueueDelegate::buttonRect(view->visualRect(view->model()->index(row, 0)));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, button.center());
        };
        // Buttons do nothing while the page holds them back (it does during a run).
        view->setActionsEnabled(false);
        click(1);
        QCOMPARE(runner.counts().failed, 3);
        view->setActionsEnabled(true);
        // "Retry" on the second row: only that row is pending again, and auto start is not involved.
        Settings::shared().setValue(keys::autoStartConvert, false);
        click(1);
        QCOMPARE(runner.counts().pending, 1);
        QVERIFY(runner.items()[1].isPending());
        // Its button now reads "Remove".
        click(1);
        QCOMPARE(runner.items().size(), 2);
        QCOMPARE(runner.counts().failed, 2);
        // A click beside the button does nothing.
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(0, 0)).center());
        QCOMPARE(runner.counts().failed, 2);
    }

    // Two at once: the first two files convert side by side, each row with its own progress, the
    // third waits; Stop ends both and leaves no work folder.
    void twoAtOnceConvertSideBySide()
    {
        Settings::shared().setValue(keys::conversionsAtOnce, 2);
        auto store = signedInStore();
        store->setPresets({ofKind("slow", "audio",
                                  "ffmpeg -hide_banner -nostdin -y -re -i {input} -c:a pcm_s16le {output_base}.wav")});
        auto page = showPage(*store);
        QDir().mkpath(m_media.filePath("side"));
        for (const QString name : {"first", "second", "third"})
            QVERIFY(QFile::copy(m_tone, m_media.filePath("side/" + name + ".wav")));
        page->enqueue({m_media.filePath("side")}, store->presets().first());
        const QAbstractItemModel *model = page->queueView()->model();
        auto row = [&](int r, int role) { return model->index(r, 0).data(role); };
        QVERIFY(test::waitUntil(
            [&] { return row(0, QueueModel::ProgressRole).isValid() && row(1, QueueModel::ProgressRole).isValid(); },
            10s));
        QCOMPARE(row(0, QueueModel::StatusRole).toString(), QStringLiteral("Converting first.wav…"));
        QCOMPARE(row(1, QueueModel::StatusRole).toString(), QStringLiteral("Converting second.wav…"));
        QCOMPARE(row(2, QueueModel::StatusRole).toString(), QStringLiteral("Queued"));
        const QLabel *status = page->findChild<QLabel *>("statusLine");
        QVERIFY(test::waitUntil([&] { return status->text() == QStringLiteral("Converting second.wav and 1 more…"); }, 2s));

        QTest::mouseClick(page->findChild<QPushButton *>("stopButton"), Qt::LeftButton);
        QVERIFY(test::waitUntil([&] { return !page->runner().isRunning(); }, 10s));
        QCOMPARE(page->runner().statusLine(), QStringLiteral("Stopped — 3 files still queued."));
        QCOMPARE(test::entries(m_media.filePath("side")), (QStringList{"first.wav", "second.wav", "third.wav"}));
        QCOMPARE(test::entries(m_media.path()).filter(".hoplin-tmp"), QStringList());
    }

    void serviceAndFileTextIsNeverMarkup()
    {
        auto store = signedInStore();
        Preset remix = test::wavPreset(test::pcmCommand, "remix");
        remix.name = "<b>Remix</b>";
        store->setPresets({remix});
        auto page = showPage(*store);
        const QString file = m_media.filePath("markup/<i>take<b>.wav");
        test::writeFile(file);
        Settings::shared().setValue(keys::autoStartConvert, false);
        page->enqueue({file}, *page->m4aPreset());
        page->runner().setStatusLine("Could not refresh scripts: Server error 502: <html><h1>Bad gateway</h1></html>");
        QVERIFY(test::waitUntil([&] {
            for (QLabel *label : page->findChildren<QLabel *>())
                if (label->text().contains("Bad gateway"))
                    return true;
            return false;
        }, 2s));
        QStringList rendered;
        for (QLabel *label : page->findChildren<QLabel *>()) {
            if (label->text().contains(QRegularExpression("<[a-z/]")) && label->textFormat() != Qt::PlainText)
                rendered << label->text();
        }
        QVERIFY2(rendered.isEmpty(), qPrintable(rendered.join(" | ")));
        // The card lists the file by its name, as written.
        const QStringList shown = page->card("remix")->shownItems();
        QVERIFY2(shown.value(0).startsWith("<i>take<b>.wav"), qPrintable(shown.join(" | ")));
    }

    // Whichever way the installer ends, the page looks for ffmpeg again and starts what auto start
    // queued: after a copy adopted, and after a cancel that came once the copy had landed.
    void endingTheInstallerStartsQueuedFiles_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("adopted") << false;
        QTest::newRow("cancelled after the copy landed") << true;
    }
    void endingTheInstallerStartsQueuedFiles()
    {
        QFETCH(bool, cancelled);
        useFFmpeg(false, true);
        QFile::remove(FFmpegLocator::managedExecutable());
        auto store = signedInStore();
        store->setPresets({test::wavPreset()});
        auto page = showPage(*store);
        const QString tone = m_media.filePath(QStringLiteral("install-%1/tone.wav").arg(cancelled));
        QDir().mkpath(QFileInfo(tone).path());
        QVERIFY(QFile::copy(m_tone, tone));
        page->enqueue({tone}, *page->m4aPreset());
        QVERIFY(!page->runner().isRunning());

        page->openInstallSheet();
        const QString real = QStandardPaths::findExecutable("ffmpeg");
        if (cancelled) {
            useFFmpeg(true, true);
            page->installSheet()->reject();
        } else {
            page->installSheet()->adopt(real);
        }
        QVERIFY(test::waitUntil([&] { return page->runner().counts().done == 1; }, 60s));
        QCOMPARE(page->ffmpeg(), std::optional<QString>(cancelled ? real : FFmpegLocator::managedExecutable()));
        QVERIFY(!shown(page.get(), "ffmpegCard"));
        QFile::remove(*page->runner().items().first().output);
    }
};

HOPLIN_GUI_TEST_MAIN(TestConvertPage)
#include "tst_convertpage.moc"
