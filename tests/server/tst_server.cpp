// Drives the real hoplin-server binary over loopback, the way the app and its test fixture do.
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

constexpr auto kDemoKey = "hoplin-demo-key";

struct Reply {
    int status = 0;
    QByteArray body;
    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
    QJsonArray array() const { return QJsonDocument::fromJson(body).array(); }
};

QByteArray json(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Runs a helper tool to completion; returns its stderr and stdout together.
QByteArray runTool(const QString &program, const QStringList &arguments, int *exitCode) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(180000)) {
        process.kill();
        process.waitForFinished();
    }
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAll();
}

// The server's first stdout line is its origin; waits for it.
QUrl readOrigin(QProcess &process) {
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000)) return {};
    }
    return QUrl(QString::fromUtf8(process.readLine()).trimmed());
}

} // namespace

class ServerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void health();
    void unknownRoutes_data();
    void unknownRoutes();
    void adminRoutesNeedFlag();

    void activate_data();
    void activate();
    void activationKeepsInstallationPerLabel();
    void oversizedBody_data();
    void oversizedBody();
    void refreshRotatesTokens();
    void refreshRejects_data();
    void refreshRejects();
    void logoutEndsOnlyThatSession();
    void expiredAccessTokenNeedsRefresh();

    void presetsNeedToken_data();
    void presetsNeedToken();
    void presetCommandsRunInFfmpeg_data();
    void presetCommandsRunInFfmpeg();

    void usageRecorded();
    void usageRejects_data();
    void usageRejects();
    void cancelJobs();

    void faultAnswersForCountCalls_data();
    void faultAnswersForCountCalls();

private:
    Reply call(const QByteArray &method, const QString &path, const QByteArray &body = {},
               const QByteArray &token = {}, const QByteArray &contentType = "application/json",
               const QByteArray &authorization = {});
    QJsonObject activateDemo(const QString &label = QStringLiteral("test machine"));
    QString makeInputs();

    QProcess m_server;
    QByteArray m_adminToken;
    QUrl m_origin;
    QNetworkAccessManager m_network;
    QTemporaryDir m_media;
    QString m_audio, m_video;
};

Reply ServerTest::call(const QByteArray &method, const QString &path, const QByteArray &body,
                       const QByteArray &token, const QByteArray &contentType,
                       const QByteArray &authorization) {
    QUrl url = m_origin;
    url.setPath(path);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(30000);
    if (!contentType.isEmpty()) request.setRawHeader("Content-Type", contentType);
    if (!token.isEmpty()) request.setRawHeader("Authorization", "Bearer " + token);
    if (!authorization.isEmpty()) request.setRawHeader("Authorization", authorization);
    if (path.startsWith("/__admin/")) request.setRawHeader("X-Admin-Token", m_adminToken);
    QNetworkReply *reply = m_network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) loop.exec();
    Reply result{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    reply->deleteLater();
    return result;
}

QJsonObject ServerTest::activateDemo(const QString &label) {
    const Reply reply =
        call("POST", "/v1/auth/activate", json({{"api_key", kDemoKey}, {"installation_label", label}}));
    if (reply.status != 200) qWarning("activation failed: %d %s", reply.status, reply.body.constData());
    return reply.object();
}

void ServerTest::initTestCase() {
    m_server.setProcessChannelMode(QProcess::SeparateChannels);
    m_server.start(QStringLiteral(HOPLIN_SERVER_BIN),
                   {"--port", "0", "--admin", "--quiet", "--key", "hoplin-demo-key=demo-client", "--key",
                    "partner-key=acme", "--key", "bare-key"});
    QVERIFY(m_server.waitForStarted());
    m_origin = readOrigin(m_server);
    QCOMPARE(m_origin.host(), QStringLiteral("127.0.0.1"));
    QVERIFY(m_origin.port() > 0);
    QVERIFY(m_server.canReadLine() || m_server.waitForReadyRead(10000));
    QCOMPARE(m_server.readLine().trimmed(), QByteArray("client keys: as given with --key"));
    QVERIFY(m_server.canReadLine() || m_server.waitForReadyRead(10000));
    const QByteArray tokenLine = m_server.readLine().trimmed();
    QVERIFY(tokenLine.startsWith("admin token: "));
    m_adminToken = tokenLine.mid(13);
}

