// Audio analysis: uploads streamed to disk, jobs measured for real (ffprobe and one ffmpeg pass) on
// a bounded pool of worker threads, job documents, cancellation and the plain-text report.
// Finished jobs and unused uploads are forgotten after the retention time. With --admin, tests
// switch the jobs into misbehaving shapes through POST /__admin/analysis.
#include "AudioMeasurement.h"
#include "Http.h"
#include "Routes.h"

#include <QDir>
#include <QJsonDocument>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <deque>
#include <thread>
#include <vector>

namespace hoplin::server {

namespace {

constexpr std::uint64_t kUploadLimit = 128ull * 1024 * 1024;
using Clock = std::chrono::steady_clock;

// How the next jobs behave. Tests choose; "normal" is the real service.
enum class Mode { Normal, Slow, Failed, NoAnalysis, Malformed, Lowercase };

std::optional<Mode> modeNamed(const QString &name)
{
    static const std::pair<const char *, Mode> modes[] = {
        {"normal", Mode::Normal},          {"slow", Mode::Slow},           {"failed", Mode::Failed},
        {"no_analysis", Mode::NoAnalysis}, {"malformed", Mode::Malformed}, {"lowercase", Mode::Lowercase},
    };
    for (const auto &[key, mode] : modes) {
        if (name == QLatin1String(key))
            return mode;
    }
    return std::nullopt;
}

struct Upload {
    std::string id;
    std::string clientId;
    std::string path;
    std::string fileName;
    std::uint64_t size = 0;
    Clock::time_point stored;
};

struct AnalysisJob {
    std::string id;
    std::string clientId;
    Upload upload;
    Mode mode = Mode::Normal;
    std::string injectedSummary;
    // Guarded by the service mutex.
    std::string status = "QUEUED";
    std::optional<std::string> errorSummary;
    std::optional<QJsonObject> analysis;
    std::string report;
    bool cancelled = false;
    Clock::time_point finishedAt;
    ProcessSlot process;

    bool final() const { return status == "COMPLETED" || status == "FAILED" || status == "CANCELLED"; }
};

class AnalysisService {
public:
    AnalysisService(ServerState &state, const AnalysisOptions &options)
        : m_state(state)
        , m_retention(std::chrono::seconds(options.retentionSeconds))
    {
        // Under TMPDIR like every other temporary file, so whoever owns that folder can sweep it.
        std::string pattern = QDir::tempPath().toStdString() + "/hoplin-server-uploads-XXXXXX";
        if (const char *made = mkdtemp(pattern.data()))
            m_folder = made;
        const unsigned workers = options.workers ? options.workers : std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < workers; ++i)
            m_pool.emplace_back([this] { work(); });
    }

    ~AnalysisService()
    {
        stopAll();
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_work.notify_all();
        for (std::thread &thread : m_pool)
            thread.join();
        std::error_code ignored;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ignored);
    }

    void upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader);
    void process(const httplib::Request &req, httplib::Response &res, const std::string &body);
    void document(const httplib::Request &req, httplib::Response &res);
    void report(const httplib::Request &req, httplib::Response &res);
    void cancelled(const std::string &jobId);
    void setMode(Mode mode, std::string summary);
    QJsonObject adminView();
    void reset();

