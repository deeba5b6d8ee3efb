// Hidden outputs of an interrupted conversion do not pile up beside the user's files.
#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/ConvertRunner.h"
#include "platform/Platform.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

class TestConvertCleanup : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void staleOutputOfTheSameFileGoesFirst()
    {
        QVERIFY(test::sineWav(m_dir.filePath("tone.wav")));
        const QString stale = ".hoplin-tmp-0F8E2C7A-1B2C-4D5E-8F90-A1B2C3D4E5F6-";
        for (const QString &name : {"tone.wav", "tone-0.log", "tone2.wav", "tone", "ton.wav"})
            QVERIFY(test::writeFile(m_dir.filePath(stale + name), "old"));

        const QueueItem item = test::convertWith(
            m_dir.filePath("tone.wav"),
            test::wavPreset("ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le {output_base}.wav"));
        QVERIFY(item.succeeded.value_or(false));

        // Another file's leftovers ("tone2", "ton") are not this conversion's to remove.
        QCOMPARE(test::entries(m_dir.path()),
                 (QStringList{stale + "ton.wav", stale + "tone2.wav", "tone.wav", "tone_conv.wav"}));
        // Nothing of the finished conversion is left in the journal.
        QFile journal(platform::appDataDirectory() + "/temporaries.journal");
        QVERIFY(journal.open(QIODevice::ReadOnly));
        QCOMPARE(journal.readAll(), QByteArray());
    }
};

HOPLIN_TEST_MAIN(TestConvertCleanup)
#include "tst_convertcleanup.moc"