void ServerTest::init() {
    QCOMPARE(call("POST", "/__admin/reset").status, 200);
}

void ServerTest::cleanupTestCase() {
    // SIGTERM must end the server cleanly, not kill it mid-request.
    m_server.terminate();
    QVERIFY(m_server.waitForFinished(10000));
    QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server.exitCode(), 0);
}

void ServerTest::health() {
    const Reply reply = call("GET", "/health", {}, {}, {});
    QCOMPARE(reply.status, 200);
    QVERIFY(QRegularExpression(R"(^\d{4}\.\d+\.\d+$)")
                .match(reply.object().value("version").toString())
                .hasMatch());
}

void ServerTest::unknownRoutes_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::newRow("get") << QByteArray("GET") << "/v1/nothing";
    QTest::newRow("extra segment") << QByteArray("GET") << "/v1/presets/extra";
    QTest::newRow("wrong method") << QByteArray("GET") << "/v1/auth/activate";
    QTest::newRow("empty job id") << QByteArray("POST") << "/v1/jobs//cancel";
}

void ServerTest::unknownRoutes() {
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    const Reply reply = call(method, path, method == "POST" ? QByteArray("{}") : QByteArray());
    QCOMPARE(reply.status, 404);
    QVERIFY(!reply.object().value("detail").toString().isEmpty());
}

void ServerTest::adminRoutesNeedFlag() {
    QProcess plain;
    plain.start(QStringLiteral(HOPLIN_SERVER_BIN), {"--port", "0", "--quiet"});
    QVERIFY(plain.waitForStarted());
    const QUrl origin = readOrigin(plain);
    QVERIFY(origin.port() > 0);
    const QUrl saved = m_origin;
    m_origin = origin;
    const int adminStatus = call("POST", "/__admin/reset").status;
    const int healthStatus = call("GET", "/health").status;
    m_origin = saved;
    plain.terminate();
    QVERIFY(plain.waitForFinished(10000));
    QCOMPARE(adminStatus, 404);
    QCOMPARE(healthStatus, 200);
}

void ServerTest::activate_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("clientId");
    const QByteArray ct = "application/json";
    auto key = [](const QString &k) { return json({{"api_key", k}, {"installation_label", "box"}}); };
    QTest::newRow("demo key") << key(kDemoKey) << ct << 200 << "demo-client";
    QTest::newRow("extra key with client id") << key("partner-key") << ct << 200 << "acme";
    QTest::newRow("extra key without client id") << key("bare-key") << ct << 200 << "client-3";
    QTest::newRow("charset parameter")
        << key(kDemoKey) << QByteArray("application/json; charset=utf-8") << 200 << "demo-client";
    QTest::newRow("unknown key") << key("nope") << ct << 401 << "";
    QTest::newRow("surrounding spaces") << key(" hoplin-demo-key ") << ct << 401 << "";
    QTest::newRow("empty key") << key("") << ct << 401 << "";
    QTest::newRow("key not a string") << QByteArray(R"({"api_key": 5})") << ct << 400 << "";
    QTest::newRow("malformed") << QByteArray(R"({"api_key": )") << ct << 400 << "";
    QTest::newRow("empty body") << QByteArray() << ct << 400 << "";
    QTest::newRow("not json content type") << key(kDemoKey) << QByteArray("text/plain") << 415 << "";
}

