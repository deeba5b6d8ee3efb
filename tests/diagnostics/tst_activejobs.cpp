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
        QCOMPARE(appLines(), QStringList({
                                 "active job started: Conversion (now 1)",
                                 "active job started: Conversion (now 1)",
                                 "active job started: Analysis (now 2)",
                                 "active job ended: Conversion (now 1)",
                                 "active job ended: Conversion (now 1)",
                                 "active job ended: Analysis (now 0)",
                             }));
    }
};

HOPLIN_TEST_MAIN(TestActiveJobs)
#include "tst_activejobs.moc"
