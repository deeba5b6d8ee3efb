#include "AnalysisTestUtil.h"
#include "analysis/AnalysisRunner.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QJsonArray>
#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

// The runner's messages and stops at the edges: file names that look like placeholders, and a stop
// that lands while the service is starting the job.
class TestAnalysisEdges : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    std::unique_ptr<SessionStore> m_store;

    QString wav(const QString &name)
    {
        const QString path = m_files.filePath(name);
        if (!QFile::exists(path) && !test::synthesiseAudio(path, QStringLiteral("sine=frequency=440:duration=0.3")))
            qFatal("no audio");
        return path;
    }

private slots:
    void initTestCase()
    {
        Settings::shared().setValue(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
    }
    void init()
    {
        m_server.reset();
        m_store = std::make_unique<SessionStore>();
        test::runTask(m_store->connect(test::LocalServer::demoKey));
        QVERIFY(m_store->state().isConnected());
    }
    void cleanup() { QVERIFY(ActiveJobs::shared().isEmpty()); }

    void placeholdersInFileNamesStayAsTheyAre_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("percent one") << "take%1.wav";
        QTest::newRow("percent two") << "%2 mix.wav";
        QTest::newRow("both") << "%1%2.wav";
    }
    void placeholdersInFileNamesStayAsTheyAre()
    {
        QFETCH(QString, name);
        AnalysisRunner runner;
        QStringList lines;
        connect(&runner, &AnalysisRunner::statusLineChanged, this, [&] { lines << runner.statusLine(); });
        runner.queue({wav(name)});
        runner.run(m_store.get());
        QVERIFY(test::waitUntil([&] { return !runner.isRunning(); }, 30s));
        QCOMPARE(runner.items().first().status, "✓ " + name);
        QVERIFY2(lines.contains("✓ " + name + " — 1 analysed this session."), qPrintable(lines.join(" | ")));
        QVERIFY2(lines.contains("Uploading " + name + "…"), qPrintable(lines.join(" | ")));
    }

    void stopWhileTheJobStartsCancelsIt()
    {
        AnalysisRunner runner;
        runner.queue({wav("a.wav")});
        // The start call is answered late; the stop lands while it is under way.
        m_server.delay(QStringLiteral("POST /v1/jobs/*/process"), 1500);
        runner.run(m_store.get());
        QVERIFY(test::waitUntil([&] { return runner.items().first().status == "Analyzing a.wav…"; }, 10s));
        runner.cancel();
        QVERIFY(test::waitUntil([&] { return !runner.isRunning(); }, 10s));

        // The job the service started is cancelled there, and the item does not keep it.
        QVERIFY(test::waitUntil([&] { return m_server.cancels().size() == 1; }, 10s));
        const QString jobID = m_server.cancels().first().toString();
        QVERIFY(!jobID.isEmpty());
        QVERIFY(test::waitUntil(
            [&] { return test::logMessages("analysis").contains("server cancel requested for " + jobID); }, 5s));
        const AnalysisRunner::Item item = runner.items().first();
        QCOMPARE(item.status, QStringLiteral("Stopped"));
        QVERIFY(item.isPending());
        QVERIFY(!item.jobID);
        QCOMPARE(runner.statusLine(), QStringLiteral("Stopped — 1 file still queued."));
    }
};

HOPLIN_TEST_MAIN(TestAnalysisEdges)
#include "tst_analysisedges.moc"
