#include "AnalysisTestUtil.h"
#include "analysis/AnalysisRunner.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "service/SessionStore.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

const QString timeoutText =
    QStringLiteral("The analysis is taking longer than expected — Retry resumes the running job.");

// Everything the runner showed as its status line, in order.
struct StatusLines {
    explicit StatusLines(AnalysisRunner &runner)
    {
        QObject::connect(&runner, &AnalysisRunner::statusLineChanged, &context,
                         [this, &runner] { lines << runner.statusLine(); });
    }
    QObject context;
    QStringList lines;
};

} // namespace

class TestAnalysisRunner : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<SessionStore> m_store;
    std::unique_ptr<AnalysisRunner> m_runner;
    qsizetype m_logMark = 0;

    QString wav(const QString &name) { return test::sineFile(m_files->filePath(name)); }

    AnalysisRunner::Item only() { return m_runner->items().value(0); }

    bool runToEnd(std::chrono::milliseconds timeout = 30s)
    {
        m_runner->run(m_store.get());
        return test::waitUntil([&] { return !m_runner->isRunning(); }, timeout);
    }

    QStringList logLines()
    {
        DiagnosticsLogger::shared().flush();
        return test::logMessages("analysis", m_logMark);
    }

    int uploads() { return m_server.count(QStringLiteral("POST /v1/uploads")); }

