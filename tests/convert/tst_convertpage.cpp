#include "TestSupport.h"
#include "convert/FFmpegLocator.h"
#include "convert/ui/ConvertCard.h"
#include "convert/ui/ConvertPage.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"
#include "web/DropRouter.h"

#include <QApplication>
#include <QComboBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

Preset preset(const QString &id, const QString &kind, const QString &command = "ffmpeg -i {input} {output_base}.wav",
              const QString &ext = ".wav")
{
    Preset p;
    p.id = id;
    p.name = "Name of " + id;
    p.description = "d";
    p.suffix = "_" + id;
    p.outputExt = ext;
    p.kind = kind;
    p.command = command;
    return p;
}

void useFFmpeg(bool available)
{
    FFmpegLocator::SearchPlaces places{QString(), {}, QByteArray()};
    if (available)
        places.fixed = {QStandardPaths::findExecutable("ffmpeg")};
    FFmpegLocator::setSearchPlacesForTesting(places);
    Settings::shared().remove(keys::ffmpegPathOverride); // also makes a live page re-resolve
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

    std::unique_ptr<SessionStore> signedInStore()
    {
        auto store = std::make_unique<SessionStore>();
        test::runTask(store->connect(test::LocalServer::demoKey));
        return store;
    }
    std::unique_ptr<ConvertPage> showPage(SessionStore &store, bool active = true)
    {
        auto page = std::make_unique<ConvertPage>(store);
        page->setActive(active);
        page->resize(1020, 600);
        page->show();
        return page;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        m_tone = m_media.filePath("tone.wav");
        QCOMPARE(QProcess::execute("ffmpeg",
                                   {"-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=3", "-y", m_tone}),
                 0);
    }
    void init()
    {
        useFFmpeg(true);
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
        if (signedIn)
            QCOMPARE(page->cards().size(), 4); // the service offers every kind
    }

    void cardsFollowThePresetList_data()
    {
        QTest::addColumn<QList<Preset>>("presets");
        QTest::addColumn<QStringList>("cardKeys");
        QTest::addColumn<QStringList>("codecChoices");
        const Preset h264 = preset("h264", "video");
        const Preset videoNorm = preset("normalise-video-14lkfs", "video");
        const Preset oddVideo = preset("normalise-ish-video", "video");
        const Preset m4a = preset("m4a", "audio");
        const Preset n14 = preset("normalise-14", "normalise");
        QTest::newRow("all four") << QList<Preset>{h264, m4a, n14, videoNorm}
                                  << QStringList{"video", "m4a", "normalise-14", "normalise-video-14lkfs"}
                                  << QStringList{"h264"};
        QTest::newRow("no audio preset, no M4A card")
            << QList<Preset>{h264, n14} << QStringList{"video", "normalise-14"} << QStringList{"h264"};
        QTest::newRow("normalise ids kept out of the codec picker")
            << QList<Preset>{oddVideo, h264, videoNorm} << QStringList{"video", "normalise-video-14lkfs"}
            << QStringList{"h264"};
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
        store->setPresets({preset("copy", "audio", "ffmpeg -v error -i {input} {output_base}.wav")});
        auto *convert = page->findChild<QPushButton *>("convertButton");
        QVERIFY(page->dropOnCard({m_tone}, *page->m4aPreset()));
        QCOMPARE(page->runner().isRunning(), autoStart);
        QCOMPARE(convert->isVisibleTo(page.get()), !autoStart);
        if (!autoStart) {
            QVERIFY(convert->isEnabled());
            QTest::mouseClick(convert, Qt::LeftButton);
            QVERIFY(page->runner().isRunning());
        }
        QVERIFY(test::waitUntil([&] { return !page->runner().isRunning(); }, 30s));
        QCOMPARE(page->runner().items().first().succeeded, std::optional<bool>(true));
        QFile::remove(*page->runner().items().first().output);
    }

    void convertIsDisabledDuringARun()
    {
        Settings::shared().setValue(keys::autoStartConvert, false);
        auto store = signedInStore();
        auto page = showPage(*store);
        store->setPresets({preset("slow", "audio", "ffmpeg -v error -re -i {input} {output_base}.wav")});
        const QString second = m_media.filePath("second.wav");
        QVERIFY(QFile::exists(second) || QFile::copy(m_tone, second));
        auto *convert = page->findChild<QPushButton *>("convertButton");
        QVERIFY(page->dropOnCard({m_tone, second}, *page->m4aPreset()));
        QVERIFY(convert->isEnabled());
        QTest::mouseClick(convert, Qt::LeftButton);
        QVERIFY(page->runner().isRunning());
        QVERIFY(page->runner().hasPending()); // the second file waits its turn
        QVERIFY(!convert->isEnabled());
        page->runner().cancel();
        QVERIFY(test::waitUntil([&] { return !page->runner().isRunning(); }, 10s));
        QCOMPARE(convert->isEnabled(), page->runner().hasPending());
    }

    void clearIsRefusedDuringARun()
    {
        auto store = signedInStore();
        auto page = showPage(*store);
        // -re paces the input in real time: three seconds of work to interrupt.
        store->setPresets({preset("slow", "audio", "ffmpeg -v error -re -i {input} {output_base}.wav")});
        QVERIFY(page->dropOnCard({m_tone, m_tone}, *page->m4aPreset()));
        ConvertCard *card = page->card("slow");
        QVERIFY(card->clearButton()->isVisibleTo(card));
        QVERIFY(!card->clearButton()->isEnabled());
        card->onClear();                            // as if clicked: still refused
        QCOMPARE(page->runner().items().size(), 1); // the same path is queued once
        QVERIFY(page->statusText() != "Cleared.");
        page->runner().cancel();
        QVERIFY(test::waitUntil([&] { return !page->runner().isRunning(); }, 10s));
        QTest::mouseClick(card->clearButton(), Qt::LeftButton);
        QVERIFY(page->runner().items().isEmpty());
        QCOMPARE(page->statusText(), QStringLiteral("Cleared."));
    }

    void hiddenPageForwardsDrops_data()
    {
        QTest::addColumn<bool>("webTabActive");
        QTest::newRow("web tab showing") << true;
        QTest::newRow("other native tab showing") << false;
    }
    void hiddenPageForwardsDrops()
    {
        QFETCH(bool, webTabActive);
        QList<QUrl> received;
        DropRouter::shared().setCorrectionActive(false);
        DropRouter::shared().setWebTabActive(webTabActive);
        DropRouter::shared().setCinemaHandler([&](const QList<QUrl> &files, const QPointF &) { received = files; });
        auto store = signedInStore();
        auto page = showPage(*store, false);
        const bool accepted = page->dropOnCard({m_tone}, *page->m4aPreset());
        DropRouter::shared().setCinemaHandler({});
        QCOMPARE(accepted, webTabActive);
        QCOMPARE(received, webTabActive ? QList<QUrl>{QUrl::fromLocalFile(m_tone)} : QList<QUrl>{});
        QVERIFY(page->runner().items().isEmpty());
    }

    void installPromptOpensOnce()
    {
        useFFmpeg(false);
        SessionStore store;
        auto page = showPage(store);
        QVERIFY(!page->installSheet());
        QVERIFY(test::waitUntil([&] { return page->installSheet() != nullptr; }, 3s));
        page->installSheet()->reject();
        QVERIFY(test::waitUntil([&] { return page->installSheet() == nullptr; }, 3s));
        page->hide();
        page->show();
        QTest::qWait(900);
        QVERIFY(!page->installSheet());
    }

    void overrideInPreferencesAppliesAtOnce()
    {
        useFFmpeg(false);
        SessionStore store;
        auto page = showPage(store, false);
        QVERIFY(shown(page.get(), "ffmpegCard"));
        Settings::shared().setValue(keys::ffmpegPathOverride, QStandardPaths::findExecutable("ffmpeg"));
        QVERIFY(!shown(page.get(), "ffmpegCard"));
        QCOMPARE(page->ffmpeg(), std::optional<QString>(QStandardPaths::findExecutable("ffmpeg")));
    }
};

HOPLIN_GUI_TEST_MAIN(TestConvertPage)
#include "tst_convertpage.moc"
