#include "TestSupport.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"

#include <QSignalSpy>
#include <QTest>

using namespace hoplin;

class TestActiveJobs : public QObject {
    Q_OBJECT

    static QStringList appLines() { return test::logMessages("app").filter("active job"); }

private slots:
    void initTestCase() { Settings::shared().setValue(keys::hoplinDiag, true); }

    void aSetOfKindsWithItsLogLines()
    {
        ActiveJobs jobs;
        QSignalSpy changed(&jobs, &ActiveJobs::runningKeysChanged);
        jobs.begin("Conversion");
        jobs.begin("Conversion");
        jobs.begin("Analysis");
        QCOMPARE(jobs.sortedKeys(), QStringList({"Analysis", "Conversion"}));
        jobs.end("Conversion");
        jobs.end("Conversion");
        jobs.end("Analysis");
        QVERIFY(jobs.isEmpty());
        QCOMPARE(changed.count(), 4); // repeated begin/end change nothing
        // Every call is logged, with the count after it.
        const QStringList lines = appLines();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[1], QStringLiteral("active job started: Conversion (now 1)"));
        QCOMPARE(lines[5], QStringLiteral("active job ended: Analysis (now 0)"));
    }
};

HOPLIN_TEST_MAIN(TestActiveJobs)
#include "tst_activejobs.moc"
