#include "TestSupport.h"
#include "diagnostics/ActiveJobs.h"

#include <QSignalSpy>
#include <QTest>

using namespace hoplin;

class TestActiveJobs : public QObject {
    Q_OBJECT

private slots:
    void aSetOfKindsCountedOnce()
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
    }
};

HOPLIN_TEST_MAIN(TestActiveJobs)
#include "tst_activejobs.moc"