private slots:
    void initTestCase()
    {
        Settings::shared().setValue(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
        QVERIFY(test::startService(m_server));
    }
    void init()
    {
        m_server.reset();
        m_files = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<SessionStore>();
        test::runTask(m_store->connect(test::LocalServer::demoKey));
        QVERIFY(m_store->state().isConnected());
        m_runner = std::make_unique<AnalysisRunner>();
        m_logMark = DiagnosticsLogger::shared().bufferSnapshot().size();
    }
    void cleanup()
    {
        m_runner.reset();
        QVERIFY(ActiveJobs::shared().isEmpty());
        QCOMPARE(test::leftoverBodies(), QStringList());
    }

    void queueStatuses_data()
    {
        QTest::addColumn<QStringList>("calls"); // one queue() call each, "|" between its paths
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("items");
        const QString one = "1 file queued — analysis runs on the Hoplin VPS.";
        QTest::newRow("folder without audio")
            << QStringList{"notes"} << "No audio files found (wav, aiff, flac, mp3, m4a, aac, ogg…)." << 0;
        QTest::newRow("one file") << QStringList{"a.wav"} << one << 1;
        QTest::newRow("same file again") << QStringList{"a.wav", "a.wav"} << "Nothing new to add." << 1;
        QTest::newRow("one new among known") << QStringList{"a.wav", "a.wav|B.flac|notes/read.txt"} << one << 2;
    }
    void queueStatuses()
    {
        QFETCH(QStringList, calls);
        QFETCH(QString, status);
        QFETCH(int, items);
        for (const char *name : {"a.wav", "B.flac", "notes/read.txt"})
            QVERIFY(test::sparseFile(m_files->filePath(name), 0));
        for (const QString &call : calls) {
            QStringList paths;
            for (const QString &name : call.split('|'))
                paths << m_files->filePath(name);
            m_runner->queue(paths);
        }
        QCOMPARE(m_runner->statusLine(), status);
        QCOMPARE(m_runner->items().size(), items);
        for (const AnalysisRunner::Item &item : m_runner->items()) {
            QCOMPARE(item.status, QStringLiteral("Queued"));
            QVERIFY(item.isPending() && !item.jobID && !item.analysis);
        }
    }

    void successfulRun_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain name") << "a.wav";
        // Names that look like placeholders are shown as they are.
        QTest::newRow("percent one") << "take%1.wav";
        QTest::newRow("both placeholders") << "%1%2 mix.wav";
    }
    void successfulRun()
    {
        QFETCH(QString, name);
        m_runner->queue({wav(name)});
        StatusLines status(*m_runner);
        QStringList itemStatuses;
        connect(m_runner.get(), &AnalysisRunner::itemsChanged, this, [&] {
            if (itemStatuses.value(itemStatuses.size() - 1) != only().status)
                itemStatuses << only().status;
        });
        QSignalSpy keys(&ActiveJobs::shared(), &ActiveJobs::runningKeysChanged);
        m_runner->run(m_store.get());
        QVERIFY(m_runner->isRunning());
        QCOMPARE(ActiveJobs::shared().sortedKeys(), QStringList{"Analysis"});
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }, 30s));

        const AnalysisRunner::Item item = only();
        QCOMPARE(item.succeeded, std::optional<bool>(true));
        QVERIFY(item.analysis && item.analysis->loudness && item.analysis->loudness->integratedLufs);
        QVERIFY(item.jobID && !item.errorMessage && !item.uploadProgress);
        QCOMPARE(m_runner->analyzedCount(), 1);
        QCOMPARE(itemStatuses, QStringList({"Uploading " + name + "…", "Analyzing " + name + "…", "✓ " + name}));
        QCOMPARE(status.lines,
                 QStringList({"Running…", "Uploading " + name + "…", "Analyzing " + name + " on the VPS…",
                              "✓ " + name + " — 1 analysed this session.", "Queue finished — 1 file analysed."}));
        QCOMPARE(keys.count(), 2);

        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], "start " + name);
        QVERIFY2(lines[1].startsWith("uploaded upload_id=up-"), qPrintable(lines[1]));
        QCOMPARE(lines[2], QStringLiteral("job started job_id=") + *item.jobID);
        QCOMPARE(lines[3], QStringLiteral("job finished job_id=%1 status=COMPLETED error=none").arg(*item.jobID));
    }

    void jobOutcomes_data()
    {
        QTest::addColumn<QString>("mode"); // of the local service; see test::analysisMode
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("finishedLine");
        const auto row = [](const char *mode, bool succeeded, const QString &message, const char *finishedLine) {
            QTest::newRow(mode) << QString(mode) << succeeded << message << QString(finishedLine);
        };
        row("failed", false, "Decoder crashed at 00:01.", "status=FAILED error=Decoder crashed at 00:01.");
        row("no_analysis", false, "status COMPLETED", "status=COMPLETED error=none");
        row("malformed", false,
            R"(Unexpected response: key "analysis.loudness.integrated_lufs" expected a number but found a string)", "");
        row("lowercase", true, "", "status=completed error=none");
    }
    void jobOutcomes()
    {
        QFETCH(QString, mode);
        QFETCH(bool, succeeded);
        QFETCH(QString, message);
        QFETCH(QString, finishedLine);
        // A failed job carries the message as its error summary.
        test::analysisMode(m_server, mode, mode == "failed" ? message : QString());
        m_runner->queue({wav("a.wav")});
        StatusLines status(*m_runner);
        QVERIFY(runToEnd());

        const AnalysisRunner::Item item = only();
        QCOMPARE(item.succeeded, std::optional<bool>(succeeded));
        QVERIFY(item.jobID);
        if (succeeded) {
            QCOMPARE(status.lines.last(), QStringLiteral("Queue finished — 1 file analysed."));
        } else {
            QCOMPARE(item.status, QStringLiteral("✗ a.wav"));
            QCOMPARE(item.errorMessage, message);
            QVERIFY(!item.analysis);
            QCOMPARE(status.lines.value(status.lines.size() - 2), "Analysis failed for a.wav: " + message);
            QCOMPARE(status.lines.last(),
                     QStringLiteral("Queue finished — 0 analysed, 1 failed. Click a red card for details."));
        }
        if (!finishedLine.isEmpty())
            QCOMPARE(logLines().last(), QStringLiteral("job finished job_id=%1 %2").arg(*item.jobID, finishedLine));
    }

    void refusedBeforeUpload_data()
    {
        QTest::addColumn<qint64>("size"); // -1: no file
        QTest::addColumn<int>("uploaded");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("status");
        const QString failed = "✗ big.wav";
        QTest::newRow("exactly 128 MiB") << qint64(134217728) << 1 << "Injected: measured elsewhere." << failed;
        QTest::newRow("one byte more") << qint64(134217729) << 0 << "big.wav is larger than the 128 MiB upload limit."
                                       << failed;
        QTest::newRow("missing file") << qint64(-1) << 0 << "Could not read big.wav: No such file or directory"
                                      << failed;
        // Signed out, a file fails at once instead of going up without a token.
        QTest::newRow("signed out") << qint64(16) << 0 << "Connect with your client key to analyse files."
                                    << "✗ Not connected";
    }
    void refusedBeforeUpload()
    {
        QFETCH(qint64, size);
        QFETCH(int, uploaded);
        QFETCH(QString, message);
        QFETCH(QString, status);
        // The service fails the job at once, so only the upload itself costs time.
        test::analysisMode(m_server, "failed", "Injected: measured elsewhere.");
        const QString path = m_files->filePath(QStringLiteral("big.wav"));
        QVERIFY(size < 0 || test::sparseFile(path, size));
        if (status == QStringLiteral("✗ Not connected"))
            m_store->disconnect();
        m_runner->queue({path});
        QVERIFY(runToEnd(120s));
        QCOMPARE(only().errorMessage, message);
        QCOMPARE(only().status, status);
        QCOMPARE(uploads(), uploaded);
        QCOMPARE(test::analysisState(m_server).value("uploads").toInt(), uploaded);
    }

    void timeOutThenResume()
    {
        test::analysisMode(m_server, "slow");
        m_runner->setPollingForTesting(40ms, 400ms);
        m_runner->queue({wav("a.wav")});
        StatusLines status(*m_runner);
        QVERIFY(runToEnd());
        const AnalysisRunner::Item timedOut = only();
        QVERIFY(timedOut.jobID);
        QCOMPARE(timedOut.status, QStringLiteral("Job %1 still running").arg(*timedOut.jobID));
        QCOMPARE(timedOut.succeeded, std::optional<bool>(false));
        QVERIFY(status.lines.contains("Analysis failed for a.wav: " + timeoutText));
        QVERIFY(m_server.count(QStringLiteral("GET /v1/jobs/") + *timedOut.jobID) >= 3);

        // The job finishes on the service meanwhile; a retry polls it instead of uploading again.
        test::analysisMode(m_server, "normal");
        m_runner->setPollingForTesting(40ms, 30s);
        m_runner->retry(timedOut.id);
        QCOMPARE(only().status, QStringLiteral("Resuming job %1…").arg(*timedOut.jobID));
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Re-queued a.wav."));
        status.lines.clear();
        QVERIFY(runToEnd());
        QCOMPARE(only().status, QStringLiteral("✓ a.wav"));
        QCOMPARE(only().jobID, timedOut.jobID);
        QVERIFY(status.lines.contains("Resuming analysis for a.wav…"));
        QCOMPARE(uploads(), 1);
        QCOMPARE(logLines().filter("job started").size(), 1);
        QCOMPARE(test::analysisState(m_server).value("jobs").toArray().size(), 1);
        // Retrying it once it succeeded looks at the same job again rather than uploading anew.
        m_runner->retry(only().id);
        QCOMPARE(only().status, QStringLiteral("Resuming job %1…").arg(*timedOut.jobID));
    }

    void stopWithAJobOnTheService_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("while the job starts") << "starting";
        QTest::newRow("between two status calls") << "between";
        QTest::newRow("during a status call") << "polling";
    }
    void stopWithAJobOnTheService()
    {
        QFETCH(QString, moment);
        test::analysisMode(m_server, "slow");
        // Between two calls the pause is long: the stop must not wait for it to end.
        m_runner->setPollingForTesting(moment == "polling" ? 20ms : 60s, 120s);
        if (moment == "starting") // the start call is answered late; the stop lands while it is under way
            m_server.delay(QStringLiteral("POST /v1/jobs/*/process"), 1500);
        m_runner->queue({wav("a.wav")});
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return only().status == "Analyzing a.wav…"; }));
        if (moment != "starting") {
            QVERIFY(
                test::waitUntil([&] { return only().jobID && m_server.count("GET /v1/jobs/" + *only().jobID) >= 1; }));
        }
        if (moment == "polling") {
            // The service holds the next status call; the stop aborts it.
            const QString statusCall = "GET /v1/jobs/" + *only().jobID;
            m_server.delay(QStringLiteral("GET /v1/jobs/*"), 3000);
            const int before = m_server.count(statusCall);
            QVERIFY(test::waitUntil([&] { return m_server.count(statusCall) > before; }));
            QTest::qWait(100); // past the 20 ms pause, in case the call seen was one already under way
        }
        const std::optional<QString> known = only().jobID;
        StatusLines status(*m_runner);
        m_runner->cancel();
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }));
        QCOMPARE(status.lines.first(), QStringLiteral("Stopping…"));
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Stopped — 1 file still queued."));
        QCOMPARE(only().status, QStringLiteral("Stopped"));
        QVERIFY(only().isPending());
        // The job the service started is cancelled there, and the item forgets it: it could only
        // come back "CANCELLED", so the next run uploads the file anew.
        QVERIFY(test::waitUntil([&] { return m_server.cancels().size() == 1; }));
        const QString jobID = m_server.cancels().first().toString();
        QVERIFY(!known || jobID == *known);
        QVERIFY(test::waitUntil([&] { return logLines().contains("server cancel requested for " + jobID); }));
        QVERIFY(!logLines().join('\n').contains("job finished"));
        QVERIFY(!only().jobID);
        test::analysisMode(m_server, "normal");
        m_runner->setPollingForTesting(20ms, 60s);
        QVERIFY(runToEnd());
        QCOMPARE(only().status, QStringLiteral("✓ a.wav"));
        QVERIFY(only().jobID != jobID);
        QCOMPARE(uploads(), 2);
    }

    void jobCancelledOnTheServiceEndsThePolling()
    {
        // The shipped pace, not a test override: status calls about 1.5 s apart.
        test::analysisMode(m_server, "slow");
        m_runner->queue({wav("a.wav")});
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return only().jobID.has_value(); }));
        const QString jobID = *only().jobID;
        const QString statusPath = "/v1/jobs/" + jobID;
        QVERIFY(test::waitUntil([&] { return m_server.count("GET " + statusPath) >= 2; }, 10s));
        QList<QDateTime> times;
        for (const QJsonValue &request : m_server.requests()) {
            if (request["method"].toString() == "GET" && request["path"].toString() == statusPath)
                times << QDateTime::fromString(request["time"].toString(), Qt::ISODateWithMs);
        }
        QVERIFY(times.size() >= 2);
        QVERIFY2(times[0].msecsTo(times[1]) >= 1400, qPrintable(QString::number(times[0].msecsTo(times[1]))));

        // Cancelled elsewhere: "CANCELLED" is final, so the item fails instead of polling on.
        test::runTask(APIClient::cancelJob(jobID, m_store->accessToken()));
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }, 10s));
        QCOMPARE(only().succeeded, std::optional<bool>(false));
        QCOMPARE(logLines().last(), QStringLiteral("job finished job_id=%1 status=CANCELLED error=none").arg(jobID));
    }

    void countsAcrossRuns()
    {
        // The count spans runs; a failed file is counted apart.
        for (const char *mode : {"normal", "normal", "failed", "normal"}) {
            test::analysisMode(m_server, mode);
            m_runner->queue({wav(QStringLiteral("%1.wav").arg(m_runner->items().size()))});
            QVERIFY(runToEnd());
        }
        QCOMPARE(m_runner->statusLine(),
                 QStringLiteral("Queue finished — 3 analysed, 1 failed. Click a red card for details."));

        // Clearing removes the finished files and keeps what still waits.
        m_runner->queue({wav("waiting.wav")});
        m_runner->clear();
        QCOMPARE(m_runner->items().size(), 1);
        QCOMPARE(only().status, QStringLiteral("Queued"));
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Cleared."));
        QCOMPARE(m_runner->analyzedCount(), 3);
    }

    void editingWaitsForIdle()
    {
        test::analysisMode(m_server, "slow");
        m_runner->queue({wav("a.wav")});
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return only().jobID.has_value(); }));
        const QUuid id = only().id;
        m_runner->remove(id);
        m_runner->retry(id);
        m_runner->clear();
        m_runner->run(m_store.get()); // no second run
        QCOMPARE(m_runner->items().size(), 1);
        m_runner->queue({wav("b.wav")}); // taken by the same run
        QCOMPARE(m_runner->items().size(), 2);
        test::analysisMode(m_server, "normal");
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }, 30s));
        QCOMPARE(m_runner->items().value(1).status, QStringLiteral("✓ b.wav"));
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Queue finished — 2 files analysed."));
    }

    void destroyedMidRun()
    {
        test::analysisMode(m_server, "slow");
        m_runner->queue({wav("a.wav")});
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return only().jobID.has_value(); }));
        m_runner.reset();
        QVERIFY(ActiveJobs::shared().isEmpty());
        QTest::qWait(300); // the orphaned run resumes and ends without touching the runner
    }
};

HOPLIN_TEST_MAIN(TestAnalysisRunner)
#include "tst_analysisrunner.moc"
