#pragma once

#include "TestSupport.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

// Helpers shared by the Analysis tests: real audio made by the real ffmpeg, cheap large files,
// and the local service's analysis switch.
namespace hoplin::test {

// A one-second 440 Hz sine at `path`, made when it is not there yet; stops the test run when it cannot.
inline QString sineFile(const QString &path)
{
    if (!QFile::exists(path) && !synthesise(path, QStringLiteral("sine=duration=1")))
        qFatal("no audio");
    return path;
}

// A stereo AAC file in an MPEG-4 container with tags, two chapters and a data stream for them.
inline bool chapteredM4a(const QString &path)
{
    const QString metadata = QFileInfo(path).path() + QStringLiteral("/chapters.txt");
    QFile file(metadata);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(";FFMETADATA1\ntitle=Demo\nartist=Someone\n"
               "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=Intro\n"
               "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Main\n");
    file.close();
    return synthesise(path, QStringLiteral("sine=frequency=440:sample_rate=44100:duration=2"),
                      {"-i", metadata, "-map_metadata", "1", "-map_chapters", "1", "-ac", "2", "-c:a", "aac"});
}

// A file of `size` bytes that costs no disk space: a hole, read back as zeros.
inline bool sparseFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size);
}

// Switches how the local service's next analysis jobs behave: "normal", "slow" (held until the
// mode changes), "failed", "no_analysis", "malformed" or "lowercase".
inline void analysisMode(LocalServer &server, const QString &mode, const QString &errorSummary = {})
{
    QJsonObject body{{QStringLiteral("mode"), mode}};
    if (!errorSummary.isEmpty())
        body.insert(QStringLiteral("error_summary"), errorSummary);
    const HttpResult result =
        server.adminCall("POST", QStringLiteral("analysis"), QJsonDocument(body).toJson(QJsonDocument::Compact));
    if (result.status != 200)
        qFatal("analysis mode %s refused: %s", qPrintable(mode), result.body.constData());
}

// {"uploads": stored uploads, "upload_names": [...], "uploads_waiting": not yet processed,
// "files_stored": files in the upload folder, "jobs": [{id, status, size_bytes}]}
inline QJsonObject analysisState(LocalServer &server)
{
    return server.adminCall("GET", QStringLiteral("analysis")).json().toObject();
}

// Upload bodies left in the temporary directory.
inline QStringList leftoverBodies()
{
    return QDir(QDir::tempPath()).entryList({QStringLiteral("hoplin-upload-*.multipart")}, QDir::Files | QDir::Hidden);
}

// Starts the local service for this test process and points the app's client at it. The process
// gets a temporary directory of its own, so leftover checks see only its files.
inline bool startService(LocalServer &server, const QStringList &arguments = {})
{
    const QString temporary = testHome() + QStringLiteral("/tmp");
    QDir().mkpath(temporary);
    qputenv("TMPDIR", QFile::encodeName(temporary));
    if (!server.start(arguments))
        return false;
    Settings::shared().setValue(keys::baseURL, server.url().toString());
    return true;
}

// The description of the error `task` ends with, or "(no error)".
template <typename T> QString failure(QCoro::Task<T> task)
{
    try {
        runTask(std::move(task), std::chrono::seconds(60));
    } catch (const Error &error) {
        return error.description();
    }
    return QStringLiteral("(no error)");
}

// Uploads `path`, starts its analysis and waits for the job to end; the job document as the
// service sent it, so an absent key can be told from any value.
inline QJsonObject analysedJob(LocalServer &server, const QString &token, const QString &path, QString *jobID = nullptr)
{
    const QString uploadID = runTask(APIClient::uploadAudio(path, token), std::chrono::seconds(60));
    const QString id = runTask(APIClient::processUpload(uploadID, QStringLiteral("audio_info"), token));
    if (jobID)
        *jobID = id;
    QJsonObject job;
    waitUntil(
        [&] {
            job = httpCall("GET", server.url("/v1/jobs/" + id), {}, token.toUtf8()).json().toObject();
            const QString status = job.value(QStringLiteral("status")).toString();
            return status == u"COMPLETED" || status == u"FAILED";
        },
        std::chrono::seconds(120));
    return job;
}

} // namespace hoplin::test