private:
    // The job named in the path if it belongs to the caller; otherwise answers 401/404. Call with
    // m_mutex held.
    const AnalysisJob *ownedJob(const httplib::Request &req, httplib::Response &res);
    void work();
    void run(const std::shared_ptr<AnalysisJob> &job);
    void finish(const std::shared_ptr<AnalysisJob> &job, const char *status);
    // Drops what outlived the retention time. Call with m_mutex held.
    void prune();
    void stopAll();
    std::string newId(const char *prefix);

    ServerState &m_state;
    std::string m_folder;
    std::mutex m_mutex;
    std::condition_variable m_released; // wakes held ("slow") jobs
    Mode m_mode = Mode::Normal;
    std::string m_injectedSummary;
    std::uint64_t m_sequence = 0;
    std::mt19937_64 m_random{std::random_device{}()};
    std::uint64_t m_uploadsStored = 0;
    std::vector<std::string> m_uploadNames;
    std::map<std::string, Upload> m_uploads;
    std::map<std::string, std::shared_ptr<AnalysisJob>> m_jobs;
    Clock::duration m_retention;
    std::deque<std::shared_ptr<AnalysisJob>> m_queue; // QUEUED jobs, oldest first
    std::condition_variable m_work;                   // wakes the pool for a queued job
    std::condition_variable m_idle;                   // a worker finished its job
    unsigned m_busy = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_pool;
};

// Reads and drops what is left of a body, so the connection still carries the answer.
void drain(const httplib::ContentReader &reader, bool multipart)
{
    if (multipart)
        reader([](const httplib::MultipartFormData &) { return true; }, [](const char *, std::size_t) { return true; });
    else
        reader([](const char *, std::size_t) { return true; });
}

std::string AnalysisService::newId(const char *prefix)
{
    std::lock_guard lock(m_mutex);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s-%06llx%010llx", prefix, static_cast<unsigned long long>(++m_sequence),
                  static_cast<unsigned long long>(m_random() & 0xffffffffffull));
    return buffer;
}

void AnalysisService::upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader)
{
    const bool multipart = req.is_multipart_form_data();
    const auto client = authorisedClient(req, res, m_state);
    if (!client) {
        drain(reader, multipart);
        return;
    }
    if (!multipart) {
        drain(reader, false);
        sendDetail(res, 400, "Expected a multipart/form-data body with one part named \"file\".");
        return;
    }

    Upload upload;
    upload.id = newId("up");
    upload.clientId = *client;
    upload.path = m_folder + '/' + upload.id;
    // Streamed straight to disk: the body never sits in memory as a whole.
    std::FILE *out = nullptr;
    bool seenFile = false, inFile = false, tooLarge = false, writeFailed = false;
    const bool complete = reader(
        [&](const httplib::MultipartFormData &part) {
            inFile = part.name == "file" && !seenFile;
            if (inFile) {
                seenFile = true;
                upload.fileName = part.filename;
                out = std::fopen(upload.path.c_str(), "wb");
                writeFailed = out == nullptr;
            }
            return true;
        },
        [&](const char *data, std::size_t length) {
            if (!inFile)
                return true;
            upload.size += length;
            if (upload.size > kUploadLimit)
                tooLarge = true;
            if (!tooLarge && out && !writeFailed)
                writeFailed = std::fwrite(data, 1, length, out) != length;
            return true; // past the limit the rest is read and dropped, so the 413 still arrives
        });
    if (out)
        writeFailed = std::fclose(out) != 0 || writeFailed;

    const auto refuse = [&](int status, const std::string &detail) {
        std::remove(upload.path.c_str());
        sendDetail(res, status, detail);
    };
    if (!complete)
        return refuse(400, "Could not read the upload body.");
    if (!seenFile)
        return refuse(400, "The body has no part named \"file\".");
    if (tooLarge)
        return refuse(413, "The file is larger than the 128 MiB upload limit.");
    if (writeFailed)
        return refuse(507, "The upload could not be stored.");

    {
        std::lock_guard lock(m_mutex);
        prune();
        ++m_uploadsStored;
        m_uploadNames.push_back(upload.fileName);
        upload.stored = Clock::now();
        m_uploads[upload.id] = upload;
    }
    sendJson(res, 200,
             QJsonObject{{QStringLiteral("upload_id"), QString::fromStdString(upload.id)},
                         {QStringLiteral("filename"), QString::fromStdString(upload.fileName)},
                         {QStringLiteral("size_bytes"), qint64(upload.size)}});
}