void ServerTest::activate() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(int, status);
    QFETCH(QString, clientId);
    const Reply reply = call("POST", "/v1/auth/activate", body, {}, contentType);
    QCOMPARE(reply.status, status);
    const QJsonObject object = reply.object();
    if (status == 200) {
        for (const char *field :
             {"access_token", "refresh_token", "installation_id", "client_id", "session_id"}) {
            QVERIFY2(object.value(field).isString() && !object.value(field).toString().isEmpty(), field);
        }
        QCOMPARE(object.value("client_id").toString(), clientId);
        QCOMPARE(call("GET", "/v1/presets", {}, object.value("access_token").toString().toUtf8()).status,
                 200);
    } else if (status == 401) {
        QCOMPARE(object.value("detail").toString(), QStringLiteral("Invalid client key."));
    } else {
        QVERIFY(!object.value("detail").toString().isEmpty());
    }
}

void ServerTest::activationKeepsInstallationPerLabel() {
    const QJsonObject first = activateDemo("laptop");
    const QJsonObject again = activateDemo("laptop");
    const QJsonObject other = activateDemo("desktop");
    QCOMPARE(again.value("installation_id"), first.value("installation_id"));
    QVERIFY(other.value("installation_id") != first.value("installation_id"));
    QVERIFY(again.value("session_id") != first.value("session_id"));
    QVERIFY(again.value("access_token") != first.value("access_token"));
}

void ServerTest::oversizedBody_data() {
    QTest::addColumn<int>("padding");
    QTest::addColumn<int>("status");
    QTest::newRow("just under 1 MiB") << 1024 * 1024 - 100 << 200;
    QTest::newRow("just over 1 MiB") << 1024 * 1024 << 413;
}

void ServerTest::oversizedBody() {
    QFETCH(int, padding);
    QFETCH(int, status);
    const QByteArray body = json({{"api_key", kDemoKey}, {"installation_label", QString(padding, 'x')}});
    QCOMPARE(call("POST", "/v1/auth/activate", body).status, status);
    // The connection must stay usable after a rejected body.
    QCOMPARE(call("GET", "/health").status, 200);
}

void ServerTest::refreshRotatesTokens() {
    const QJsonObject first = activateDemo();
    const Reply rotated =
        call("POST", "/v1/auth/refresh", json({{"refresh_token", first.value("refresh_token")}}));
    QCOMPARE(rotated.status, 200);
    const QJsonObject second = rotated.object();
    QVERIFY(second.value("access_token") != first.value("access_token"));
    QVERIFY(second.value("refresh_token") != first.value("refresh_token"));
    for (const char *same : {"session_id", "installation_id", "client_id"})
        QCOMPARE(second.value(same), first.value(same));

    const Reply reused =
        call("POST", "/v1/auth/refresh", json({{"refresh_token", first.value("refresh_token")}}));
    QCOMPARE(reused.status, 401);
    QCOMPARE(call("GET", "/v1/presets", {}, second.value("access_token").toString().toUtf8()).status, 200);
    QCOMPARE(
        call("POST", "/v1/auth/refresh", json({{"refresh_token", second.value("refresh_token")}})).status,
        200);
}

void ServerTest::refreshRejects_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("unknown token") << json({{"refresh_token", "0123456789abcdef0123456789abcdef"}}) << 401;
    QTest::newRow("empty token") << json({{"refresh_token", ""}}) << 401;
    QTest::newRow("token not a string") << QByteArray(R"({"refresh_token": 7})") << 400;
}

void ServerTest::refreshRejects() {
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    activateDemo();
    const Reply reply = call("POST", "/v1/auth/refresh", body);
    QCOMPARE(reply.status, status);
    QVERIFY(!reply.object().value("detail").toString().isEmpty());
}

