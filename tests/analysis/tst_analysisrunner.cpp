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

    QString wav(const QString &name)
    {
        const QString path = m_files->filePath(name);
        if (!QFile::exists(path) && !test::synthesiseAudio(path, QStringLiteral("sine=frequency=440:duration=0.5")))
            qFatal("no audio");
        return path;
    }

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
        test::privateTempDir();
        Settings::shared().setValue(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
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
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("items");
        QTest::newRow("folder without audio") << QStringList{"notes"} << QStringList()
                                              << "No audio files found (wav, aiff, flac, mp3, m4a, aac, ogg…)." << 0;
        QTest::newRow("one file") << QStringList{"a.wav"} << QStringList()
                                  << "1 file queued — analysis runs on the Hoplin VPS." << 1;
        QTest::newRow("same file again") << QStringList{"a.wav"} << QStringList{"a.wav"} << "Nothing new to add." << 1;
        QTest::newRow("one new among known") << QStringList{"a.wav"} << QStringList{"a.wav", "B.flac", "notes/read.txt"}
                                             << "1 file queued — analysis runs on the Hoplin VPS." << 2;
    }
    void queueStatuses()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(QString, status);
        QFETCH(int, items);
        for (const char *name : {"a.wav", "B.flac", "notes/read.txt", "album/c.wav", "album/deeper/d.mp3"})
            QVERIFY(test::sparseFile(m_files->filePath(name), 0));
        const auto paths = [&](const QStringList &names) {
            QStringList result;
            for (const QString &name : names)
                result << m_files->filePath(name);
            return result;
        };
        m_runner->queue(paths(first));
        if (!second.isEmpty())
            m_runner->queue(paths(second));
        QCOMPARE(m_runner->statusLine(), status);
        QCOMPARE(m_runner->items().size(), items);
        for (const AnalysisRunner::Item &item : m_runner->items()) {
            QCOMPARE(item.status, QStringLiteral("Queued"));
            QVERIFY(item.isPending() && !item.jobID && !item.analysis);
        }
    }

    void successfulRun()
    {
        m_runner->queue({wav("a.wav")});
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
        QCOMPARE(item.status, QStringLiteral("✓ a.wav"));
        QCOMPARE(item.succeeded, std::optional<bool>(true));
        QVERIFY(item.analysis && item.analysis->loudness && item.analysis->loudness->integratedLufs);
        QVERIFY(item.jobID && !item.errorMessage && !item.uploadProgress);
        QCOMPARE(m_runner->analyzedCount(), 1);
        QCOMPARE(itemStatuses, QStringList({"Uploading a.wav…", "Analyzing a.wav…", "✓ a.wav"}));
        QCOMPARE(status.lines,
                 QStringList({"Running…", "Uploading a.wav…", "Analyzing a.wav on the VPS…",
                              "✓ a.wav — 1 analysed this session.", "Queue finished — 1 file analysed."}));
        QCOMPARE(keys.count(), 2);

        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], QStringLiteral("start a.wav"));
        QVERIFY2(lines[1].startsWith("uploaded upload_id=up-"), qPrintable(lines[1]));
        QCOMPARE(lines[2], QStringLiteral("job started job_id=") + *item.jobID);
        QCOMPARE(lines[3], QStringLiteral("job finished job_id=%1 status=COMPLETED error=none").arg(*item.jobID));
    }

    void jobOutcomes_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("finishedLine");
        QTest::newRow("failed with a summary") << "failed"
                                               << "Decoder crashed at 00:01." << false << "Decoder crashed at 00:01."
                                               << "status=FAILED error=Decoder crashed at 00:01.";
        QTest::newRow("completed without analysis") << "no_analysis"
                                                    << "" << false << "status COMPLETED"
                                                    << "status=COMPLETED error=none";
        QTest::newRow("malformed document")
            << "malformed"
            << "" << false
            << R"(Unexpected response: key "analysis.loudness.integrated_lufs" expected a number but found a string)"
            << "";
        QTest::newRow("lower-case COMPLETED") << "lowercase"
                                              << "" << true << ""
                                              << "status=completed error=none";
    }
    void jobOutcomes()
    {
        QFETCH(QString, mode);
        QFETCH(QString, summary);
        QFETCH(bool, succeeded);
        QFETCH(QString, message);
        QFETCH(QString, finishedLine);
        test::analysisMode(m_server, mode, summary);
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

    void uploadLimit_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("uploaded");
        QTest::addColumn<QString>("message");
        QTest::newRow("exactly 128 MiB") << qint64(134217728) << 1 << "Injected: measured elsewhere.";
        QTest::newRow("one byte more") << qint64(134217729) << 0 << "big.wav is larger than the 128 MiB upload limit.";
    }
    void uploadLimit()
    {
        QFETCH(qint64, size);
        QFETCH(int, uploaded);
        QFETCH(QString, message);
        // The service fails the job at once, so only the upload itself costs time.
        test::analysisMode(m_server, "failed", "Injected: measured elsewhere.");
        const QString path = m_files->filePath(QStringLiteral("big.wav"));
        QVERIFY(test::sparseFile(path, size));
        m_runner->queue({path});
        QVERIFY(runToEnd(120s));
        QCOMPARE(only().errorMessage, message);
        QCOMPARE(only().status, QStringLiteral("✗ big.wav"));
        QCOMPARE(uploads(), uploaded);
        QCOMPARE(test::analysisState(m_server).value("uploads").toInt(), uploaded);
    }

    void missingFileFailsBeforeUpload()
    {
        m_runner->queue({m_files->filePath(QStringLiteral("gone.wav"))});
        QVERIFY(runToEnd());
        QCOMPARE(only().status, QStringLiteral("✗ gone.wav"));
        QCOMPARE(only().errorMessage, QStringLiteral("Could not read gone.wav: No such file or directory"));
        QCOMPARE(uploads(), 0);
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
        QCOMPARE(timedOut.errorMessage, timeoutText);
        QVERIFY(status.lines.contains("Analysis failed for a.wav: " + timeoutText));
        QVERIFY(m_server.count(QStringLiteral("GET /v1/jobs/") + *timedOut.jobID) >= 3);

        // The job finishes on the service meanwhile; a retry polls it instead of uploading again.
        test::analysisMode(m_server, "normal");
        m_runner->setPollingForTesting(40ms, 30s);
        m_runner->retry(timedOut.id);
        QCOMPARE(only().status, QStringLiteral("Resuming job %1…").arg(*timedOut.jobID));
        QVERIFY(only().isPending() && !only().errorMessage);
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Re-queued a.wav."));
        status.lines.clear();
        QVERIFY(runToEnd());
        QCOMPARE(only().status, QStringLiteral("✓ a.wav"));
        QCOMPARE(only().jobID, timedOut.jobID);
        QVERIFY(status.lines.contains("Resuming analysis for a.wav…"));
        QCOMPARE(uploads(), 1);
        QCOMPARE(logLines().filter("job started").size(), 1);
        QCOMPARE(test::analysisState(m_server).value("jobs").toArray().size(), 1);
    }

    void stopWhilePolling_data()
    {
        QTest::addColumn<bool>("inFlight");
        QTest::newRow("between two status calls") << false;
        QTest::newRow("during a status call") << true;
    }
    void stopWhilePolling()
    {
        QFETCH(bool, inFlight);
        test::analysisMode(m_server, "slow");
        // Between two calls the pause is long: the stop must not wait for it to end.
        m_runner->setPollingForTesting(inFlight ? 20ms : 60s, 120s);
        m_runner->queue({wav("a.wav")});
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return only().jobID && m_runner->statusLine().startsWith("Analyzing"); }));
        const QString jobID = *only().jobID;
        const QString statusCall = "GET /v1/jobs/" + jobID;
        QVERIFY(test::waitUntil([&] { return m_server.count(statusCall) >= 1; }));
        if (inFlight) {
            // The service holds the next status call; the stop aborts it.
            m_server.delay(QStringLiteral("GET /v1/jobs/*"), 3000);
            const int before = m_server.count(statusCall);
            QVERIFY(test::waitUntil([&] { return m_server.count(statusCall) > before; }));
            QTest::qWait(100); // past the 20 ms pause, in case the call seen was one already under way
        }
        StatusLines status(*m_runner);
        m_runner->cancel();
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }));
        QCOMPARE(status.lines.first(), QStringLiteral("Stopping…"));
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Stopped — 1 file still queued."));
        QCOMPARE(only().status, QStringLiteral("Stopped"));
        QVERIFY(only().isPending());
        QVERIFY(test::waitUntil([&] { return m_server.cancels() == QJsonArray{jobID}; }));
        QVERIFY(test::waitUntil([&] { return logLines().contains("server cancel requested for " + jobID); }));
        QVERIFY(!logLines().join('\n').contains("job finished"));

        // The cancelled job could only come back "CANCELLED": the item forgot it, and the next run
        // uploads the file anew.
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

    void retryAfterAnEndedJobUploadsAgain()
    {
        test::analysisMode(m_server, "failed", "Engine restarted.");
        m_runner->queue({wav("a.wav")});
        QVERIFY(runToEnd());
        const std::optional<QString> failedJob = only().jobID;
        QVERIFY(failedJob);
        m_runner->retry(only().id);
        QCOMPARE(only().status, QStringLiteral("Queued"));
        QVERIFY(!only().jobID);
        test::analysisMode(m_server, "normal");
        QVERIFY(runToEnd());
        QCOMPARE(only().status, QStringLiteral("✓ a.wav"));
        QVERIFY(only().jobID != failedJob);
        QCOMPARE(uploads(), 2);

        // A finished item that succeeded resumes its job: nothing is uploaded again.
        m_runner->retry(only().id);
        QCOMPARE(only().status, QStringLiteral("Resuming job %1…").arg(*only().jobID));
        QVERIFY(runToEnd());
        QCOMPARE(only().status, QStringLiteral("✓ a.wav"));
        QCOMPARE(uploads(), 2);
    }

    void stopWhileUploading()
    {
        m_server.delay(QStringLiteral("POST /v1/uploads"), 3000);
        m_runner->queue({wav("a.wav"), wav("b.wav")});
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return m_server.requests().size() > 0 && only().status == "Uploading a.wav…"; }));
        QTest::qWait(200);
        m_runner->cancel();
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }));
        QCOMPARE(only().status, QStringLiteral("Stopped"));
        QVERIFY(!only().jobID && !only().uploadProgress);
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Stopped — 2 files still queued."));
        QTest::qWait(100);
        QCOMPARE(m_server.cancels(), QJsonArray());
        QVERIFY(!logLines().join('\n').contains("server cancel"));
    }

    void countsAcrossRuns()
    {
        m_runner->queue({wav("a.wav")});
        QVERIFY(runToEnd());
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Queue finished — 1 file analysed."));
        m_runner->queue({wav("b.wav")});
        QVERIFY(runToEnd());
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Queue finished — 2 files analysed."));

        test::analysisMode(m_server, "failed");
        m_runner->queue({wav("c.wav")});
        QVERIFY(runToEnd());
        test::analysisMode(m_server, "normal");
        m_runner->queue({wav("d.wav")});
        QVERIFY(runToEnd());
        QCOMPARE(m_runner->statusLine(),
                 QStringLiteral("Queue finished — 3 analysed, 1 failed. Click a red card for details."));

        m_runner->clear();
        QCOMPARE(m_runner->items().size(), 0);
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Cleared."));
        QCOMPARE(m_runner->analyzedCount(), 3);
    }

    void withoutSessionEveryFileFails()
    {
        SessionStore signedOut;
        m_runner->queue({wav("a.wav"), wav("b.wav")});
        StatusLines status(*m_runner);
        m_runner->run(&signedOut);
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }));
        for (const AnalysisRunner::Item &item : m_runner->items()) {
            QCOMPARE(item.status, QStringLiteral("✗ Not connected"));
            QCOMPARE(item.errorMessage, QStringLiteral("Connect with your client key to analyse files."));
        }
        QVERIFY(status.lines.contains("Connect with your client key to analyse files."));
        QCOMPARE(m_runner->statusLine(),
                 QStringLiteral("Queue finished — 0 analysed, 2 failed. Click a red card for details."));
        QCOMPARE(uploads(), 0);
        QVERIFY(logLines().isEmpty());
    }

    void runWithNothingPending()
    {
        QSignalSpy keys(&ActiveJobs::shared(), &ActiveJobs::runningKeysChanged);
        m_runner->run(m_store.get());
        QVERIFY(test::waitUntil([&] { return !m_runner->isRunning(); }));
        QCOMPARE(keys.count(), 2);
        QCOMPARE(m_runner->statusLine(), QStringLiteral("Queue finished — 0 files analysed."));
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
        m_runner->remove(id);
        QCOMPARE(m_runner->items().size(), 1);
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

    void shortMessage_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        const QString x140(140, u'x');
        QTest::newRow("short") << "Server error 500: boom"
                               << "Server error 500: boom";
        QTest::newRow("exactly 140") << x140 << x140;
        QTest::newRow("141 cut") << x140 + "y" << x140 + "…";
        QTest::newRow("200 cut") << QString(200, u'z') << QString(140, u'z') + "…";
        QTest::newRow("first line only") << "First line\nsecond line"
                                         << "First line";
        QTest::newRow("first non-empty line") << "\n\nreal reason\nmore"
                                              << "real reason";
        QTest::newRow("only line breaks") << "\n\n"
                                          << "\n\n";
        // é as e plus a combining accent is one character; so is a flag made of two code points.
        const QString accented = QStringLiteral("e\u0301");
        QTest::newRow("combining marks count once") << accented.repeated(141) << accented.repeated(140) + "…";
        const QString flag = QString::fromUcs4(U"\U0001F1E9\U0001F1EA");
        QTest::newRow("flags count once") << flag.repeated(140) << flag.repeated(140);
        QTest::newRow("no flag cut in half") << flag.repeated(141) << flag.repeated(140) + "…";
    }
    void shortMessage()
    {
        QFETCH(QString, message);
        QFETCH(QString, expected);
        QCOMPARE(AnalysisRunner::shortMessage(message), expected);
    }
};

HOPLIN_TEST_MAIN(TestAnalysisRunner)
#include "tst_analysisrunner.moc"
