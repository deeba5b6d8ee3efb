#include "ConvertTestUtil.h"
#include "convert/ConvertRunner.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;

class TestFFmpegRun : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString script(const QString &name, const QByteArray &body) { return test::stub(m_dir.filePath(name), body); }

private slots:
    void parseChannelCount_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("count"); // -1 = none
        const QString header = "Input #0, wav, from 'x.wav':\n  Duration: 00:00:01.00, bitrate: 4608 kb/s\n";
        QTest::newRow("5.1(side)") << header + "  Stream #0:0: Audio: pcm_s16le ([1][0][0][0] / 0x0001), 48000 Hz, "
                                               "5.1(side), s16, 4608 kb/s\nAt least one output file must be specified\n"
                                   << 6;
        QTest::newRow("first stream naming a known layout decides")
            << header + "  Stream #0:1: Audio: opus, 48000 Hz, 7.1(wide), fltp\n"
                        "  Stream #0:2: Audio: aac, 48000 Hz, stereo, fltp\n"
                        "  Stream #0:3: Audio: aac, 48000 Hz, 5.1, fltp\n"
            << 2;
        QTest::newRow("video line is not audio") << header + "  Stream #0:0: Video: h264, yuv420p, stereo\n" << -1;
        QTest::newRow("empty") << "" << -1;
        // Case, spacing and the counted form of one descriptor; the layout table is not restated.
        const std::pair<const char *, int> descriptors[] = {
            {"Stereo", 2},     {"5.1(SIDE)", 6},    {"12  channels", 12}, {"3 channels\t", 3},
            {"7.1(wide)", -1}, {"6 channelsx", -1}, {"6channels", 6},     {"\t mono \t", 1},
        };
        for (const auto &[descriptor, count] : descriptors)
            QTest::newRow(descriptor) << QStringLiteral("Audio: pcm,%1, s16").arg(descriptor) << count;
    }
    void parseChannelCount()
    {
        QFETCH(QString, output);
        QFETCH(int, count);
        QCOMPARE(ConvertRunner::parseChannelCount(output).value_or(-1), count);
    }

    // What a failed conversion tells the user: the cause, not ffmpeg's chatter.
    void summarise_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("summary");
        const QString longLine = "Error " + QString(300, u'x');
        const QString longPlain = QString(150, u'a') + "\n" + QString(150, u'b');
        auto row = [](const char *name, const QString &text, const QString &summary) {
            QTest::newRow(name) << text << summary;
        };
        row("later of two Error lines",
            "Input #0\n[x] Error opening input\nstuff\nError while decoding: Invalid argument\nConversion failed!\n",
            "Error while decoding: Invalid argument");
        row("lower-case error and Invalid count",
            "a\nsome error here\nb\nInvalid data found when processing input\nc\n",
            "Invalid data found when processing input");
        row("upper-case ERROR does not count", "ERROR one\nplain", "ERROR one\nplain");
        row("no qualifying line gives the start of the text", longPlain, longPlain.left(220));
        row("qualifying line is cut to 220", "x\n" + longLine + "\n", longLine.left(220));
        row("empty", "", "");
        const QString chatter = "Guessed Channel Layout for Input Stream #0.0 : stereo\nInput #0, wav\n";
        for (const char *cause :
             {"Permission denied", "No space left on device", "No such file or directory", "Read-only file system"}) {
            const QString line = QStringLiteral("/music/out.m4a: %1").arg(cause);
            row(cause, chatter + line + "\n", line);
        }
        row("the later of an Error line and a system error",
            "[aac] Error while opening encoder\n/x: No space left on device\n", "/x: No space left on device");
    }
    void summarise()
    {
        QFETCH(QString, text);
        QFETCH(QString, summary);
        const QString result = ConvertRunner::summarise(text);
        QCOMPARE(result, summary);
        QVERIFY(result.size() <= 220);
    }

    // A piece larger than the limit on its own, and a cut through a surrogate pair, which drops the
    // whole character. The ordinary case, a flood of error lines, goes through a real process below.
    void stderrTailCutsWholeCharacters()
    {
        StderrTail big;
        big.append(u"abc");
        big.append(QString(20000, u'z') + "END");
        QCOMPARE(big.text().size(), StderrTail::limit);
        QVERIFY(big.text().endsWith("zEND"));

        StderrTail astral;
        astral.append(QString::fromUtf8("\U0001F3B5") + QString(StderrTail::limit - 2, u'x'));
        astral.append(u"y");
        QCOMPARE(astral.text(), QString(StderrTail::limit - 2, u'x') + "y");
    }

    void parseClock_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("seconds"); // NaN = none
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
        QCOMPARE(parsed.value_or(qQNaN()), seconds); // QCOMPARE takes two NaNs as equal
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

        // Neither an unknown nor a zero duration gives a fraction: it would be meaningless.
        for (const char *duration : {"N/A", "00:00:00.00"}) {
            FFmpegProgress unknown;
            unknown.feed(QStringLiteral("  Duration: %1, start\nsize= 1kB time=00:00:03.00 x\r").arg(duration));
            QVERIFY(!unknown.fraction());
            QCOMPARE(unknown.positionSeconds().value_or(-1), 3.0);
        }
    }

    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: a program that cannot start
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text"); // "*" = any text but an empty one
        QTest::newRow("status 0 whatever it wrote")
            << QByteArray("echo 'Error: not really' >&2\nexit 0\n") << true << 0 << "";
        QTest::newRow("status 1 with the tail")
            << QByteArray("printf 'a\\nInvalid argument\\n' >&2\nexit 1\n") << false << 1 << "a\nInvalid argument\n";
        QTest::newRow("killed by a signal is a failure")
            << QByteArray("echo bye >&2\nkill -9 $$\n") << false << 9 << "bye\n";
        QTest::newRow("standard input is empty") << QByteArray("read line && exit 7\nexit 0\n") << true << 0 << "";
        QString flood;
        for (int i = 0; i < 3000; ++i)
            flood += QStringLiteral("line %1 error text\n").arg(i, 5, 10, QLatin1Char('0'));
        QTest::newRow("a flood of error output keeps its end")
            << QByteArray("i=0\nwhile [ $i -lt 3000 ]; do printf 'line %05d error text\\n' $i >&2; i=$((i+1)); done\n"
                          "exit 3\n")
            << false << 3 << flood.right(StderrTail::limit);
        QTest::newRow("missing") << QByteArray() << false << -1 << "*";
    }
    void outcomes()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, success);
        QFETCH(int, code);
        QFETCH(QString, text);
        const QString program = m_dir.filePath(QStringLiteral("outcome-%1").arg(QTest::currentDataTag()));
        if (!body.isEmpty())
            test::stub(program, body);
        QProcess::ProcessState stateSeen = QProcess::Running;
        const ShellOutcome outcome = test::runTask(
            ConvertRunner::runFFmpeg(program, {}, [&](QProcess *process) { stateSeen = process->state(); }),
            std::chrono::seconds(30));
        QCOMPARE(stateSeen, QProcess::NotRunning); // handed over before the start
        QCOMPARE(outcome.success, success);
        QCOMPARE(outcome.code, code);
        if (text == "*")
            QVERIFY2(!outcome.text.isEmpty(), "the launch error's description");
        else
            QCOMPARE(outcome.text, text);
    }

    void argumentsArriveUnchanged()
    {
        const QString record = m_dir.filePath("args.txt");
        const QString program = script("record", QByteArray("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '") +
                                                     record.toUtf8() + "'\n");
        const QStringList arguments = {"-i", "/a/b c.mov", "$HOME", "*.wav", "`id`", "a;b", QString::fromUtf8("é ♪")};
        const ShellOutcome outcome =
            test::runTask(ConvertRunner::runFFmpeg(program, arguments, {}, {}, {m_dir.path()}));
        QVERIFY(outcome.success);
        QCOMPARE(QString::fromUtf8(test::contents(record)).split('\n', Qt::SkipEmptyParts), arguments);
    }

    // The probe reads the description ffmpeg prints when it is given no output, which ends in a
    // failure status: a probe that succeeds has not described the file.
    void probe_data()
    {
        QTest::addColumn<QByteArray>("exit");
        QTest::addColumn<int>("count");
        QTest::newRow("failing, as ffmpeg does") << QByteArray("exit 1") << 2;
        QTest::newRow("succeeding") << QByteArray("exit 0") << -1;
        // Fenced in: it may write nowhere and read nothing of the home folder.
        QTest::newRow("fenced") << QByteArray("(touch \"$HOME/w\" || ls \"$HOME\") 2>/dev/null && exit 0\nexit 1") << 2;
    }
    void probe()
    {
        QFETCH(QByteArray, exit);
        QFETCH(int, count);
        const QString program =
            script(QStringLiteral("probe-%1").arg(QTest::currentDataTag()), "echo '  Stream #0:0: Audio: pcm, 48000 Hz, stereo' >&2\n" + exit + "\n");
        QCOMPARE(test::runTask(ConvertRunner::probeChannelCount(program, "/x.wav")).value_or(-1), count);
    }
};

HOPLIN_TEST_MAIN(TestFFmpegRun)
#include "tst_ffmpegrun.moc"