void ServerTest::logoutEndsOnlyThatSession() {
    const QJsonObject leaving = activateDemo("one");
    const QJsonObject staying = activateDemo("two");
    const QByteArray access = leaving.value("access_token").toString().toUtf8();
    const QByteArray body = json({{"refresh_token", leaving.value("refresh_token")}});
    QCOMPARE(call("POST", "/v1/auth/logout", body, access).status, 200);

    QCOMPARE(call("GET", "/v1/presets", {}, access).status, 401);
    QCOMPARE(call("POST", "/v1/auth/refresh", body).status, 401);
    QCOMPARE(call("POST", "/v1/auth/logout", body, access).status, 401);
    QCOMPARE(call("GET", "/v1/presets", {}, staying.value("access_token").toString().toUtf8()).status, 200);
}

void ServerTest::expiredAccessTokenNeedsRefresh() {
    const QJsonObject session = activateDemo();
    const QByteArray access = session.value("access_token").toString().toUtf8();
    QCOMPARE(call("GET", "/v1/presets", {}, access).status, 200);
    QCOMPARE(call("POST", "/__admin/expire-tokens").status, 200);
    QCOMPARE(call("GET", "/v1/presets", {}, access).status, 401);

    const Reply refreshed =
        call("POST", "/v1/auth/refresh", json({{"refresh_token", session.value("refresh_token")}}));
    QCOMPARE(refreshed.status, 200);
    QCOMPARE(
        call("GET", "/v1/presets", {}, refreshed.object().value("access_token").toString().toUtf8()).status,
        200);
}

void ServerTest::presetsNeedToken_data() {
    QTest::addColumn<QByteArray>("authorization");
    QTest::newRow("no header") << QByteArray();
    QTest::newRow("unknown token") << QByteArray("Bearer 0123456789abcdef0123456789abcdef");
    QTest::newRow("other scheme") << QByteArray("Basic aG9wbGluOmRlbW8=");
}

void ServerTest::presetsNeedToken() {
    QFETCH(QByteArray, authorization);
    activateDemo();
    QCOMPARE(call("GET", "/v1/presets", {}, {}, "application/json", authorization).status, 401);
}

QString ServerTest::makeInputs() {
    if (!m_audio.isEmpty()) return {};
    if (!m_media.isValid()) return QStringLiteral("no temporary directory");
    const QString audio = m_media.filePath("tone.wav");
    const QString video = m_media.filePath("clip.mp4");
    int code = 0;
    QByteArray log = runTool("ffmpeg",
                             {"-hide_banner", "-nostdin", "-y", "-f", "lavfi", "-i",
                              "sine=frequency=440:duration=4", "-ac", "2", audio},
                             &code);
    if (code != 0) return QString::fromUtf8(log);
    log = runTool("ffmpeg",
                  {"-hide_banner",
                   "-nostdin",
                   "-y",
                   "-f",
                   "lavfi",
                   "-i",
                   "testsrc=duration=4:size=320x240:rate=25",
                   "-f",
                   "lavfi",
                   "-i",
                   "sine=frequency=660:duration=4",
                   "-ac",
                   "2",
                   "-shortest",
                   "-c:v",
                   "libx264",
                   "-pix_fmt",
                   "yuv420p",
                   "-c:a",
                   "aac",
                   video},
                  &code);
    if (code != 0) return QString::fromUtf8(log);
    m_audio = audio;
    m_video = video;
    return {};
}

void ServerTest::presetCommandsRunInFfmpeg_data() {
    QTest::addColumn<QJsonObject>("preset");
    init();
    const Reply reply =
        call("GET", "/v1/presets", {}, activateDemo().value("access_token").toString().toUtf8());
    for (const QJsonValue &value : reply.object().value("presets").toArray())
        QTest::newRow(qPrintable(value.toObject().value("id").toString())) << value.toObject();
}

