// The local service's analysis end to end through the app's client, on real files; its job pool
// (one worker here, so a second job waits as QUEUED) and the retention that bounds it.
#include "AnalysisTestUtil.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>

using namespace hoplin;
using namespace std::chrono_literals;

class TestAnalysisService : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    QString m_token;
    QString m_jobID; // the last job analyse() ran

    JobInfo analyse(const QString &path)
    {
        return JobInfo::decode(QJsonDocument(test::analysedJob(m_server, m_token, path, &m_jobID)).toJson());
    }

    QString wav(const QString &name) { return test::sineFile(m_files.filePath(name)); }

    // A job's status as the service reports it, or the HTTP status when it does not know the job.
    QString status(const QString &jobID)
    {
        const test::HttpResult result = test::httpCall("GET", m_server.url("/v1/jobs/" + jobID), {}, m_token.toUtf8());
        return result.status == 200 ? result.json()["status"].toString() : QString::number(result.status);
    }

    QString start(const QString &path)
    {
        const QString uploadID = test::runTask(APIClient::uploadAudio(path, m_token));
        return test::runTask(APIClient::processUpload(uploadID, "audio_info", m_token));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(
            test::startService(m_server, {"--key", "hoplin-demo-key=demo-client", "--key", "second-key=second-client",
                                          "--analysis-workers", "1", "--retention", "3"}));
    }
    void init()
    {
        m_server.reset();
        m_token = test::runTask(APIClient::activate(test::LocalServer::demoKey)).accessToken;
    }

    void measuresAKnownSine()
    {
        // The lavfi sine peaks at 1/8 (-18.06 dBFS), here 6 dB lower; a 1 kHz sine reads about
        // peak - 3.0 LUFS (RMS, K-weighting, BS.1770's -0.691), and two equal channels add 3.01 dB.
        const QString path = m_files.filePath(QStringLiteral("sine.wav"));
        QVERIFY(test::synthesise(path, QStringLiteral("sine=frequency=1000:sample_rate=44100:duration=12"),
                                 {"-af", "volume=-6dB,pan=stereo|c0=c0|c1=c0", "-c:a", "pcm_s16le"}));
        const double peak = 20 * std::log10(1.0 / 8) - 6;
        const double loudness = peak - 3.0 + 3.01;

        const JobInfo job = analyse(path);
        QCOMPARE(job.status, QStringLiteral("COMPLETED"));
        QVERIFY(job.analysis && job.analysis->loudness && job.analysis->levels);
        const double integrated = *job.analysis->loudness->integratedLufs;
        QVERIFY2(std::fabs(integrated - loudness) < 0.3, qPrintable(QString::number(integrated)));
        const AnalysisLevels &lv = *job.analysis->levels;
        QVERIFY2(std::fabs(*lv.peakDbfs - peak) < 0.1, qPrintable(QString::number(*lv.peakDbfs)));
        QVERIFY2(std::fabs(*lv.rmsDbfs - (peak - 3.01)) < 0.1, qPrintable(QString::number(*lv.rmsDbfs)));
        QCOMPARE(lv.sampleCount->value, std::optional<qint64>(12 * 44100)); // a body of several chunks

        const AnalysisStream &stream = job.analysis->audioStreams->first();
        QCOMPARE(stream.sampleRateHz->value, std::optional<double>(44100));
        QCOMPARE(stream.channels->value, std::optional<qint64>(2));
        QCOMPARE(stream.bitDepth->value, std::optional<qint64>(16));
    }

    void containerStreamsChaptersAndReport()
    {
        const QString path = m_files.filePath(QStringLiteral("chapters.m4a"));
        QVERIFY(test::chapteredM4a(path));
        const JobInfo job = analyse(path);
        QCOMPARE(job.status, QStringLiteral("COMPLETED"));
        const AnalysisPayload &a = *job.analysis;
        QCOMPARE(a.container->displayName, QStringLiteral("MPEG-4 Audio"));
        QCOMPARE(a.container->tags->values.value("title"), QStringLiteral("Demo"));
        QCOMPARE(a.container->sizeBytes->value, std::optional<double>(QFileInfo(path).size()));
        QCOMPARE(a.audioStreams->first().codecName, QStringLiteral("aac"));
        // The chapters' data stream is listed apart from the audio.
        QCOMPARE(a.audioStreams->size(), 1);
        QCOMPARE(a.otherStreams->first().codecType, QStringLiteral("data"));
        QCOMPARE(a.chapters->size(), 2);
        QCOMPARE(a.chapters->at(1).title, QStringLiteral("Main"));
        QCOMPARE(a.chapters->at(1).startHms, QStringLiteral("00:00:01.000"));
        QCOMPARE(a.chapters->at(1).endSec->value, std::optional<double>(2));

        const QString report = QString::fromUtf8(test::runTask(APIClient::downloadReport(m_jobID, m_token)));
        const QString integrated = QString::asprintf("%.2f LUFS", *a.loudness->integratedLufs);
        QVERIFY2(report.contains(QRegularExpression("Integrated: +" + QRegularExpression::escape(integrated))),
                 qPrintable(report));
    }

    void unreadableFileFailsWithItsName()
    {
        const QString path = m_files.filePath(QStringLiteral("noise.wav"));
        QVERIFY(test::sparseFile(path, 4096));
        const JobInfo job = analyse(path);
        QCOMPARE(job.status, QStringLiteral("FAILED"));
        QVERIFY2(job.errorSummary->startsWith("noise.wav is not a readable media file: "),
                 qPrintable(*job.errorSummary));
        QVERIFY(!job.errorSummary->contains(QDir::tempPath()) && !job.errorSummary->contains("/tmp/"));
        QVERIFY(!job.analysis);
        QCOMPARE(test::failure(APIClient::downloadReport(m_jobID, m_token)),
                 QStringLiteral(R"(Server error 409: {"detail":"The job has no report yet."})"));
    }

    void uploadLimitOnTheService()
    {
        // The app refuses larger files itself; the service must not rely on that. (A file of
        // exactly 128 MiB goes through: the runner's upload-limit rows.)
        const QString path = m_files.filePath(QStringLiteral("huge.wav"));
        QVERIFY(test::sparseFile(path, (qint64(128) << 20) + 1));
        QCOMPARE(test::failure(APIClient::uploadAudio(path, m_token, {}, {}, Multipart::uploadLimit + 1)),
                 R"(Server error 413: {"detail":"The file is larger than the 128 MiB upload limit."})");
        QCOMPARE(test::analysisState(m_server).value("uploads").toInt(), 0);
    }

    void heldAndQueuedJobsCanBeCancelled()
    {
        test::analysisMode(m_server, "slow");
        const QString first = start(wav("held.wav"));
        const QString second = start(wav("held.wav"));
        const QString third = start(wav("held.wav"));
        QVERIFY(test::waitUntil([&] { return status(first) == "RUNNING"; }));
        QTest::qWait(200);
        QCOMPARE(status(second), QStringLiteral("QUEUED")); // one worker
        // Cancelling the held job frees the worker; a queued job cancelled never runs.
        test::runTask(APIClient::cancelJob(first, m_token));
        QCOMPARE(status(first), QStringLiteral("CANCELLED"));
        QVERIFY(test::waitUntil([&] { return status(second) == "RUNNING"; }));
        test::runTask(APIClient::cancelJob(third, m_token));
        // Releasing the held jobs does not bring a cancelled one back.
        test::analysisMode(m_server, "normal");
        QVERIFY(test::waitUntil([&] { return status(second) == "COMPLETED"; }, 30s));
        QCOMPARE(status(first), QStringLiteral("CANCELLED"));
        QCOMPARE(status(third), QStringLiteral("CANCELLED"));
        QCOMPARE(m_server.cancels(), (QJsonArray{first, third}));
    }

    void finishedJobsAndIdleUploadsAreForgotten()
    {
        const QString idle = test::runTask(APIClient::uploadAudio(wav("tone.wav"), m_token));
        const QString done = start(wav("tone.wav"));
        QVERIFY(test::waitUntil([&] { return status(done) == "COMPLETED"; }, 30s));
        QCOMPARE(test::analysisState(m_server).value("files_stored").toInt(), 1); // the idle upload

        // Still there just before the retention time, gone after it, files included.
        QTest::qWait(2000);
        QCOMPARE(status(done), QStringLiteral("COMPLETED"));
        QVERIFY(test::waitUntil([&] { return status(done) == "404"; }, 5s));
        const QJsonObject state = test::analysisState(m_server);
        QCOMPARE(state.value("jobs").toArray().size(), 0);
        QCOMPARE(state.value("uploads_waiting").toInt(), 0);
        QCOMPARE(state.value("files_stored").toInt(), 0);
        QCOMPARE(test::failure(APIClient::processUpload(idle, "audio_info", m_token)),
                 QStringLiteral(R"(Server error 404: {"detail":"Upload not found."})"));
    }

    void jobsBelongToTheirClient()
    {
        analyse(wav("mine.wav"));
        const QString other = test::runTask(APIClient::activate("second-key")).accessToken;
        for (const QString &refused : {test::failure(APIClient::jobInfo(m_jobID, other)),
                                       test::failure(APIClient::downloadReport(m_jobID, other))})
            QCOMPARE(refused, QStringLiteral(R"(Server error 404: {"detail":"Job not found."})"));
        QCOMPARE(status(m_jobID), QStringLiteral("COMPLETED"));
    }
};

HOPLIN_TEST_MAIN(TestAnalysisService)
#include "tst_analysisservice.moc"
