// What a killed session leaves behind is removed at the next start, and nothing else is.
#include "TestSupport.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "platform/Platform.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace hoplin;

namespace {

const QString uuid = "0F8E2C7A-1B2C-4D5E-8F90-A1B2C3D4E5F6";

// A process id that is certainly not running any more.
qint64 endedPid()
{
    QProcess process;
    process.start("true", {});
    process.waitForFinished();
    return process.processId() > 0 ? process.processId() : 999999;
}

} // namespace

class TestTemporaryJournal : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString journalPath() const { return m_dir.filePath("journal"); }

private slots:
    void initTestCase() { Settings::shared().setValue(keys::hoplinDiag, true); }

    void sweepRemovesOnlyWhatDeadSessionsLeft()
    {
        const QString work = m_dir.filePath("work");
        const QString deadBase = work + "/.hoplin-tmp-" + uuid + "-song";
        const QString deadBody = work + "/hoplin-upload-" + uuid + ".multipart";
        // A session still running (our parent stands in for one) keeps its files.
        const QString liveBody = work + "/hoplin-upload-" + QString(uuid).replace('0', '1') + ".multipart";
        // A damaged journal naming a user's files: never touched.
        const QString userFile = work + "/holiday.m4a";
        const QString userPrefix = work + "/.hoplin-tmp-notauuid";
        // A line that climbs out of its folder is not ours either, even with our kind of name.
        const QString climbing = work + "/sub/../.hoplin-tmp-" + QString(uuid).replace('F', 'E');
        // A downloaded update image, and an update staging folder: a bare UUID, but only there.
        const QString deadImage = work + "/hoplin-update-" + QString(uuid).replace('A', 'B');
        const QString deadStaging = platform::appDataDirectory() + "/Updates/" + uuid;
        const QString bareElsewhere = work + "/" + uuid;
        QVERIFY(QDir().mkpath(work + "/sub"));
        test::writeFile(deadImage + ".dmg", "x");
        test::writeFile(deadStaging + "/Hoplin Desktop.app/Contents/Info.plist", "x");
        test::writeFile(bareElsewhere + "/keep", "x");
        for (const QString &path : {deadBase + ".m4a", deadBase + "-0.log", deadBase + "-segments/1.ts", deadBody,
                                    liveBody, userFile, userPrefix + ".m4a", climbing + ".m4a"})
            test::writeFile(path, "x");

        QByteArray lines = QByteArray::number(::getppid()) + '\t' + liveBody.toUtf8() + '\n';
        const QByteArray dead = QByteArray::number(endedPid()) + '\t';
        for (const QString &base :
             {deadBase, deadBody, userFile, userPrefix, climbing, "relative/hoplin-upload-" + uuid, deadImage, deadStaging,
              bareElsewhere})
            lines += dead + base.toUtf8() + '\n';
        test::writeFile(journalPath(), lines);
        TemporaryJournal journal(journalPath());
        const QStringList removed = journal.sweep();

        QCOMPARE(QSet<QString>(removed.begin(), removed.end()),
                 (QSet<QString>{deadBase + ".m4a", deadBase + "-0.log", deadBase + "-segments", deadBody,
                                deadImage + ".dmg", deadStaging}));
        QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 (QStringList{QFileInfo(climbing).fileName() + ".m4a", ".hoplin-tmp-notauuid.m4a", uuid, "holiday.m4a",
                              QFileInfo(liveBody).fileName(), "sub"}));
        // The live session's line stays for its own clean-up; the rest are gone.
        QFile file(journalPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray::number(::getppid()) + '\t' + liveBody.toUtf8() + '\n');
        DiagnosticsLogger::shared().flush();
        QVERIFY(test::logMessages("app").filter("left by an earlier session").size() == 1);
    }
};

HOPLIN_TEST_MAIN(TestTemporaryJournal)
#include "tst_temporaryjournal.moc"