void AnalysisService::process(const httplib::Request &req, httplib::Response &res, const std::string &body)
{
    const auto client = authorisedClient(req, res, m_state);
    if (!client)
        return;
    const auto object = jsonBody(req, res, body);
    if (!object)
        return;
    std::string workflow;
    if (stringField(*object, "workflow", workflow) != FieldState::Ok) {
        sendDetail(res, 400, "Expected \"workflow\" (string).");
        return;
    }
    if (workflow != "audio_info") {
        sendDetail(res, 400, "Unknown workflow \"" + workflow + "\"; this service offers \"audio_info\".");
        return;
    }
    auto job = std::make_shared<AnalysisJob>();
    job->id = newId("job");
    job->clientId = *client;
    {
        std::lock_guard lock(m_mutex);
        prune();
        const auto found = m_uploads.find(req.matches[1]);
        if (found == m_uploads.end() || found->second.clientId != *client) {
            sendDetail(res, 404, "Upload not found.");
            return;
        }
        // An upload feeds one job; the job owns its file from here on.
        job->upload = found->second;
        m_uploads.erase(found);
        job->mode = m_mode;
        job->injectedSummary = m_injectedSummary;
        m_jobs[job->id] = job;
        // The shared job table is what the cancel route consults; entered before the worker can
        // finish the job and record its outcome there.
        m_state.addJob({job->id, *client, "running"});
        m_queue.push_back(job);
    }
    m_work.notify_one();
    sendJson(res, 202,
             QJsonObject{{QStringLiteral("job_id"), QString::fromStdString(job->id)},
                         {QStringLiteral("status"), QStringLiteral("QUEUED")}});
}

void AnalysisService::work()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
        if (m_stopping)
            return;
        const std::shared_ptr<AnalysisJob> job = m_queue.front();
        m_queue.pop_front();
        ++m_busy;
        lock.unlock();
        run(job);
        lock.lock();
        --m_busy;
        m_idle.notify_all();
    }
}

void AnalysisService::prune()
{
    const Clock::time_point now = Clock::now();
    std::erase_if(m_uploads, [&](const auto &entry) {
        if (now - entry.second.stored < m_retention)
            return false;
        std::remove(entry.second.path.c_str());
        return true;
    });
    std::erase_if(m_jobs, [&](const auto &entry) {
        const AnalysisJob &job = *entry.second;
        if (!job.final() || now - job.finishedAt < m_retention)
            return false;
        m_state.forgetJob(job.id);
        return true;
    });
}

void AnalysisService::run(const std::shared_ptr<AnalysisJob> &job)
{
    {
        std::unique_lock lock(m_mutex);
        if (job->cancelled)
            return;
        job->status = "RUNNING";
        // A held job waits until the tests change the mode (or cancel it) and then runs normally.
        m_released.wait(lock, [&] { return job->cancelled || m_mode != Mode::Slow; });
        if (job->cancelled)
            return;
        if (job->mode == Mode::Slow)
            job->mode = Mode::Normal;
        if (job->mode == Mode::Failed) {
            job->errorSummary =
                job->injectedSummary.empty() ? "The analysis engine stopped unexpectedly." : job->injectedSummary;
            lock.unlock();
            finish(job, "FAILED");
            return;
        }
    }
    try {
        Measurement result = measureAudio(job->upload.path, job->upload.fileName, job->process);
        std::unique_lock lock(m_mutex);
        if (job->cancelled)
            return;
        if (job->mode == Mode::Malformed) {
            // A strict field of the wrong type: the whole document must fail to decode.
            QJsonObject loudness = result.analysis.value(QStringLiteral("loudness")).toObject();
            loudness.insert(QStringLiteral("integrated_lufs"), QStringLiteral("-23.0"));
            result.analysis.insert(QStringLiteral("loudness"), loudness);
        }
        if (job->mode != Mode::NoAnalysis)
            job->analysis = result.analysis;
        job->report = std::move(result.report);
        lock.unlock();
        finish(job, "COMPLETED");
    } catch (const MeasurementError &error) {
        {
            std::lock_guard lock(m_mutex);
            if (job->cancelled)
                return;
            job->errorSummary = error.what();
        }
        finish(job, "FAILED");
    }
}

