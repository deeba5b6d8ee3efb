#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/FFmpegLocator.h"
#include "convert/MediaScanner.h"
#include "convert/QueueModel.h"
#include "convert/ui/ConvertCard.h"
#include "convert/ui/ConvertPage.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "convert/ui/QueueView.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

Preset makePreset(const QString &id, const QString &name, const QString &command)
{
    Preset preset;
    preset.id = id;
    preset.name = name;
    preset.kind = "audio";
    preset.suffix = "_q";
    preset.outputExt = ".wav";
    preset.command = command;
    return preset;
}

const QString copyCommand = "ffmpeg -v error -nostdin -y -i {input} -c:a pcm_s16le {output_base}.wav";

// ffmpeg found (or not) only where the managed copy goes: what an installation changes.
void stageFFmpeg(bool present)
{
    FFmpegLocator::SearchPlaces places{FFmpegLocator::managedExecutable(), {}, QByteArray()};
    if (present)
        places.fixed = {QStandardPaths::findExecutable("ffmpeg")};
    FFmpegLocator::setSearchPlacesForTesting(places);
}

ConvertRunner::Counts recount(const ConvertRunner &runner)
{
    ConvertRunner::Counts counts;
    for (const QueueItem &item : runner.items())
        ++(!item.succeeded ? counts.pending : *item.succeeded ? counts.done : counts.failed);
    return counts;
}

} // namespace

