#include "AnalysisTestUtil.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include <QRegularExpression>
#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

class TestAnalysisAPI : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    QString m_token;

    template <typename T> QString failure(QCoro::Task<T> task)
    {
        try {
            test::runTask(std::move(task), 20s);
        } catch (const Error &error) {
            return error.description();
        }
        return QStringLiteral("(no error)");
    }

    QString audioFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_files.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        test::privateTempDir();
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
    }
    void init()
    {
        m_server.reset();
        m_token = test::runTask(APIClient::activate(test::LocalServer::demoKey)).accessToken;
    }
    void cleanup() { QCOMPARE(test::leftoverBodies(), QStringList()); }

    void multipartLayout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("partName");
        QTest::addColumn<QByteArray>("bytes");
        QByteArray pattern;
        for (int i = 0; i < (5 << 19); ++i) // 2.5 MiB: two full chunks and a partial one
            pattern.append(char(i * 7 + i / 251));
        QTest::newRow("plain") << "take.wav"
                               << "take.wav" << QByteArray("RIFF\0\r\n--x", 10);
        QTest::newRow("quotes") << "Take \"1\".wav"
                                << "Take _1_.wav" << QByteArray("abc");
        QTest::newRow("line feed") << "a\nb.wav"
                                   << "a b.wav" << QByteArray("abc");
        QTest::newRow("carriage return and line feed") << "a\r\nb.wav"
                                                       << "a  b.wav" << QByteArray("abc");
        QTest::newRow("non-ASCII") << "Café ♪.flac"
                                   << "Café ♪.flac" << QByteArray("abc");
        QTest::newRow("empty file") << "silence.wav"
                                    << "silence.wav" << QByteArray();
        QTest::newRow("several chunks") << "long.wav"
                                        << "long.wav" << pattern;
    }
    void multipartLayout()
    {
        QFETCH(QString, name);
        QFETCH(QString, partName);
        QFETCH(QByteArray, bytes);
        const QString audio = audioFile(name, bytes);
        const QString boundary = Multipart::makeBoundary();
        const QString body = m_files.filePath(QStringLiteral("body.multipart"));
        Multipart::writeBody(audio, body, boundary);

        QFile written(body);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray expected = "--" + boundary.toUtf8() +
                                    "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                                    partName.toUtf8() + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes +
                                    "\r\n--" + boundary.toUtf8() + "--\r\n";
        QCOMPARE(written.readAll(), expected);
    }

    void boundaryAndBodyNames()
    {
        static const QRegularExpression uuid(R"(^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$)");
        const QString first = Multipart::makeBoundary();
        QCOMPARE(first.size(), 51);
        QVERIFY(first.startsWith("HoplinBoundary-"));
        QVERIFY2(uuid.match(first.mid(15)).hasMatch(), qPrintable(first));
        QVERIFY(Multipart::makeBoundary() != first);

        const QFileInfo body(Multipart::temporaryBodyPath());
        QCOMPARE(body.path(), QDir::tempPath());
        QVERIFY(body.fileName().startsWith("hoplin-upload-") && body.fileName().endsWith(".multipart"));
        QVERIFY2(uuid.match(body.fileName().mid(14, 36)).hasMatch(), qPrintable(body.fileName()));
    }

    void writingStopsWhenAborted()
    {
        const QString audio = audioFile(QStringLiteral("a.wav"), QByteArray(3 << 20, 'x'));
        const std::atomic<bool> aborted{true};
        QVERIFY_THROWS_EXCEPTION(TransportError,
                                 Multipart::writeBody(audio, m_files.filePath("b.multipart"), "B", &aborted));
    }

    void uploadSendsOnePartNamedFile()
    {
        const QString audio = audioFile(QStringLiteral("Take \"1\".wav"), QByteArray(1000, 'a'));
        const QString uploadID = test::runTask(APIClient::uploadAudio(audio, m_token));
        QVERIFY(!uploadID.isEmpty());

        const QJsonObject state = test::analysisState(m_server);
        QCOMPARE(state.value("upload_names").toArray().last().toString(), QStringLiteral("Take _1_.wav"));
        const QJsonObject sent = m_server.requests().last().toObject();
        QCOMPARE(sent.value("path").toString(), QStringLiteral("/v1/uploads"));
        const QJsonObject headers = sent.value("headers").toObject();
        QVERIFY2(headers.value("content-type").toString().startsWith("multipart/form-data; boundary=HoplinBoundary-"),
                 qPrintable(headers.value("content-type").toString()));
        QCOMPARE(headers.value("authorization").toString(), "Bearer " + m_token);
        QCOMPARE(headers.value("content-length").toString().toLongLong(),
                 1000 + 2 * 51 + 112 + QByteArray("Take _1_.wav").size());
    }

    void uploadAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("id is a number") << 200 << QByteArray(R"({"upload_id": 17})")
                                        << "Unexpected response: Upload response missing upload_id.";
        QTest::newRow("not JSON") << 200 << QByteArray("ok")
                                  << "Unexpected response: Upload response missing upload_id.";
    }
    void uploadAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        m_server.fault(QStringLiteral("POST /v1/uploads"), status, body);
        const QString audio = audioFile(QStringLiteral("x.wav"), QByteArray(64, 'x'));
        QCOMPARE(failure(APIClient::uploadAudio(audio, m_token)), error);
    }

    void uploadOfMissingFileSendsNothing()
    {
        const QString error = failure(APIClient::uploadAudio(m_files.filePath("gone.wav"), m_token));
        QVERIFY2(error.startsWith("Could not open gone.wav: "), qPrintable(error));
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/uploads")), 0);
    }

    void abortedUploadEndsAndCleansUp()
    {
        // The service holds the request unread, so the upload is in flight when it is aborted.
        m_server.delay(QStringLiteral("POST /v1/uploads"), 4000);
        const QString audio = m_files.filePath(QStringLiteral("big.wav"));
        QVERIFY(test::sparseFile(audio, 48 << 20));
        auto control = std::make_shared<CallControl>();
        bool sending = false;
        // Abort once bytes are on their way, however long writing the body took.
        auto progress = [&](qint64 sent, qint64) {
            if (sent > 0 && !sending)
                QTimer::singleShot(0, [control] { control->abort(); });
            sending = sending || sent > 0;
        };
        QCOMPARE(failure(APIClient::uploadAudio(audio, m_token, control, progress)),
                 QStringLiteral("The operation was cancelled."));
        QVERIFY(sending);
    }

    void processUploadAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("200 is not accepted")
            << 200 << QByteArray(R"({"job_id":"j"})") << R"(Server error 200: {"job_id":"j"})";
        QTest::newRow("job id a number") << 202 << QByteArray(R"({"job_id":5})")
                                         << "Unexpected response: Process response missing job_id.";
    }
    void processUploadAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        m_server.fault(QStringLiteral("POST /v1/jobs/*/process"), status, body);
        QCOMPARE(failure(APIClient::processUpload("up-1", "audio_info", m_token)), error);
    }

    void processSendsTheWorkflow()
    {
        const QString audio = audioFile(QStringLiteral("x.wav"), QByteArray(64, 'x'));
        const QString uploadID = test::runTask(APIClient::uploadAudio(audio, m_token));
        const QString jobID = test::runTask(APIClient::processUpload(uploadID, "audio_info", m_token));
        QVERIFY(!jobID.isEmpty());
        const QJsonObject sent = m_server.requests().last().toObject();
        QCOMPARE(sent.value("path").toString(), QStringLiteral("/v1/jobs/%1/process").arg(uploadID));
        QCOMPARE(sent.value("body").toString(), QStringLiteral(R"({"workflow":"audio_info"})"));
        // A second job on the same upload is refused: the first owns its file.
        QCOMPARE(failure(APIClient::processUpload(uploadID, "audio_info", m_token)),
                 QStringLiteral(R"(Server error 404: {"detail":"Upload not found."})"));
    }

    void jobInfoErrors()
    {
        m_server.fault(QStringLiteral("GET /v1/jobs/*"), 404, "not found");
        try {
            test::runTask(APIClient::jobInfo("job-1", m_token));
            QFAIL("no error");
        } catch (const APIError &error) {
            QCOMPARE(error.kind(), APIError::Kind::BadStatus);
            QCOMPARE(error.status(), 404);
            QCOMPARE(error.description(), QStringLiteral("Server error 404: not found"));
        }
        m_server.fault(QStringLiteral("GET /v1/jobs/*"), 200,
                       R"({"status":"COMPLETED","analysis":{"levels":{"peak_dbfs":"-1.0"}}})");
        QCOMPARE(failure(APIClient::jobInfo("job-1", m_token)),
                 QStringLiteral(
                     R"(Unexpected response: key "analysis.levels.peak_dbfs" expected a number but found a string)"));
    }

    void downloadReportKeepsBytes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary.append(char(i));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("binary") << binary;
        QTest::newRow("text") << QByteArray("Integrated: -23.0 LUFS\r\n");
    }
    void downloadReportKeepsBytes()
    {
        QFETCH(QByteArray, body);
        m_server.faultRaw({{"route", "GET /v1/jobs/*/download/report"},
                           {"status", 200},
                           {"body_base64", QString::fromLatin1(body.toBase64())},
                           {"content_type", "application/octet-stream"}});
        QCOMPARE(test::runTask(APIClient::downloadReport("job-1", m_token)), body);
        QCOMPARE(m_server.requests().last().toObject().value("path").toString(),
                 QStringLiteral("/v1/jobs/job-1/download/report"));
    }
};

HOPLIN_TEST_MAIN(TestAnalysisAPI)
#include "tst_analysisapi.moc"
