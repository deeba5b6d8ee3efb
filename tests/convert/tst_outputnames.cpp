#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/ConvertRunner.h"
#include "platform/Settings.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

// The suffix and extension of a preset come from the service; an output name built from them must
// stay one file inside the destination folder.
class TestOutputNames : public QObject {
    Q_OBJECT

    QTemporaryDir m_media;

private slots:
    void initTestCase()
    {
        Settings::shared().remove(keys::exportLocation);
        QVERIFY(test::sineWav(m_media.filePath("tone.wav"), 0.2));
    }

    void outputNamesStayInTheDestination_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("outputExt");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("ordinary") << "_norm" << ".wav" << true;
        QTest::newRow("dots inside a name") << "_v1..2" << ".wav" << true;
        QTest::newRow("suffix climbs out") << "/../../escaped" << ".wav" << false;
        QTest::newRow("suffix names a subfolder") << "/sub" << ".wav" << false;
        QTest::newRow("extension climbs out") << "" << "/../escaped.wav" << false;
        QTest::newRow("extension is a folder") << "_x" << "/" << false;
        QTest::newRow("extension with a NUL") << "_x" << QStringLiteral(".wav") + QChar(0) + "/x" << false;
    }
    void outputNamesStayInTheDestination()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, outputExt);
        QFETCH(bool, accepted);
        QTemporaryDir root;
        const QString input = root.filePath("in/deeper/tone.wav");
        QDir().mkpath(QFileInfo(input).path());
        QVERIFY(QFile::copy(m_media.filePath("tone.wav"), input));

        Preset preset;
        preset.id = "p";
        preset.name = "p";
        preset.suffix = suffix;
        preset.outputExt = outputExt;
        preset.command = "ffmpeg -hide_banner -nostdin -v error -y -i {input} -f wav {output_base}" + outputExt;
        ConvertRunner runner;
        runner.queue({input}, preset.id);
        runner.run({preset}, test::realFFmpeg(), nullptr);
        QVERIFY(test::waitUntil([&] { return !runner.isRunning(); }, 30s));

        const QueueItem item = runner.items().first();
        QStringList written;
        QDirIterator it(root.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            written << it.next().mid(root.path().size() + 1);
        if (accepted) {
            QCOMPARE(item.succeeded, std::optional<bool>(true));
            QCOMPARE(written.size(), 2);
            QCOMPARE(QFileInfo(*item.output).path(), QFileInfo(input).path());
            return;
        }
        QCOMPARE(item.status, QStringLiteral("✗ Script rejected"));
        QVERIFY2(item.errorDetail.value_or("").contains("not a single file name inside the destination folder"),
                 qPrintable(item.errorDetail.value_or("")));
        QVERIFY(runner.statusLine() == "Queue finished — 0 done, 1 failed.");
        QCOMPARE(written, QStringList{"in/deeper/tone.wav"});
    }
};

HOPLIN_TEST_MAIN(TestOutputNames)
#include "tst_outputnames.moc"