void AnalysisService::finish(const std::shared_ptr<AnalysisJob> &job, const char *status)
{
    {
        std::lock_guard lock(m_mutex);
        if (job->cancelled)
            return;
        job->status = status;
        job->finishedAt = Clock::now();
    }
    std::remove(job->upload.path.c_str());
    m_state.addJob({job->id, job->clientId, std::string(status) == "COMPLETED" ? "completed" : "failed"});
}

void AnalysisService::cancelled(const std::string &jobId)
{
    std::shared_ptr<AnalysisJob> job;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_jobs.find(jobId);
        if (found == m_jobs.end() || found->second->final())
            return;
        job = found->second;
        job->cancelled = true;
        job->status = "CANCELLED";
        job->finishedAt = Clock::now();
    }
    m_released.notify_all();
    job->process.kill();
    std::remove(job->upload.path.c_str());
}

const AnalysisJob *AnalysisService::ownedJob(const httplib::Request &req, httplib::Response &res)
{
    // Another client's job is as unknown as a job that never existed.
    const auto client = authorisedClient(req, res, m_state);
    if (!client)
        return nullptr;
    const auto found = m_jobs.find(req.matches[1]);
    if (found == m_jobs.end() || found->second->clientId != *client) {
        sendDetail(res, 404, "Job not found.");
        return nullptr;
    }
    return found->second.get();
}

void AnalysisService::document(const httplib::Request &req, httplib::Response &res)
{
    std::lock_guard lock(m_mutex);
    prune();
    const AnalysisJob *found = ownedJob(req, res);
    if (!found)
        return;
    const AnalysisJob &job = *found;
    QString status = QString::fromStdString(job.status);
    if (job.mode == Mode::Lowercase || m_mode == Mode::Lowercase)
        status = status.toLower();
    QJsonObject answer{{QStringLiteral("job_id"), QString::fromStdString(job.id)},
                       {QStringLiteral("status"), status},
                       {QStringLiteral("workflow"), QStringLiteral("audio_info")}};
    if (job.errorSummary)
        answer.insert(QStringLiteral("error_summary"), QString::fromStdString(*job.errorSummary));
    if (job.analysis)
        answer.insert(QStringLiteral("analysis"), *job.analysis);
    if (!job.report.empty())
        answer.insert(QStringLiteral("output_report"), QStringLiteral("report.txt"));
    sendJson(res, 200, answer);
}

void AnalysisService::report(const httplib::Request &req, httplib::Response &res)
{
    std::lock_guard lock(m_mutex);
    const AnalysisJob *found = ownedJob(req, res);
    if (!found)
        return;
    if (found->status != "COMPLETED" || found->report.empty()) {
        sendDetail(res, 409, "The job has no report yet.");
        return;
    }
    res.status = 200;
    res.set_header("Content-Disposition", "attachment; filename=\"report.txt\"");
    res.set_content(found->report, "text/plain; charset=utf-8");
}

void AnalysisService::setMode(Mode mode, std::string summary)
{
    {
        std::lock_guard lock(m_mutex);
        m_mode = mode;
        m_injectedSummary = std::move(summary);
    }
    m_released.notify_all();
}

