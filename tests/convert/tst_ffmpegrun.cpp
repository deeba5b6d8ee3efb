#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/ConvertRunner.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;

class TestFFmpegRun : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString script(const QString &name, const QByteArray &body)
    {
        const QString path = m_dir.filePath(name);
        if (!test::writeScript(path, body))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void channelCountFromDescriptor_data()
    {
        QTest::addColumn<QString>("descriptor");
        QTest::addColumn<int>("count"); // -1 = none
        // Case, spacing and the counted form; the layout table itself is not restated here.
        const std::pair<const char *, int> rows[] = {
            {"Stereo", 2},      {"5.1(SIDE)", 6},  {"12  channels", 12}, {"3 channels\t", 3},
            {"7.1(wide)", -1},  {"6 channelsx", -1}, {"6channels", 6},  {"", -1},
        };
        for (const auto &[descriptor, count] : rows)
            QTest::newRow(descriptor[0] ? descriptor : "(empty)") << QString::fromUtf8(descriptor) << count;
    }
    void channelCountFromDescriptor()
    {
        QFETCH(QString, descriptor);
        QFETCH(int, count);
        QCOMPARE(ConvertRunner::channelCount(descriptor).value_or(-1), count);
    }

    void parseChannelCount_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("count");
        const QString header = "Input #0, wav, from 'x.wav':\n  Duration: 00:00:01.00, bitrate: 4608 kb/s\n";
        QTest::newRow("5.1(side)")
            << header + "  Stream #0:0: Audio: pcm_s16le ([1][0][0][0] / 0x0001), 48000 Hz, "
                        "5.1(side), s16, 4608 kb/s\nAt least one output file must be specified\n"
            << 6;
        QTest::newRow("stereo") << header +
                                       "  Stream #0:0: Audio: aac (LC), 44100 Hz, stereo, fltp, 128 kb/s\n"
                                << 2;
        QTest::newRow("counted channels")
            << header + "  Stream #0:1: Audio: pcm_s24le, 48000 Hz, 6 channels, s32\n"
            << 6;
        QTest::newRow("first stream naming a known layout decides")
            << header + "  Stream #0:1: Audio: opus, 48000 Hz, 7.1(wide), fltp\n"
                        "  Stream #0:2: Audio: aac, 48000 Hz, stereo, fltp\n"
                        "  Stream #0:3: Audio: aac, 48000 Hz, 5.1, fltp\n"
            << 2;
        QTest::newRow("video line is not audio") << header + "  Stream #0:0: Video: h264, yuv420p, stereo\n"
                                                 << -1;
        QTest::newRow("unknown layout only")
            << header + "  Stream #0:0: Audio: opus, 48000 Hz, 7.1(wide), fltp\n"
            << -1;
        QTest::newRow("pieces are trimmed") << "Audio: pcm,\t mono \t, s16" << 1;
        QTest::newRow("empty") << "" << -1;
    }
    void parseChannelCount()
    {
        QFETCH(QString, output);
        QFETCH(int, count);
        QCOMPARE(ConvertRunner::parseChannelCount(output).value_or(-1), count);
    }

    void summarise_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("summary");
        const QString longLine = "Error " + QString(300, u'x');
        const QString longPlain = QString(150, u'a') + "\n" + QString(150, u'b');
        QTest::newRow("later of two Error lines") << "Input #0\n[x] Error opening input\nstuff\nError while "
                                                     "decoding: Invalid argument\nConversion failed!\n"
                                                  << "Error while decoding: Invalid argument";
        QTest::newRow("lower-case error and Invalid count")
            << "a\nsome error here\nb\nInvalid data found when processing input\nc\n"
            << "Invalid data found when processing input";
        QTest::newRow("upper-case ERROR does not count") << "ERROR one\nplain"
                                                         << "ERROR one\nplain";
        QTest::newRow("no qualifying line gives the start of the text") << longPlain << longPlain.left(220);
        QTest::newRow("qualifying line is cut to 220") << "x\n" + longLine + "\n" << longLine.left(220);
        QTest::newRow("empty") << ""
                               << "";
    }
    void summarise()
    {
        QFETCH(QString, text);
        QFETCH(QString, summary);
        const QString result = ConvertRunner::summarise(text);
        QCOMPARE(result, summary);
        QVERIFY(result.size() <= 220);
    }

    void stderrTailKeepsTheLastCharacters()
    {
        StderrTail tail;
        QString all;
        for (int i = 0; i < 1000; ++i) {
            const QString piece = QStringLiteral("line %1 of the error output\n").arg(i);
            all += piece;
            tail.append(piece);
        }
        QVERIFY(all.size() > StderrTail::limit);
        QCOMPARE(tail.text(), all.right(StderrTail::limit));

        StderrTail small;
        small.append(u"abc");
        small.append(u"def");
        QCOMPARE(small.text(), QStringLiteral("abcdef"));

        // One piece larger than the limit on its own.
        StderrTail big;
        big.append(QString(20000, u'z') + "END");
        QCOMPARE(big.text().size(), StderrTail::limit);
        QVERIFY(big.text().endsWith("zEND"));

        // A cut through a surrogate pair drops the whole character.
        StderrTail astral;
        astral.append(QString::fromUtf8("\U0001F3B5") + QString(StderrTail::limit - 2, u'x'));
        astral.append(u"y");
        QCOMPARE(astral.text(), QString(StderrTail::limit - 2, u'x') + "y");
    }

    void parseClock_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("seconds"); // NaN = none
        QTest::newRow("one second") << "00:00:01.00, start" << 1.0;
        QTest::newRow("mixed") << "01:02:03.5 bitrate" << 3723.5;
        QTest::newRow("no fraction") << "00:01:00" << 60.0;
        QTest::newRow("negative") << "-00:00:01.50" << -1.5;
        QTest::newRow("not available") << "N/A" << qQNaN();
        QTest::newRow("one-digit minutes") << "00:1:00.00" << qQNaN();
    }
    void parseClock()
    {
        QFETCH(QString, text);
        QFETCH(double, seconds);
        const auto parsed = FFmpegProgress::parseClock(text);
        if (qIsNaN(seconds)) {
            QVERIFY(!parsed);
        } else {
            QVERIFY(parsed);
            QCOMPARE(*parsed, seconds);
        }
    }

    void progressFollowsSplitLines()
    {
        FFmpegProgress progress;
        QVERIFY(!progress.feed(u"Input #0, wav\n  Dura"));
        QVERIFY(!progress.feed(u"tion: 00:00:10.00, start: 0.000000\nsize= 1kB time=00:00:0"));
        QVERIFY(!progress.fraction());
        QVERIFY(progress.feed(u"5.00 bitrate=1kbits/s\r"));
        QCOMPARE(*progress.fraction(), 0.5);
        // Later inputs' durations and overshooting positions do not break the fraction.
        QVERIFY(progress.feed(u"  Duration: 00:00:01.00\nsize= 2kB time=00:00:12.00 bitrate\r"));
        QCOMPARE(*progress.fraction(), 1.0);

        FFmpegProgress unknown;
        unknown.feed(u"  Duration: N/A, start\nsize= 1kB time=00:00:03.00 x\r");
        QVERIFY(!unknown.fraction());
        QCOMPARE(*unknown.positionSeconds(), 3.0);
        // Nor does a zero duration: a fraction of it would be meaningless.
        FFmpegProgress zero;
        zero.feed(u"  Duration: 00:00:00.00, start\nsize= 1kB time=00:00:03.00 x\r");
        QVERIFY(!zero.fraction());
    }

    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("status 0 whatever it wrote")
            << QByteArray("echo 'Error: not really' >&2\nexit 0\n") << true << 0 << "";
        QTest::newRow("status 1 with the tail")
            << QByteArray("printf 'a\\nInvalid argument\\n' >&2\nexit 1\n") << false << 1
            << "a\nInvalid argument\n";
        QTest::newRow("killed by a signal is a failure")
            << QByteArray("echo bye >&2\nkill -9 $$\n") << false << 9 << "bye\n";
        QTest::newRow("standard input is empty")
            << QByteArray("read line && exit 7\nexit 0\n") << true << 0 << "";
    }
    void outcomes()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, success);
        QFETCH(int, code);
        QFETCH(QString, text);
        const QString program = script(QStringLiteral("outcome-%1").arg(QTest::currentDataTag()), body);
        QProcess::ProcessState stateSeen = QProcess::Running;
        const ShellOutcome outcome = test::runTask(
            ConvertRunner::runFFmpeg(program, {}, [&](QProcess *process) { stateSeen = process->state(); }));
        QCOMPARE(stateSeen, QProcess::NotRunning); // handed over before the start
        QCOMPARE(outcome.success, success);
        QCOMPARE(outcome.code, code);
        QCOMPARE(outcome.text, text);
    }

    void largeErrorOutputKeepsTheLastPart()
    {
        const QString program =
            script("flood", "i=0\nwhile [ $i -lt 3000 ]; do printf 'line %05d error text\\n' $i >&2; "
                            "i=$((i+1)); done\nexit 3\n");
        QString expected;
        for (int i = 0; i < 3000; ++i)
            expected += QStringLiteral("line %1 error text\n").arg(i, 5, 10, QLatin1Char('0'));
        const ShellOutcome outcome =
            test::runTask(ConvertRunner::runFFmpeg(program, {}, {}), std::chrono::seconds(30));
        QCOMPARE(outcome.code, 3);
        QCOMPARE(outcome.text, expected.right(StderrTail::limit));
    }

    void launchFailures_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("not executable") << "plain";
        QTest::newRow("missing") << "missing";
    }
    void launchFailures()
    {
        QFETCH(QString, program);
        test::writeFile(m_dir.filePath("plain"), "#!/bin/sh\nexit 0\n");
        QDir(m_dir.path()).mkpath("folder");
        const ShellOutcome outcome =
            test::runTask(ConvertRunner::runFFmpeg(m_dir.filePath(program), {"-version"}, {}));
        QVERIFY(!outcome.success);
        QCOMPARE(outcome.code, -1);
        QVERIFY2(!outcome.text.isEmpty(), "the launch error's description");
    }

    void argumentsArriveUnchanged()
    {
        const QString record = m_dir.filePath("args.txt");
        const QString program =
            script("record", QByteArray("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '") +
                                 record.toUtf8() + "'\n");
        const QStringList arguments = {
            "-i", "/a/b c.mov", "$HOME", "*.wav", "`id`", "a;b", QString::fromUtf8("é ♪")};
        const ShellOutcome outcome =
            test::runTask(ConvertRunner::runFFmpeg(program, arguments, {}, {}, {m_dir.path()}));
        QVERIFY(outcome.success);
        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts), arguments);
    }

    void progressIsReported()
    {
        const QString program =
            script("progress", "printf '  Duration: 00:00:10.00, start: 0\\n' >&2\n"
                               "printf 'size= 1kB time=00:00:02.50 bitrate\\r' >&2\nsleep 0.2\n"
                               "printf 'size= 1kB time=00:00:10.00 bitrate\\n' >&2\n");
        QList<double> seen;
        const ShellOutcome outcome = test::runTask(
            ConvertRunner::runFFmpeg(program, {}, {}, [&](double fraction) { seen.append(fraction); }));
        QVERIFY(outcome.success);
        QCOMPARE(seen, (QList<double>{0.25, 1.0}));
    }

    void probeRealFiles_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<int>("count");
        QTest::newRow("mono") << "mono" << 1;
        QTest::newRow("5.1(side)") << "5.1(side)" << 6;
    }
    void probeRealFiles()
    {
        QFETCH(QString, layout);
        QFETCH(int, count);
        const QString path = m_dir.filePath(QStringLiteral("probe %1.wav").arg(QTest::currentDataTag()));
        QVERIFY(test::synthesise(
            path, QStringLiteral("anullsrc=channel_layout=%1:sample_rate=48000").arg(layout), {"-t", "0.2"}));
        const auto probed = test::runTask(ConvertRunner::probeChannelCount(test::realFFmpeg(), path));
        QCOMPARE(probed.value_or(-1), count);
    }

    void probeThatSucceedsGivesNoCount()
    {
        const QString program =
            script("probe-ok", "echo '  Stream #0:0: Audio: pcm, 48000 Hz, stereo' >&2\nexit 0\n");
        QVERIFY(!test::runTask(ConvertRunner::probeChannelCount(program, "/x.wav")));
        const QString failing =
            script("probe-fail", "echo '  Stream #0:0: Audio: pcm, 48000 Hz, stereo' >&2\nexit 1\n");
        QCOMPARE(test::runTask(ConvertRunner::probeChannelCount(failing, "/x.wav")).value_or(-1), 2);
    }
};

HOPLIN_TEST_MAIN(TestFFmpegRun)
#include "tst_ffmpegrun.moc"
