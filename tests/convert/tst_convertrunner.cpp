#include "ConvertTestUtil.h"
#include "convert/ConvertRunner.h"
#include "diagnostics/ActiveJobs.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace hoplin;
using namespace std::chrono_literals;
using RunState = ConvertRunner::RunState;

namespace {

// Records what the runner did: every status line it showed, in order.
struct StatusHistory {
    QStringList lines;
    QMetaObject::Connection connection;
    explicit StatusHistory(ConvertRunner &runner)
    {
        connection = QObject::connect(&runner, &ConvertRunner::statusLineChanged, &runner,
                                      [this, &runner] { lines << runner.statusLine(); });
    }
    ~StatusHistory() { QObject::disconnect(connection); }
};

} // namespace

class TestConvertRunner : public QObject {
    Q_OBJECT

    QTemporaryDir m_media;
    std::unique_ptr<QTemporaryDir> m_work;
    test::LocalServer m_server;

    QString media(const QString &name) const { return m_media.path() + u'/' + name; }
    QString work(const QString &name = {}) const
    {
        return name.isEmpty() ? m_work->path() : m_work->path() + u'/' + name;
    }

    // A fresh copy of a synthesised source in this test's folder.
    QString source(const QString &mediaName, const QString &as = {})
    {
        const QString target = work(as.isEmpty() ? mediaName : as);
        QDir().mkpath(QFileInfo(target).path());
        if (!QFile::copy(media(mediaName), target))
            qFatal("cannot copy %s", qPrintable(mediaName));
        return target;
    }
    QString script(const QString &name, const QByteArray &body) { return test::stub(work(name), body); }
    // An ffmpeg that runs `body` for everything but the probe of "first.wav", which the real one does.
    QString ffmpegRunning(const QByteArray &body)
    {
        return script("ffmpeg", "case \"$3\" in */first.wav) exec /usr/bin/ffmpeg \"$@\";; esac\n" + body);
    }
    // How many processes run the script `program` now.
    // With `ignoringTerm`, only those that have set SIGTERM aside already (a shell just started
    // has not run its `trap` yet, and a SIGTERM then still ends it).
    static qsizetype running(const QString &program, bool ignoringTerm = false)
    {
        const QStringList pids = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs);
        return std::count_if(pids.begin(), pids.end(), [&](const QString &pid) {
            QFile cmdline("/proc/" + pid + "/cmdline"), status("/proc/" + pid + "/status");
            const bool ours = cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').contains(program.toUtf8());
            const QString ignored = QRegularExpression("SigIgn:\\s*(\\w+)").match(status.open(QIODevice::ReadOnly) ? status.readAll() : "").captured(1);
            return ours && (!ignoringTerm || ignored.toULongLong(nullptr, 16) & (1ULL << (SIGTERM - 1)));
        });
    }
    QStringList temporaryLeftovers() const
    {
        return test::entries(work()).filter(QRegularExpression("^\\.hoplin-tmp-"));
    }