void ServerTest::presetCommandsRunInFfmpeg() {
    QFETCH(QJsonObject, preset);
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty() ||
        QStandardPaths::findExecutable("ffprobe").isEmpty())
        QSKIP("ffmpeg is not on PATH");
    const QString inputError = makeInputs();
    QVERIFY2(inputError.isEmpty(), qPrintable(inputError));

    const QString id = preset.value("id").toString();
    const QString kind = preset.value("kind").toString();
    const QString command = preset.value("command").toString();
    // Templates are plain word lists, so splitting on spaces is the full tokenisation.
    QVERIFY(!command.contains('"') && !command.contains('\'') && !command.contains('\\'));
    QDir outDir(m_media.filePath("out-" + id));
    QVERIFY(outDir.mkpath("."));
    const QString input = kind == "normalise" ? m_audio : m_video;
    const QString base = outDir.filePath("result" + preset.value("suffix").toString());
    QStringList words = command.split(' ', Qt::SkipEmptyParts);
    QCOMPARE(words.takeFirst(), QStringLiteral("ffmpeg"));
    for (QString &word : words)
        word.replace("{input}", input).replace("{output_base}", base);

    int code = 0;
    const QByteArray log = runTool("ffmpeg", words, &code);
    QVERIFY2(code == 0, log.right(2000).constData());
    const QString output = base + preset.value("output_ext").toString();
    QCOMPARE(outDir.entryList(QDir::Files), QStringList{QFileInfo(output).fileName()});
    QVERIFY(QFileInfo(output).size() > 0);

    const QByteArray streams = runTool("ffprobe",
                                       {"-v", "error", "-show_entries",
                                        "stream=codec_type,codec_name,sample_rate", "-of", "csv=p=0", output},
                                       &code);
    QCOMPARE(code, 0);
    const bool hasVideo = streams.contains(",video");
    QVERIFY2(streams.contains(",audio"), streams.constData());
    QVERIFY2(hasVideo == (kind == "video"), streams.constData());
    if (command.contains("-c:v copy")) QVERIFY2(streams.contains("h264,video"), streams.constData());

    // Loudness presets must land on their target, which also catches loudnorm's 192 kHz output.
    const auto target = QRegularExpression(R"(loudnorm=I=(-\d+))").match(command);
    if (target.hasMatch()) {
        QVERIFY2(streams.contains(",48000"), streams.constData());
        const QByteArray meter = runTool(
            "ffmpeg",
            {"-hide_banner", "-nostdin", "-i", output, "-map", "0:a:0", "-af", "ebur128", "-f", "null", "-"},
            &code);
        QCOMPARE(code, 0);
        auto matches = QRegularExpression(R"(I:\s+(-?\d+\.\d) LUFS)").globalMatch(QString::fromUtf8(meter));
        double measured = 0;
        bool found = false;
        while (matches.hasNext()) {
            measured = matches.next().captured(1).toDouble();
            found = true;
        }
        QVERIFY(found);
        QVERIFY2(qAbs(measured - target.captured(1).toDouble()) <= 1.0,
                 qPrintable(QString::number(measured)));
    }
}

void ServerTest::usageRecorded() {
    const QJsonObject session = activateDemo();
    const QJsonObject report{{"process_key", "h264-mp4"},
                             {"file_count", 3},
                             {"input_bytes", 5000000000LL},
                             {"filename", "Holiday Clip.mov"}};
    const Reply reply =
        call("POST", "/v1/usage/convert", json(report), session.value("access_token").toString().toUtf8());
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.object().value("ok"), QJsonValue(true));

    const QJsonArray usage = call("GET", "/__admin/usage").array();
    QCOMPARE(usage.size(), 1);
    const QJsonObject recorded = usage.first().toObject();
    for (const QString &key : report.keys())
        QCOMPARE(recorded.value(key), report.value(key));
    QCOMPARE(recorded.value("client_id").toString(), QStringLiteral("demo-client"));
}