// The Convert queue as a model and view, and the page around it.
class TestConvertQueue : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_media;

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
    static bool failAll(ConvertRunner &runner)
    {
        runner.run({makePreset("p", "P", copyCommand)}, "/bin/false", nullptr);
        return test::waitUntil([&] { return !runner.isRunning(); }, 30s);
    }
    std::unique_ptr<SessionStore> signedInStore()
    {
        auto store = std::make_unique<SessionStore>();
        test::runTask(store->connect(test::LocalServer::demoKey));
        return store;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        QVERIFY(test::sineWav(m_media.filePath("tone.wav"), 0.3));
    }
    void init()
    {
        stageFFmpeg(true);
        Settings::shared().setValue(keys::autoStartConvert, true);
        Settings::shared().remove(keys::exportLocation);
    }

    void oneChangeAnnouncesOneRow()
    {
        ConvertRunner runner;
        QueueModel model(runner);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        runner.queue({m_media.filePath("rows")}, "p"); // an empty folder: nothing
        emptyFiles("rows", 40);
        runner.queue({m_media.filePath("rows")}, "p");
        QCOMPARE(inserted.size(), 1); // forty files, one insertion
        QCOMPARE(model.rowCount(), 40);
        QVERIFY(failAll(runner));

        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        runner.retry(runner.items()[17].id);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first()[0].toModelIndex().row(), 17);
        QCOMPARE(changed.first()[1].toModelIndex().row(), 17);
        QCOMPARE(model.index(17).data(QueueModel::StatusRole).toString(), QStringLiteral("Queued"));
        QCOMPARE(QueueModel::Action(model.index(17).data(QueueModel::ActionRole).toInt()), QueueModel::Action::Remove);
        QCOMPARE(QueueModel::Action(model.index(16).data(QueueModel::ActionRole).toInt()), QueueModel::Action::Retry);
    }

    void countsFollowEveryChange()
    {
        ConvertRunner runner;
        runner.queue(emptyFiles("counts", 12), "p");
        auto same = [&] {
            const auto kept = runner.counts(), real = recount(runner);
            return kept.done == real.done && kept.failed == real.failed && kept.pending == real.pending;
        };
        QVERIFY(same());
        QVERIFY(failAll(runner));
        QVERIFY(same());
        QCOMPARE(runner.counts().failed, 12);
        runner.retry(runner.items()[3].id);
        runner.retry(runner.items()[9].id);
        runner.remove(runner.items()[9].id);
        QVERIFY(same());
        QCOMPARE(runner.counts().pending, 1);
        QVERIFY(runner.hasPending());
        runner.clearFinished();
        QVERIFY(same());
        QCOMPARE(runner.items().size(), 1);
        // The next run starts from the retried item even though finished ones came before it.
        QVERIFY(failAll(runner));
        QVERIFY(!runner.hasPending());
        QVERIFY(same());
    }

    void rowButtonsAct()
    {
        auto store = signedInStore();
        store->setPresets({makePreset("p", "Copy", copyCommand)});
        ConvertPage page(*store);
        page.setActive(true);
        page.resize(1100, 700);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        ConvertRunner &runner = page.runner();
        page.enqueue(emptyFiles("buttons", 3), store->presets().first());
        QVERIFY(test::waitUntil([&] { return !runner.isRunning(); }, 30s)); // empty files fail
        QCOMPARE(runner.counts().failed, 3);

        QueueView *view = page.queueView();
        QTest::qWait(100); // the page lays out its new rows
        QVERIFY(view->isVisibleTo(&page));
        auto click = [&](int row) {
            const QRect button = QueueDelegate::buttonRect(view->visualRect(view->model()->index(row, 0)));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, button.center());
        };
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

    void serviceAndFileTextIsNeverMarkup()
    {
        auto store = signedInStore();
        store->setPresets({makePreset("remix", "<b>Remix</b>", copyCommand)});
        ConvertPage page(*store);
        page.setActive(true);
        page.show();
        const QString file = m_media.filePath("markup/<i>take<b>.wav");
        test::writeFile(file);
        Settings::shared().setValue(keys::autoStartConvert, false);
        page.enqueue({file}, *page.m4aPreset());
        page.runner().setStatusLine("Could not refresh scripts: Server error 502: <html><h1>Bad gateway</h1></html>");
        QVERIFY(test::waitUntil([&] {
            for (QLabel *label : page.findChildren<QLabel *>())
                if (label->text().contains("Bad gateway"))
                    return true;
            return false;
        }, 2s));
        QStringList rendered;
        for (QLabel *label : page.findChildren<QLabel *>()) {
            if (label->text().contains(QRegularExpression("<[a-z/]")) && label->textFormat() != Qt::PlainText)
                rendered << label->text();
        }
        QVERIFY2(rendered.isEmpty(), qPrintable(rendered.join(" | ")));
        // The card lists the file by its name, as written.
        const QStringList shown = page.card("remix")->shownItems();
        QVERIFY2(shown.value(0).startsWith("<i>take<b>.wav"), qPrintable(shown.join(" | ")));
    }

    void chooseFilesOffersOnlyWhatTheScannerTakes()
    {
        const QString filter = ConvertCard::fileFilter();
        const QRegularExpression pattern("\\*\\.([A-Za-z0-9]+)");
        QSet<QString> offered;
        for (auto match = pattern.globalMatch(filter); match.hasNext();)
            offered << match.next().captured(1).toLower();
        const QStringList members = MediaScanner::mediaExtensions().members();
        QCOMPARE(offered, QSet<QString>(members.begin(), members.end()));
        for (const QString &extension : offered) {
            const QString path = m_media.filePath("offered/x." + extension.toUpper());
            test::writeFile(path);
            QCOMPARE(MediaScanner::collect({path}, MediaScanner::mediaExtensions()), QStringList{path});
        }
    }

    void endingTheInstallerLooksForFFmpegAgain()
    {
        stageFFmpeg(false);
        SessionStore store;
        ConvertPage page(store);
        page.show();
        page.appear();
        QVERIFY(!page.ffmpeg());
        page.openInstallSheet();
        // The copy lands while the sheet is still open (a cancel during the install step).
        stageFFmpeg(true);
        page.installSheet()->reject();
        QCOMPARE(page.ffmpeg(), std::optional<QString>(QStandardPaths::findExecutable("ffmpeg")));
        QVERIFY(!page.findChild<QWidget *>("ffmpegCard")->isVisibleTo(&page));
    }

    void installingStartsFilesQueuedWithAutoStart()
    {
        stageFFmpeg(false);
        QFile::remove(FFmpegLocator::managedExecutable());
        auto store = signedInStore();
        store->setPresets({makePreset("copy", "Copy", copyCommand)});
        ConvertPage page(*store);
        page.setActive(true);
        page.show();
        page.appear();
        const QString tone = m_media.filePath("install/tone.wav");
        QDir().mkpath(QFileInfo(tone).path());
        QVERIFY(QFile::copy(m_media.filePath("tone.wav"), tone));
        page.enqueue({tone}, *page.m4aPreset());
        QVERIFY(!page.runner().isRunning());
        QVERIFY(page.runner().hasPending());

        page.openInstallSheet();
        page.installSheet()->adopt(QStandardPaths::findExecutable("ffmpeg"));
        QVERIFY(test::waitUntil([&] { return page.runner().counts().done == 1; }, 60s));
        QCOMPARE(page.ffmpeg(), std::optional<QString>(FFmpegLocator::managedExecutable()));
        QFile::remove(*page.runner().items().first().output);
    }
};

HOPLIN_GUI_TEST_MAIN(TestConvertQueue)
#include "tst_convertqueue.moc"
