// The local service's job pool and retention: with one worker a second job waits as QUEUED, and
// finished jobs and uploads nobody processed are forgotten (files included) after the retention
// time, so a long-running service does not grow.
#include "AnalysisTestUtil.h"
#include "WavWriter.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

class TestAnalysisJobs : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    QString m_token;
    QString m_tone;

    QString status(const QString &jobID)
    {
        const test::HttpResult result =
            test::httpCall("GET", m_server.url("/v1/jobs/" + jobID), {}, m_token.toUtf8());
        return result.status == 200 ? result.json().toObject().value("status").toString()
                                    : QString::number(result.status);
    }

    QString start(const QString &uploadID)
    {
        return test::runTask(APIClient::processUpload(uploadID, "audio_info", m_token));
    }

private slots:
    void initTestCase()
    {
        test::privateTempDir();
        QVERIFY(m_server.start({"--analysis-workers", "1", "--retention", "2"}));
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        m_tone = m_files.filePath("tone.wav");
        QVERIFY(test::writeToneWav(m_tone, {}, test::parseSegments("1@-20")));
    }
    void init()
    {
        m_server.reset();
        m_token = test::runTask(APIClient::activate(test::LocalServer::demoKey)).accessToken;
    }

    void oneWorkerQueuesTheSecondJob()
    {
        test::analysisMode(m_server, "slow");
        const QString first = start(test::runTask(APIClient::uploadAudio(m_tone, m_token)));
        const QString second = start(test::runTask(APIClient::uploadAudio(m_tone, m_token)));
        QVERIFY(test::waitUntil([&] { return status(first) == "RUNNING"; }));
        QTest::qWait(200);
        QCOMPARE(status(second), QStringLiteral("QUEUED"));

        // A queued job can be cancelled and never runs; the held one then finishes normally.
        test::runTask(APIClient::cancelJob(second, m_token));
        test::analysisMode(m_server, "normal");
        QVERIFY(test::waitUntil([&] { return status(first) == "COMPLETED"; }, 30s));
        QCOMPARE(status(second), QStringLiteral("CANCELLED"));
    }

    void finishedJobsAndIdleUploadsAreForgotten()
    {
        const QString idle = test::runTask(APIClient::uploadAudio(m_tone, m_token));
        const QString done = start(test::runTask(APIClient::uploadAudio(m_tone, m_token)));
        QVERIFY(test::waitUntil([&] { return status(done) == "COMPLETED"; }, 30s));
        QCOMPARE(test::analysisState(m_server).value("files_stored").toInt(), 1); // the idle upload

        // Still there just before the retention time, gone after it.
        QTest::qWait(1000);
        QCOMPARE(status(done), QStringLiteral("COMPLETED"));
        QVERIFY(test::waitUntil([&] { return status(done) == "404"; }, 5s));
        const QJsonObject state = test::analysisState(m_server);
        QCOMPARE(state.value("jobs").toArray().size(), 0);
        QCOMPARE(state.value("uploads_waiting").toInt(), 0);
        QCOMPARE(state.value("files_stored").toInt(), 0);
        QCOMPARE(test::httpCall("POST", m_server.url("/v1/jobs/" + idle + "/process"), R"({"workflow":"audio_info"})",
                                m_token.toUtf8())
                     .status,
                 404);
        // The cancel route no longer knows the job either.
        QCOMPARE(test::httpCall("POST", m_server.url("/v1/jobs/" + done + "/cancel"), "{}", m_token.toUtf8()).status,
                 404);
    }
};

HOPLIN_TEST_MAIN(TestAnalysisJobs)
#include "tst_analysisjobs.moc"
