// What a failed or refused conversion tells the user: the cause, not ffmpeg's chatter.
#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/ConvertRunner.h"

#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <unistd.h>

using namespace hoplin;
using namespace std::chrono_literals;

class TestErrorLines : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    static QueueItem convertOne(const QString &input)
    {
        return test::convertWith(
            input, test::wavPreset("ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le {output_base}.wav"));
    }

private slots:
    void systemErrorsNameTheCause_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("summary");
        const QString chatter = "Guessed Channel Layout for Input Stream #0.0 : stereo\nInput #0, wav\n";
        for (const char *cause : {"Permission denied", "No space left on device", "No such file or directory",
                                  "Read-only file system"}) {
            const QString line = QStringLiteral("/music/out.m4a: %1").arg(cause);
            QTest::newRow(cause) << chatter + line + "\n" << line;
        }
        QTest::newRow("the later of an Error line and a system error")
            << "[aac] Error while opening encoder\n/x: No space left on device\n"
            << "/x: No space left on device";
    }
    void systemErrorsNameTheCause()
    {
        QFETCH(QString, text);
        QFETCH(QString, summary);
        QCOMPARE(FFmpegRun::summarise(text), summary);
    }

    void namesWithBracesAreOrdinaryNames_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("base");
        QTest::newRow("braces") << "/m/{live} take}.wav" << "/o/.t-{live} take}";
        QTest::newRow("a placeholder's text in the name") << "/m/{output_base}.wav" << "/o/{input}";
    }
    void namesWithBracesAreOrdinaryNames()
    {
        QFETCH(QString, input);
        QFETCH(QString, base);
        QCOMPARE(ScriptTemplate::buildArguments("ffmpeg -i {input} -f wav {output_base}.wav", input, base),
                 (QStringList{"-i", input, "-f", "wav", base + ".wav"}));
    }

    void templateIsStillJudged_data()
    {
        QTest::addColumn<QString>("templateText");
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("kind");
        QTest::newRow("unknown placeholder") << "ffmpeg -i {input} {other}.wav" << "/m/a.wav"
                                             << int(TemplateError::Kind::UnknownPlaceholder);
        QTest::newRow("placeholder split by a path") << "ffmpeg -i {in{input}put}" << "/m/a.wav"
                                                     << int(TemplateError::Kind::UnknownPlaceholder);
        QTest::newRow("line break in the name") << "ffmpeg -i {input} {output_base}.wav" << "/m/a\nb.wav"
                                                << int(TemplateError::Kind::ControlCharacters);
    }
    void templateIsStillJudged()
    {
        QFETCH(QString, templateText);
        QFETCH(QString, input);
        QFETCH(int, kind);
        try {
            ScriptTemplate::buildArguments(templateText, input, "/o/base");
            QFAIL("accepted");
        } catch (const TemplateError &error) {
            QCOMPARE(int(error.kind()), kind);
        }
    }

    void fileWithBracesConverts()
    {
        const QString input = m_dir.filePath("live {encore}.wav");
        QVERIFY(test::sineWav(input));
        const QueueItem item = convertOne(input);
        QVERIFY2(item.succeeded.value_or(false), qPrintable(item.errorDetail.value_or(item.status)));
        QVERIFY(QFileInfo::exists(m_dir.filePath("live {encore}_conv.wav")));
    }

    void nameThatIsNotUtf8IsRefusedClearly()
    {
        const QString folder = m_dir.filePath("latin1");
        QVERIFY(QDir().mkpath(folder));
        const QByteArray raw = QFile::encodeName(folder) + "/caf\xe9.wav";
        QVERIFY(test::sineWav(folder + "/tmp.wav"));
        QCOMPARE(::rename(QFile::encodeName(folder + "/tmp.wav").constData(), raw.constData()), 0);
        const QueueItem item = convertOne(folder);
        QVERIFY2(!item.input.isEmpty(), "the folder's file was not queued");
        QCOMPARE(item.status, QStringLiteral("✗ Failed"));
        QVERIFY2(item.errorDetail.value_or("").contains("cannot be named safely"),
                 qPrintable(item.errorDetail.value_or("")));
    }
};

HOPLIN_TEST_MAIN(TestErrorLines)
#include "tst_errorlines.moc"