QJsonObject AnalysisService::adminView()
{
    std::lock_guard lock(m_mutex);
    prune();
    QJsonArray names, jobs;
    for (const std::string &name : m_uploadNames)
        names.append(QString::fromStdString(name));
    for (const auto &[id, job] : m_jobs)
        jobs.append(QJsonObject{{QStringLiteral("id"), QString::fromStdString(id)},
                                {QStringLiteral("status"), QString::fromStdString(job->status)},
                                {QStringLiteral("size_bytes"), qint64(job->upload.size)}});
    std::error_code ignored;
    qint64 files = 0;
    for (auto it = std::filesystem::directory_iterator(m_folder, ignored); it != std::filesystem::directory_iterator();
         it.increment(ignored))
        ++files;
    return {{QStringLiteral("uploads"), qint64(m_uploadsStored)},
            {QStringLiteral("uploads_waiting"), qint64(m_uploads.size())},
            {QStringLiteral("files_stored"), files},
            {QStringLiteral("upload_names"), names},
            {QStringLiteral("jobs"), jobs}};
}

void AnalysisService::stopAll()
{
    std::vector<std::shared_ptr<AnalysisJob>> jobs;
    {
        std::lock_guard lock(m_mutex);
        for (auto &[id, job] : m_jobs) {
            job->cancelled = true;
            jobs.push_back(job);
        }
        m_queue.clear();
        m_mode = Mode::Normal;
    }
    m_released.notify_all();
    for (const auto &job : jobs)
        job->process.kill();
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [&] { return m_busy == 0; });
}

void AnalysisService::reset()
{
    stopAll();
    std::lock_guard lock(m_mutex);
    for (const auto &[id, upload] : m_uploads)
        std::remove(upload.path.c_str());
    for (const auto &[id, job] : m_jobs)
        std::remove(job->upload.path.c_str());
    m_uploads.clear();
    m_jobs.clear();
    m_uploadNames.clear();
    m_uploadsStored = 0;
    m_injectedSummary.clear();
}

} // namespace

void registerAnalysisRoutes(httplib::Server &server, ServerState &state, const AnalysisOptions &options)
{
    const bool admin = options.admin;
    // Lives until the program ends; its destructor stops running jobs and removes the uploads.
    static std::unique_ptr<AnalysisService> service;
    service = std::make_unique<AnalysisService>(state, options);
    AnalysisService *analysis = service.get();
    state.addResetHook([analysis] { analysis->reset(); });
    state.addCancelHook([analysis](const std::string &jobId) { analysis->cancelled(jobId); });

    addStreamingRoute(server, state, "POST", "/v1/uploads",
                      [analysis](const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader &reader) { analysis->upload(req, res, reader); });
    addRoute(server, state, "POST", "/v1/jobs/*/process",
             [analysis](const httplib::Request &req, httplib::Response &res, const std::string &body) {
                 analysis->process(req, res, body);
             });
    addRoute(server, state, "GET", "/v1/jobs/*",
             [analysis](const httplib::Request &req, httplib::Response &res, const std::string &) {
                 analysis->document(req, res);
             });
    addRoute(server, state, "GET", "/v1/jobs/*/download/report",
             [analysis](const httplib::Request &req, httplib::Response &res, const std::string &) {
                 analysis->report(req, res);
             });

    if (!admin)
        return;
    const RouteOptions adminRoute{.admin = true};
    addRoute(
        server, state, "GET", "/__admin/analysis",
        [analysis](const httplib::Request &, httplib::Response &res, const std::string &) {
            sendJson(res, 200, analysis->adminView());
        },
        adminRoute);
    addRoute(
        server, state, "POST", "/__admin/analysis",
        [analysis](const httplib::Request &req, httplib::Response &res, const std::string &body) {
            const auto object = jsonBody(req, res, body);
            if (!object)
                return;
            const auto mode = modeNamed(object->value(QStringLiteral("mode")).toString());
            std::string summary;
            if (!mode || stringField(*object, "error_summary", summary) == FieldState::WrongType) {
                sendDetail(res, 400,
                           "Expected \"mode\" (normal, slow, failed, no_analysis, malformed or lowercase) and an "
                           "optional \"error_summary\" (string).");
                return;
            }
            analysis->setMode(*mode, summary);
            sendJson(res, 200, QJsonObject{{QStringLiteral("ok"), true}});
        },
        adminRoute);
}

} // namespace hoplin::server
