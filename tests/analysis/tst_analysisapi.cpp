// The upload body and the analysis calls of the app's client, against the local service.
#include "AnalysisTestUtil.h"

#include <QTemporaryDir>
#include <sys/stat.h>

using namespace hoplin;
using namespace std::chrono_literals;

class TestAnalysisAPI : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    QString m_token;

    QString audioFile(const QString &name, const QByteArray &bytes)
    {
        return test::writeFile(m_files.filePath(name), bytes);
    }

private slots:
    void initTestCase() { QVERIFY(test::startService(m_server)); }
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
        const auto row = [](const char *tag, const QString &name, const QString &partName, const QByteArray &bytes) {
            QTest::newRow(tag) << name << partName << bytes;
        };
        row("plain", "take.wav", "take.wav", QByteArray("RIFF\0\r\n--x", 10));
        row("quotes", "Take \"1\".wav", "Take _1_.wav", "abc");
        row("line feed", "a\nb.wav", "a b.wav", "abc");
        row("carriage return and line feed", "a\r\nb.wav", "a  b.wav", "abc");
        row("non-ASCII", "Café ♪.flac", "Café ♪.flac", "abc");
        row("empty file", "silence.wav", "silence.wav", QByteArray());
        row("several chunks", "long.wav", "long.wav", pattern);
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
        QVERIFY(Multipart::makeBoundary() != Multipart::makeBoundary());
        // The leftover checks of these tests look for exactly this name.
        const QFileInfo body(Multipart::temporaryBodyPath());
        QVERIFY(body.filePath() != Multipart::temporaryBodyPath());
        QCOMPARE(body.path(), QDir::tempPath());
        QVERIFY(QDir::match("hoplin-upload-*.multipart", body.fileName()));
    }

    void writingStopsWhenAborted()
    {
        const QString audio = audioFile(QStringLiteral("a.wav"), QByteArray(3 << 20, 'x'));
        const std::atomic<bool> aborted{true};
        QVERIFY_THROWS_EXCEPTION(TransportError,
                                 Multipart::writeBody(audio, m_files.filePath("b.multipart"), "B", &aborted));
    }

    void onlyRegularFilesAreTaken_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error"); // empty: taken
        // A fifo named .wav, a symbolic link to /dev/zero, a folder; a link to a regular file is taken.
        for (const char *kind : {"fifo", "zero", "folder"})
            QTest::newRow(kind) << kind << "is not a regular file";
        QTest::newRow("link") << "link" << "";
    }
    void onlyRegularFilesAreTaken()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        const QString path = m_files.filePath(kind + ".wav");
        QFile::remove(path);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == "zero")
            QVERIFY(QFile::link("/dev/zero", path));
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(QFile::link(audioFile("real.wav", QByteArray(10, 'a')), path));
        const QString body = m_files.filePath("body-" + kind);

        QString message;
        try {
            Multipart::writeBody(path, body, "B");
        } catch (const Error &failure) {
            message = failure.description();
        }
        if (error.isEmpty()) {
            QCOMPARE(message, QString());
            QVERIFY(QFile(body).size() > 10);
        } else {
            QVERIFY2(message.contains(error), qPrintable(message));
            QVERIFY(message.contains(kind + ".wav"));
            // Refused before anything was copied.
            QVERIFY(!QFile::exists(body) || QFile(body).size() == 0);
        }
    }

    // The size at opening sets the body's length, which the upload promises before the bytes exist.
    void lengthAndLimitHoldForTheBytesCopied_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("change"); // bytes added to (or cut from) the file once the copy began
        QTest::addColumn<QString>("error"); // empty: taken
        const QString tooLarge = "sized.wav is larger than the 128 MiB upload limit.";
        const QString changed = "sized.wav changed while it was being read.";
        QTest::newRow("at the limit") << qint64(3000) << qint64(0) << "";
        QTest::newRow("one byte over") << qint64(3001) << qint64(0) << tooLarge;
        QTest::newRow("several chunks over") << qint64(3 * Multipart::chunkBytes) << qint64(0) << tooLarge;
        QTest::newRow("grew past the limit") << qint64(3000) << qint64(1) << tooLarge;
        QTest::newRow("grew") << qint64(2000) << qint64(10) << changed;
        QTest::newRow("shrank") << qint64(2000) << qint64(-10) << changed;
    }
    void lengthAndLimitHoldForTheBytesCopied()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, change);
        QFETCH(QString, error);
        const QString audio = audioFile("sized.wav", QByteArray(size, 'a'));
        const QString body = m_files.filePath("sized.multipart");
        qint64 promised = -1;
        const auto written = [&](qint64 length, qint64) {
            if (promised < 0 && change != 0)
                QFile::resize(audio, size + change);
            promised = length;
            return true;
        };
        QString message;
        try {
            Multipart::writeBody(audio, body, "B", nullptr, 3000, written);
            QCOMPARE(QFile(body).size(), promised);
        } catch (const Error &failure) {
            message = failure.description();
        }
        QCOMPARE(message, error);
        QCOMPARE(QFileInfo(audio).size(), size + change);
        // Never more than the limit and one chunk reaches the disk.
        QVERIFY(QFile(body).size() <= 3000 + Multipart::chunkBytes + 200);
    }

    void aBodyFailingMidUploadEndsTheUpload()
    {
        // The writer cuts the file short once the upload is sending what was written before.
        const QString audio = audioFile("cut.wav", QByteArray(3 * Multipart::chunkBytes, 'c'));
        std::atomic<bool> sending{false};
        APIClient::setBodyWriterHookForTesting([&](qint64 written) {
            if (written < Multipart::chunkBytes)
                return;
            QDeadlineTimer deadline(10s);
            while (!sending && !deadline.hasExpired())
                QThread::msleep(1);
            QFile::resize(audio, Multipart::chunkBytes);
        });
        const auto unhook = qScopeGuard([] { APIClient::setBodyWriterHookForTesting({}); });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(test::failure(APIClient::uploadAudio(audio, m_token, {}, [&](qint64 sent, qint64) {
                     sending = sending || sent > 0;
                 })),
                 QStringLiteral("cut.wav changed while it was being read."));
        QVERIFY(sending);
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(test::analysisState(m_server).value("uploads").toInt(), 0);
    }

    void bodyIsPrivate_data()
    {
        QTest::addColumn<bool>("existedBefore");
        QTest::newRow("new body") << false;
        QTest::newRow("replacing a readable file") << true;
    }
    void bodyIsPrivate()
    {
        QFETCH(bool, existedBefore);
        const QString body = m_files.filePath(QStringLiteral("private-%1.multipart").arg(existedBefore));
        if (existedBefore) {
            test::writeFile(body, "abc");
            QVERIFY(QFile::setPermissions(body, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        }
        const mode_t previous = ::umask(0);
        Multipart::writeBody(audioFile("secret.wav", QByteArray(100, 'a')), body, "B");
        ::umask(previous);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(body).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
    }

    void uploadOfMissingFileSendsNothing()
    {
        const QString error = test::failure(APIClient::uploadAudio(m_files.filePath("gone.wav"), m_token));
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
        QCOMPARE(test::failure(APIClient::uploadAudio(audio, m_token, control, progress)),
                 QStringLiteral("The operation was cancelled."));
        QVERIFY(sending);
    }

    void unexpectedAnswers_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("upload id a number") << "POST /v1/uploads" << 200 << QByteArray(R"({"upload_id": 17})")
                                            << "Unexpected response: Upload response missing upload_id.";
        QTest::newRow("upload answer not JSON") << "POST /v1/uploads" << 200 << QByteArray("ok")
                                                << "Unexpected response: Upload response missing upload_id.";
        QTest::newRow("process answers 200") << "POST /v1/jobs/*/process" << 200 << QByteArray(R"({"job_id":"j"})")
                                             << R"(Server error 200: {"job_id":"j"})";
        QTest::newRow("job id a number") << "POST /v1/jobs/*/process" << 202 << QByteArray(R"({"job_id":5})")
                                         << "Unexpected response: Process response missing job_id.";
        QTest::newRow("status refused") << "GET /v1/jobs/*" << 404 << QByteArray("not found")
                                        << "Server error 404: not found";
    }
    void unexpectedAnswers()
    {
        QFETCH(QString, route);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        m_server.fault(route, status, body);
        if (route.startsWith("POST /v1/uploads"))
            QCOMPARE(test::failure(APIClient::uploadAudio(audioFile("x.wav", QByteArray(64, 'x')), m_token)), error);
        else if (route.endsWith("/process"))
            QCOMPARE(test::failure(APIClient::processUpload("up-1", "audio_info", m_token)), error);
        else
            QCOMPARE(test::failure(APIClient::jobInfo("job-1", m_token)), error);
    }

    void anUploadStartsOneJob()
    {
        // (The service refuses any other workflow, so every analysis elsewhere checks the body.)
        const QString audio = audioFile(QStringLiteral("x.wav"), QByteArray(64, 'x'));
        const QString uploadID = test::runTask(APIClient::uploadAudio(audio, m_token));
        QVERIFY(!test::runTask(APIClient::processUpload(uploadID, "audio_info", m_token)).isEmpty());
        // A second job on the same upload is refused: the first owns its file.
        QCOMPARE(test::failure(APIClient::processUpload(uploadID, "audio_info", m_token)),
                 QStringLiteral(R"(Server error 404: {"detail":"Upload not found."})"));
    }

    void downloadReportKeepsBytes()
    {
        QByteArray body; // every byte value, line ends and NUL among them
        for (int i = 0; i < 256; ++i)
            body.append(char(i));
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