private slots:
    void initTestCase()
    {
        Settings::shared().setValue(keys::hoplinDiag, true);
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        QVERIFY(test::synthesise(media("tone.wav"), "sine=frequency=440:duration=1", {"-ac", "2"}));
        QVERIFY(test::synthesise(media("long.wav"), "sine=frequency=440:duration=30"));
        QVERIFY(test::synthesise(media("mono.wav"), "sine=frequency=330:duration=1"));
        QVERIFY(test::synthesise(media("surround.wav"), "sine=frequency=220:duration=1",
                                 {"-af", "pan=5.1(side)|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0"}));
        QVERIFY(test::synthesise(media("clip.mp4"), "testsrc=size=64x64:rate=10:duration=1",
                                 {"-f", "lavfi", "-i", "sine=duration=1", "-pix_fmt", "yuv420p", "-shortest"}));
    }
    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        m_server.reset();
        Settings::shared().remove(keys::exportLocation);
        Settings::shared().remove(keys::exportFolderPath);
    }

    void queueAddsEachFileOnce()
    {
        ConvertRunner runner;
        const QString tone = source("tone.wav");
        source("tone.wav", "folder/b.wav");
        source("tone.wav", "folder/a.wav");
        test::writeFile(work("folder/notes.txt"));

        runner.queue({tone}, "p1");
        QCOMPARE(runner.statusLine(), QStringLiteral("1 file added to the queue."));
        const QueueItem first = runner.items().first();
        QCOMPARE(first.input, tone);
        QCOMPARE(first.destination, work());
        QCOMPARE(first.status, QStringLiteral("Queued"));
        QVERIFY(first.isPending() && !first.output && !first.errorDetail);

        runner.queue({tone}, "p1");
        QCOMPARE(runner.statusLine(), QStringLiteral("Nothing new to add."));
        runner.queue({tone}, "p2");
        QCOMPARE(runner.statusLine(), QStringLiteral("1 file added to the queue."));
        runner.queue({work("folder"), tone}, "p1");
        QCOMPARE(runner.statusLine(), QStringLiteral("2 files added to the queue."));
        runner.queue({}, "p1");
        QCOMPARE(runner.statusLine(), QString());

        QStringList inputs;
        for (const QueueItem &item : runner.items("p1"))
            inputs << item.input.mid(work().size() + 1);
        QCOMPARE(inputs, (QStringList{"tone.wav", "folder/a.wav", "folder/b.wav"}));
        QCOMPARE(runner.items("p2").size(), 1);

        // Items keep the destination chosen when they were added.
        Settings::shared().setValue(keys::exportLocation, "customFolder");
        Settings::shared().setValue(keys::exportFolderPath, work("gone"));
        runner.queue({work("folder"), tone}, "p3");
        QCOMPARE(runner.statusLine(),
                 QStringLiteral("Nothing new to add. 3 files skipped — choose a valid export folder in Preferences."));
        QDir().mkpath(work("out"));
        Settings::shared().setValue(keys::exportFolderPath, work("out"));
        runner.queue({tone}, "p1"); // same input and preset, other destination: a new item
        QCOMPARE(runner.statusLine(), QStringLiteral("1 file added to the queue."));
        QCOMPARE(runner.items().last().destination, work("out"));
        QCOMPARE(runner.items().first().destination, work());
    }

    // Signed out: the conversion runs and nothing is reported. A file whose script is gone fails
    // alone: the files after it still convert. Other conversions' temporaries are left alone,
    // whatever their names ("tone-2" begins like "tone").
    void convertsWithTheExactName()
    {
        SessionStore store;
        ConvertRunner runner;
        const QString tone = source("tone.wav");
        runner.queue({tone}, "gone");
        runner.queue({tone}, "wav");
        const QString others = ".hoplin-tmp-0F8E2C7A-1B2C-4D5E-8F90-A1B2C3D4E5F6";
        test::writeFile(work(others + "-tone-2.wav"));
        test::writeFile(work(others + "/tone.wav"));
        const qsizetype logStart = test::logMark();
        QStringList keysDuringRun;
        QObject::connect(&ActiveJobs::shared(), &ActiveJobs::runningKeysChanged, &runner,
                         [&] { keysDuringRun << ActiveJobs::shared().sortedKeys().join(','); });
        StatusHistory history(runner);

        runner.run({test::wavPreset()}, test::realFFmpeg, &store);
        QCOMPARE(runner.runState(), RunState::Running);
        QVERIFY(runner.isRunning() && !runner.clearPreset("wav"));
        QVERIFY(test::waitUntil([&] { return runner.runState() == RunState::Idle; }, 60s));

        const QueueItem item = runner.items().last();
        QCOMPARE(item.status, QStringLiteral("✓ Done → tone_conv.wav"));
        QCOMPARE(item.succeeded, std::optional<bool>(true));
        QCOMPARE(item.output.value_or(""), work("tone_conv.wav"));
        QCOMPARE(item.progress.value_or(-1), 1.0);
        QVERIFY(test::describeAudio(work("tone_conv.wav")).contains("pcm_s16le"));
        QCOMPARE(test::entries(work()), (QStringList{others, others + "-tone-2.wav", "tone.wav", "tone_conv.wav"}));
        QVERIFY(!runner.isRunning());
        QVERIFY(!runner.hasPending());
        QCOMPARE(history.lines, (QStringList{"Running…", "tone.wav: script 'gone' is unavailable.",
                                             "Converting tone.wav…", "Queue finished — 1 done, 1 failed."}));
        QCOMPARE(keysDuringRun, (QStringList{"Conversion", ""}));
        QCOMPARE(test::logMessages("convert", logStart),
                 (QStringList{"script unavailable preset=gone input=" + tone,
                              QStringLiteral("start preset=wav input=%1 output=%2").arg(tone, work("tone_conv.wav")),
                              QStringLiteral("done output=%1").arg(work("tone_conv.wav"))}));
        QCOMPARE(m_server.usage().size(), 0);
        QCOMPARE(store.pendingUsageCount(), 0);

        // Finished items are not added again, and a run with nothing pending ends at once.
        runner.queue({tone}, "wav");
        QCOMPARE(runner.statusLine(), QStringLiteral("Nothing new to add."));
        QVERIFY(test::runToEnd(runner, {test::wavPreset()}));
        QCOMPARE(runner.statusLine(), QStringLiteral("Queue finished — 1 done, 1 failed."));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("command"); // empty: the item's preset is not in the list
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QByteArray>("name"); // of the input, as the file system has it
        QTest::newRow("output under another name")
            << "ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le {output_base}-other.wav"
            << "✗ No output produced"
            << "The script finished but did not create the expected output file."
            << "Failed tone.wav: the script produced no output."
            << "no output expected=" << QByteArray();
        QTest::newRow("ffmpeg fails") << "ffmpeg -hide_banner -nostdin -y -i {input} -af volume=abc {output_base}.wav"
                                      << "✗ Failed (exit 1)"
                                      << "Error while processing the decoded data for stream #0:0"
                                      << "Failed tone.wav: Error while processing the decoded data for stream #0:0"
                                      << "failed exit=1 stderr=Error while processing the decoded data for stream #0:0" << QByteArray();
        QTest::newRow("script no longer offered")
            << "" << "✗ Script unavailable"
            << "The script 'gone' is not in the current preset list. Refresh scripts and retry."
            << "tone.wav: script 'gone' is unavailable." << "script unavailable preset=gone" << QByteArray();
        // Its name reaches us with a replacement character: ffmpeg could never be given the real one.
        QTest::newRow("name not UTF-8") << test::pcmCommand << "✗ Failed"
                                        << "tone.wav cannot be named safely: its name is not valid UTF-8. Rename it "
                                           "and try again."
                                        << "Failed tone.wav: tone.wav cannot be named safely" << "unnamed input="
                                        << QByteArray("t\xffne.wav");
    }
    void failures()
    {
        QFETCH(QString, command);
        QFETCH(QString, status);
        QFETCH(QString, detail);
        QFETCH(QString, line);
        QFETCH(QString, logged);
        QFETCH(QByteArray, name);
        ConvertRunner runner;
        const QString input = source("tone.wav");
        QString shown = QStringLiteral("tone.wav");
        if (!name.isEmpty()) {
            QVERIFY(::rename(QFile::encodeName(input), QFile::encodeName(work()) + '/' + name) == 0);
            shown = QFile::decodeName(name);
            detail.replace("tone.wav", shown);
            line.replace("tone.wav", shown);
        }
        runner.queue({work()}, command.isEmpty() ? "gone" : "p");
        StatusHistory history(runner);
        const qsizetype logStart = test::logMark();
        QVERIFY(test::runToEnd(runner, {test::wavPreset(command, "p")}));

        const QueueItem item = runner.items().first();
        QCOMPARE(item.status, status);
        QCOMPARE(item.succeeded, std::optional<bool>(false));
        QCOMPARE(item.errorDetail.value_or(""), detail);
        QVERIFY(!item.output);
        QVERIFY2(history.lines.filter(line).size() == 1, qPrintable(history.lines.join(" | ")));
        QCOMPARE(runner.statusLine(), QStringLiteral("Queue finished — 0 done, 1 failed."));
        QVERIFY(test::logMessages("convert", logStart).filter(logged).size() == 1);
        // Stray files under the temporary base are gone, nothing else was written.
        // (Qt's listing leaves out a name it cannot decode: the raw one is asked for by its bytes.)
        QCOMPARE(test::entries(work()), name.isEmpty() ? QStringList{"tone.wav"} : QStringList());
        QVERIFY(name.isEmpty() || ::access(QFile::encodeName(work()) + '/' + name, F_OK) == 0);
    }

    // Only a preset with a channel limit probes its input, and only more channels than the limit
    // are mixed down; the mix goes before the output, where ffmpeg applies it to what it writes.
    // In a queue each probe runs while the item before converts, and its count is its item's own.
    void downmix_data()
    {
        QTest::addColumn<QStringList>("queue");   // input:limit, 0 for none
        QTest::addColumn<QStringList>("layouts"); // of the outputs
        QTest::newRow("stereo within the limit") << QStringList{"tone.wav:2"} << QStringList{"stereo"};
        QTest::newRow("5.1(side) over the limit") << QStringList{"surround.wav:2"} << QStringList{"stereo"};
        QTest::newRow("no limit") << QStringList{"surround.wav:0"} << QStringList{"5.1(side)"};
        QTest::newRow("a queue probed ahead")
            << QStringList{"surround.wav:2", "mono.wav:2", "surround.wav:2", "tone.wav:2", "mono.wav:2"}
            << QStringList{"stereo", "mono", "stereo", "stereo", "mono"};
        QTest::newRow("an unlimited item between") << QStringList{"mono.wav:2", "surround.wav:0", "surround.wav:2"}
                                                   << QStringList{"mono", "5.1(side)", "stereo"};
    }
    void downmix()
    {
        QFETCH(QStringList, queue);
        QFETCH(QStringList, layouts);
        ConvertRunner runner;
        QList<Preset> presets;
        QStringList downmixes;
        for (qsizetype i = 0; i < queue.size(); ++i) {
            const QString input = queue[i].section(':', 0, 0), id = "mix" + queue[i].section(':', 1);
            runner.queue({source(input, QString::number(i) + input)}, id);
            presets << test::wavPreset(test::pcmCommand, id);
            if (const int limit = queue[i].section(':', 1).toInt(); limit > 0)
                presets.last().maxChannels = limit;
            if (input == "surround.wav" && presets.last().maxChannels)
                downmixes << "downmix 6ch -> 2ch for " + id;
        }
        const qsizetype logStart = test::logMark();
        QVERIFY(test::runToEnd(runner, presets));
        for (qsizetype i = 0; i < layouts.size(); ++i) {
            const QString described = test::describeAudio(runner.items()[i].output.value_or(""));
            QVERIFY2(described.contains("Hz, " + layouts[i] + ","), qPrintable(described));
        }
        QCOMPARE(test::logMessages("convert", logStart).filter("downmix"), downmixes);
    }

    void stopDuringAConversion()
    {
        ConvertRunner runner;
        runner.queue({source("long.wav")}, "slow");
        runner.queue({source("tone.wav")}, "slow");
        // -re reads at the speed of playback, so the 30-second file keeps ffmpeg busy.
        const Preset slow =
            test::wavPreset("ffmpeg -hide_banner -nostdin -y -re -i {input} -c:a pcm_s16le {output_base}.wav", "slow");
        std::optional<double> seenProgress, seenRemaining;
        connect(&runner, &ConvertRunner::itemProgressChanged, this, [&](const QUuid &id) {
            seenProgress = runner.item(id)->progress;
            seenRemaining = runner.item(id)->remainingSeconds;
        });
        runner.run({slow}, test::realFFmpeg, nullptr);
        QVERIFY(test::waitUntil([&] { return seenProgress && *seenProgress > 0; }, 20s));
        QVERIFY(*seenProgress < 1.0);
        QVERIFY(seenRemaining && *seenRemaining > 0);

        // Queue editing waits for the run to end.
        const QUuid first = runner.items().first().id;
        const QList<QueueItem> before = runner.items();
        runner.remove(first);
        runner.retry(runner.items().last().id);
        runner.clearFinished();
        QCOMPARE(runner.items().size(), before.size());

        runner.cancel();
        QCOMPARE(runner.runState(), RunState::Stopping);
        QCOMPARE(runner.statusLine(), QStringLiteral("Stopping…"));
        runner.remove(first);
        QCOMPARE(runner.items().size(), 2);
        QVERIFY(test::waitUntil([&] { return runner.runState() == RunState::Idle; }, 10s));

        QCOMPARE(runner.items().first().status, QStringLiteral("Stopped"));
        QVERIFY(runner.items().first().isPending());
        QCOMPARE(runner.items().last().status, QStringLiteral("Queued"));
        QCOMPARE(runner.statusLine(), QStringLiteral("Stopped — 2 files still queued."));
        QCOMPARE(test::entries(work()), (QStringList{"long.wav", "tone.wav"}));
        QVERIFY(ActiveJobs::shared().isEmpty());

        // The next run converts the stopped item again, from the start.
        QVERIFY(test::runToEnd(runner, {test::wavPreset(test::pcmCommand, "slow")}));
        QCOMPARE(runner.items().first().status, QStringLiteral("✓ Done → long_conv.wav"));
        QCOMPARE(runner.items().last().status, QStringLiteral("✓ Done → tone_conv.wav"));
        QVERIFY(test::describeAudio(work("long_conv.wav")).contains("Duration: 00:00:30.00"));
        QCOMPARE(runner.statusLine(), QStringLiteral("Queue finished — 2 done, 0 failed."));
        // Retried, a converted item is pending again and names no output until it converts anew.
        runner.retry(runner.items().first().id);
        QVERIFY(runner.items().first().isPending() && !runner.items().first().output);
    }

    // A stop asks ffmpeg to end and gives it three seconds, and not much more, before SIGKILL; one that
    // ends at once is never killed afterwards (its process id may belong to another process by then).
    // The next item's probe, run while the conversion runs, ends with the run too.
    void stopKillsOnlyAnFFmpegThatIgnoresTerminate_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("killed");
        QTest::addColumn<int>("atOnce");
        const QByteArray loop("while :; do sleep 0.1 2>/dev/null; done\n");
        QTest::newRow("ignores terminate") << "trap '' TERM\n" + loop << true << 1;
        QTest::newRow("ends at once") << loop << false << 1;
        // The first item converts, the second one's probe and the third's (probed ahead) hang.
        QTest::newRow("two at once, ignoring terminate") << "trap '' TERM\n" + loop << true << 2;
    }
    void stopKillsOnlyAnFFmpegThatIgnoresTerminate()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, killed);
        QFETCH(int, atOnce);
        const QString stub = ffmpegRunning(body);
        ConvertRunner runner;
        runner.setConcurrency(atOnce);
        Preset preset = test::wavPreset();
        preset.maxChannels = 2;
        runner.queue({source("tone.wav", "first.wav"), source("tone.wav", "second.wav"), source("surround.wav", "third.wav")},
                     "wav");
        const qsizetype logStart = test::logMark();
        runner.run({preset}, stub, nullptr);
        // The conversions and the probes beside them.
        QVERIFY(test::waitUntil([&] { return running(stub, killed) == 1 + atOnce; }, 10s));

        QElapsedTimer clock;
        clock.start();
        runner.cancel();
        QVERIFY(test::waitUntil([&] { return runner.runState() == RunState::Idle; }, 5s));
        QCOMPARE(running(stub), 0);
        QCOMPARE(temporaryLeftovers(), QStringList());
        if (killed)
            QVERIFY2(clock.elapsed() >= 2500, "the terminate request gets its grace period");
        else
            QTest::qWait(ConvertRunner::killGraceMs + 300);
        const QStringList kills = test::logMessages("convert", logStart).filter("force-killing ffmpeg pid=");
        QCOMPARE(kills.size(), killed ? 1 + atOnce : 0);
        for (const QString &kill : kills)
            QVERIFY(kill.section('=', 1).toLongLong() > 0);
        QCOMPARE(runner.items().first().status, QStringLiteral("Stopped"));
        QCOMPARE(runner.items()[1].status, QString(atOnce > 1 ? "Stopped" : "Queued"));
        QCOMPARE(runner.items().last().status, QStringLiteral("Queued"));
        QCOMPARE(runner.statusLine(), QStringLiteral("Stopped — 3 files still queued."));

        // The item probed ahead, removed once the run has ended, leaves nothing for the items after it.
        runner.remove(runner.items()[1].id);
        QVERIFY(test::runToEnd(runner, {preset}));
        QCOMPARE(runner.statusLine(), QStringLiteral("Queue finished — 2 done, 0 failed."));
        QCOMPARE(test::logMessages("convert", logStart).filter("downmix"), QStringList{"downmix 6ch -> 2ch for wav"});
    }

    // Three at once: started in queue order, each output under a name of its own although all
    // want the same one, a failure beside them stops none, and each success is reported once.
    void severalAtOnce()
    {
        SessionStore store;
        test::signIn(store);
        QDir().mkpath(work("out"));
        Settings::shared().setValue(keys::exportLocation, "customFolder");
        Settings::shared().setValue(keys::exportFolderPath, work("out"));
        ConvertRunner runner;
        runner.setConcurrency(3);
        QStringList inputs;
        for (const QString folder : {"a", "b", "broken", "c", "d"}) {
            inputs << (folder == u"broken" ? test::writeFile(work(folder + "/tone.wav"), "not audio")
                                           : source("tone.wav", folder + "/tone.wav"));
            runner.queue({inputs.last()}, "wav");
        }
        StatusHistory history(runner);
        const qsizetype logStart = test::logMark();
        QVERIFY(test::runToEnd(runner, {test::wavPreset()}, test::realFFmpeg, &store));

        QVERIFY(history.lines.contains("Converting tone.wav and 2 more…"));
        QStringList started;
        for (const QString &line : test::logMessages("convert", logStart).filter("start preset="))
            started << line.section("input=", 1).section(" output=", 0, 0);
        QCOMPARE(started, inputs);
        QCOMPARE(runner.statusLine(), QStringLiteral("Queue finished — 4 done, 1 failed."));
        QCOMPARE(runner.items()[2].status, QStringLiteral("✗ Failed (exit 1)"));
        const QStringList outputs{"tone_conv (1).wav", "tone_conv (2).wav", "tone_conv (3).wav", "tone_conv.wav"};
        QCOMPARE(test::entries(work("out")), outputs);
        for (const QString &name : outputs)
            QVERIFY(test::describeAudio(work("out/" + name)).contains("pcm_s16le"));
        QCOMPARE(m_server.usage().size(), 4);
        QCOMPARE(store.pendingUsageCount(), 0);
    }

    void runnerDestroyedDuringARun()
    {
        // The first item converts while the second one's channels are probed.
        auto runner = std::make_unique<ConvertRunner>();
        runner->queue({source("tone.wav", "first.wav"), source("tone.wav", "second.wav")}, "wav");
        Preset preset = test::wavPreset();
        preset.maxChannels = 2;
        const QString stub = ffmpegRunning("while :; do sleep 0.1 2>/dev/null; done\n");
        runner->run({preset}, stub, nullptr);
        QVERIFY(!ActiveJobs::shared().isEmpty());
        QVERIFY(test::waitUntil([&] { return running(stub) == 2; }, 10s));
        test::writeFile(work(".hoplin-tmp-") + "not-ours"); // another base: must survive
        runner.reset();
        QVERIFY(ActiveJobs::shared().isEmpty());
        // The conversion's own coroutine still ends once the processes have been terminated.
        QVERIFY(test::waitUntil([&] { return temporaryLeftovers() == QStringList{".hoplin-tmp-not-ours"}; }, 5s));
        QVERIFY(test::waitUntil([&] { return running(stub) == 0; }, 5s));
    }

    // The service's own presets, video ones included, all convert inside the fence and report
    // their usage; a refused report keeps its conversion a success and waits in the store.
    void catalogueConvertsAndReportsUsage()
    {
        SessionStore store;
        test::signIn(store);
        m_server.fault("POST /v1/usage/convert", 500, "{}", 1);
        const QString clip = source("clip.mp4", "my clip.mp4");
        ConvertRunner runner;
        for (const Preset &preset : store.presets())
            runner.queue({clip}, preset.id);
        StatusHistory history(runner);
        QVERIFY(test::runToEnd(runner, store.presets(), test::realFFmpeg, &store, 180s));

        const QList<QueueItem> items = runner.items();
        for (const QueueItem &item : items)
            QVERIFY2(item.succeeded.value_or(false), qPrintable(item.presetID + ": " + item.errorDetail.value_or("")));
        QCOMPARE(test::entries(work()).size(), 1 + items.size());
        QCOMPARE(runner.statusLine(), QStringLiteral("Queue finished — %1 done, 0 failed.").arg(items.size()));
        const QString first = QFileInfo(items[0].output.value_or("")).fileName();
        QCOMPARE(items[0].status, "✓ Done → " + first + " (usage not reported)");
        QVERIFY(history.lines.contains("✓ " + first + " — usage reporting failed and will retry."));
        QCOMPARE(store.pendingUsageCount(), 1);
        const QJsonArray usage = m_server.usage();
        QCOMPARE(usage.size(), items.size() - 1);
        const QJsonObject report = usage.first().toObject();
        QCOMPARE(report.value("process_key").toString(), items[1].presetID);
        QCOMPARE(report.value("file_count").toInteger(), 1);
        QCOMPARE(report.value("input_bytes").toInteger(), QFileInfo(clip).size());
        QCOMPARE(report.value("filename").toString(), QStringLiteral("my clip.mp4"));
    }
};

HOPLIN_TEST_MAIN(TestConvertRunner)
#include "tst_convertrunner.moc"