void ServerTest::usageRejects_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("authorised");
    QTest::addColumn<int>("status");
    const QJsonObject good{
        {"process_key", "m4a-aac-256"}, {"file_count", 1}, {"input_bytes", 10}, {"filename", "a.wav"}};
    auto without = [&](const char *key) {
        QJsonObject o = good;
        o.remove(key);
        return json(o);
    };
    auto with = [&](const char *key, const QJsonValue &v) {
        QJsonObject o = good;
        o.insert(key, v);
        return json(o);
    };
    QTest::newRow("no token") << json(good) << false << 401;
    QTest::newRow("missing process_key") << without("process_key") << true << 400;
    QTest::newRow("file_count as string") << with("file_count", "1") << true << 400;
    QTest::newRow("file_count fractional") << with("file_count", 1.5) << true << 400;
    QTest::newRow("input_bytes negative") << with("input_bytes", -1) << true << 400;
    QTest::newRow("malformed") << QByteArray(R"({"process_key": "x",)") << true << 400;
}

void ServerTest::usageRejects() {
    QFETCH(QByteArray, body);
    QFETCH(bool, authorised);
    QFETCH(int, status);
    const QByteArray token =
        authorised ? activateDemo().value("access_token").toString().toUtf8() : QByteArray();
    QCOMPARE(call("POST", "/v1/usage/convert", body, token).status, status);
    QCOMPARE(call("GET", "/__admin/usage").array().size(), 0);
}

void ServerTest::cancelJobs() {
    const QByteArray token = activateDemo().value("access_token").toString().toUtf8();
    QCOMPARE(call("POST", "/__admin/jobs", json({{"id", "job-1"}})).status, 200);
    QCOMPARE(call("POST", "/__admin/jobs", json({{"id", "job-acme"}, {"client_id", "acme"}})).status, 200);

    QCOMPARE(call("POST", "/v1/jobs/job-1/cancel", "{}").status, 401);
    QCOMPARE(call("POST", "/v1/jobs/missing/cancel", "{}", token).status, 404);
    QCOMPARE(call("POST", "/v1/jobs/job-acme/cancel", "{}", token).status, 404);
    QCOMPARE(call("POST", "/v1/jobs/job-1/cancel", {}, token).status, 200);

    QCOMPARE(call("GET", "/__admin/cancels").array(), (QJsonArray{"missing", "job-acme", "job-1"}));
    for (const QJsonValue &job : call("GET", "/__admin/jobs").array()) {
        const QString expected = job.toObject().value("id") == "job-1" ? "cancelled" : "running";
        QCOMPARE(job.toObject().value("status").toString(), expected);
    }
}

void ServerTest::faultAnswersForCountCalls_data() {
    QTest::addColumn<QString>("route");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("normalStatus");
    QTest::newRow("exact path, json body") << "GET /v1/presets" << QByteArray("GET") << "/v1/presets" << 503
                                           << R"({"detail":"maintenance"})" << 2 << 200;
    QTest::newRow("wildcard segment") << "POST /v1/jobs/*/cancel" << QByteArray("POST")
                                      << "/v1/jobs/abc/cancel" << 500 << "boom" << 1 << 404;
    QTest::newRow("success status") << "POST /v1/auth/refresh" << QByteArray("POST") << "/v1/auth/refresh"
                                    << 200 << R"({"odd":true})" << 1 << 401;
}

void ServerTest::faultAnswersForCountCalls() {
    QFETCH(QString, route);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(int, count);
    QFETCH(int, normalStatus);
    const QByteArray token = activateDemo().value("access_token").toString().toUtf8();
    const QByteArray requestBody = method == "POST" ? QByteArray(R"({"refresh_token":"x"})") : QByteArray();
    QCOMPARE(call("POST", "/__admin/faults",
                  json({{"route", route}, {"status", status}, {"body", body}, {"count", count}}))
                 .status,
             200);
    for (int i = 0; i < count; ++i) {
        const Reply reply = call(method, path, requestBody, token);
        QCOMPARE(reply.status, status);
        QCOMPARE(QString::fromUtf8(reply.body), body);
    }
    QCOMPARE(call(method, path, requestBody, token).status, normalStatus);
    QCOMPARE(call("GET", "/__admin/faults").array().size(), 0);
}

QTEST_GUILESS_MAIN(ServerTest)
#include "tst_server.moc"
