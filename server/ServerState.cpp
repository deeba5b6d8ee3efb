#include "ServerState.h"

#include <QDateTime>
#include <QString>

namespace hoplin::server {

namespace {

QString qs(const std::string &s) {
    return QString::fromStdString(s);
}

std::mt19937_64 seededEngine() {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
}

} // namespace

std::string isoNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

ServerState::ServerState(std::vector<ClientKey> keys)
    : m_random(seededEngine()) {
    // Keys given at start replace the published demo key: a service started with its own key
    // must not also let in everyone who read the README.
    if (keys.empty())
        m_keys.push_back({kDemoKey, kDemoClientId});
    for (auto &key : keys)
        m_keys.push_back(std::move(key));
    std::random_device device;
    static constexpr char digits[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i)
        m_adminToken += digits[device() % 16];
}

std::string ServerState::randomHex(std::size_t chars) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(chars);
    while (out.size() < chars) {
        std::uint64_t bits = m_random();
        for (int i = 0; i < 16 && out.size() < chars; ++i, bits >>= 4)
            out += digits[bits & 0xF];
    }
    return out;
}

IssuedSession ServerState::issue(Session &session) {
    std::string access = randomHex(32);
    std::string refresh = randomHex(32);
    session.accessTokens.push_back(access);
    if (session.accessTokens.size() > kAccessTokensPerSession) {
        m_accessTokens.erase(session.accessTokens.front());
        session.accessTokens.pop_front();
    }
    session.refreshToken = refresh;
    m_accessTokens[access] = session.id;
    m_refreshTokens[refresh] = session.id;
    return {access, refresh, session.installationId, session.clientId, session.id};
}

void ServerState::dropSession(const std::string &sessionId) {
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end()) return;
    std::erase(m_clientSessions[it->second.clientId], sessionId);
    for (const auto &token : it->second.accessTokens)
        m_accessTokens.erase(token);
    m_refreshTokens.erase(it->second.refreshToken);
    m_sessions.erase(it);
}

std::optional<IssuedSession> ServerState::activate(const std::string &apiKey,
                                                   const std::string &installationLabel) {
    std::lock_guard lock(m_mutex);
    if (apiKey.empty()) return std::nullopt;
    const ClientKey *client = nullptr;
    for (const auto &candidate : m_keys) {
        if (candidate.key == apiKey) client = &candidate;
    }
    if (!client) return std::nullopt;

    // Re-activating the same installation keeps its id, as the real service does.
    auto &installationId = m_installations[{client->clientId, installationLabel}];
    if (installationId.empty()) installationId = "inst-" + randomHex(16);

    Session session;
    session.id = "sess-" + randomHex(16);
    session.clientId = client->clientId;
    session.installationId = installationId;
    std::deque<std::string> &order = m_clientSessions[session.clientId];
    order.push_back(session.id);
    auto &stored = m_sessions[session.id] = std::move(session);
    IssuedSession issued = issue(stored);
    while (order.size() > kSessionsPerClient)
        dropSession(std::string(order.front())); // a copy: dropping removes the id from `order`
    return issued;
}

std::optional<IssuedSession> ServerState::refresh(const std::string &refreshToken) {
    std::lock_guard lock(m_mutex);
    auto it = m_refreshTokens.find(refreshToken);
    if (it == m_refreshTokens.end()) return std::nullopt;
    Session &session = m_sessions.at(it->second);
    // Rotation: the presented refresh token is spent. The last few access tokens stay valid so
    // that requests already in flight with them do not fail spuriously.
    m_refreshTokens.erase(it);
    return issue(session);
}

std::optional<std::string> ServerState::clientForAccessToken(const std::string &accessToken) const {
    std::lock_guard lock(m_mutex);
    auto it = m_accessTokens.find(accessToken);
    if (it == m_accessTokens.end()) return std::nullopt;
    return m_sessions.at(it->second).clientId;
}

bool ServerState::logout(const std::string &accessToken, const std::string &refreshToken) {
    std::lock_guard lock(m_mutex);
    // Either token proves the session; both die with it, so an expired access token cannot leave
    // the refresh token able to buy a new session.
    auto access = m_accessTokens.find(accessToken);
    if (access != m_accessTokens.end()) {
        dropSession(access->second);
        return true;
    }
    auto refresh = m_refreshTokens.find(refreshToken);
    if (refresh != m_refreshTokens.end()) {
        dropSession(refresh->second);
        return true;
    }
    return false;
}

int ServerState::expireAccessTokens() {
    std::lock_guard lock(m_mutex);
    const int count = static_cast<int>(m_accessTokens.size());
    m_accessTokens.clear();
    for (auto &[id, session] : m_sessions)
        session.accessTokens.clear();
    return count;
}

void ServerState::recordUsage(UsageReport report) {
    std::lock_guard lock(m_mutex);
    m_usage.push_back(std::move(report));
}

void ServerState::addJob(Job job) {
    std::lock_guard lock(m_mutex);
    m_jobs[job.id] = std::move(job);
}

void ServerState::forgetJob(const std::string &jobId) {
    std::lock_guard lock(m_mutex);
    m_jobs.erase(jobId);
}

CancelResult ServerState::cancelJob(const std::string &clientId, const std::string &jobId) {
    std::vector<std::function<void(const std::string &)>> hooks;
    {
        std::lock_guard lock(m_mutex);
        m_cancels.push_back(jobId);
        auto it = m_jobs.find(jobId);
        // Another client's job is reported as unknown rather than forbidden: ids are not secrets
        // worth confirming.
        if (it == m_jobs.end() || it->second.clientId != clientId) return CancelResult::UnknownJob;
        it->second.status = "cancelled";
        hooks = m_cancelHooks;
    }
    for (const auto &hook : hooks) hook(jobId);
    return CancelResult::Cancelled;
}

void ServerState::recordRequest(RecordedRequest request) {
    std::lock_guard lock(m_mutex);
    ++m_counts[request.method + ' ' + request.path];
    m_requests.push_back(std::move(request));
    while (m_requests.size() > kRequestLogCap)
        m_requests.pop_front();
}

std::optional<Fault> ServerState::takeFault(const std::string &method, const std::string &path) {
    std::lock_guard lock(m_mutex);
    return m_faults.take(method, path);
}

int ServerState::addFault(Fault fault) {
    std::lock_guard lock(m_mutex);
    return m_faults.add(std::move(fault));
}

void ServerState::clearFaults() {
    std::lock_guard lock(m_mutex);
    m_faults.clear();
}

void ServerState::clearRequests() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
    m_counts.clear();
}

void ServerState::clearCounts() {
    std::lock_guard lock(m_mutex);
    m_counts.clear();
}

QJsonArray ServerState::faultsJson() const {
    std::lock_guard lock(m_mutex);
    return m_faults.toJson();
}

QJsonArray ServerState::requestsJson() const {
    std::lock_guard lock(m_mutex);
    QJsonArray out;
    for (const auto &request : m_requests) {
        QJsonObject headers;
        for (const auto &[name, value] : request.headers) {
            const QString key = qs(name);
            // Repeated headers fold into one comma-separated value, as HTTP allows.
            headers.insert(key, headers.contains(key)
                                    ? headers.value(key).toString() + QStringLiteral(", ") + qs(value)
                                    : qs(value));
        }
        out.append(QJsonObject{
            {QStringLiteral("method"), qs(request.method)},
            {QStringLiteral("path"), qs(request.path)},
            {QStringLiteral("query"), qs(request.query)},
            {QStringLiteral("headers"), headers},
            {QStringLiteral("body"), QString::fromUtf8(request.body.data(), qsizetype(request.body.size()))},
            {QStringLiteral("time"), qs(request.time)},
        });
    }
    return out;
}

QJsonObject ServerState::countsJson() const {
    std::lock_guard lock(m_mutex);
    QJsonObject out;
    for (const auto &[route, count] : m_counts)
        out.insert(qs(route), count);
    return out;
}

QJsonArray ServerState::usageJson() const {
    std::lock_guard lock(m_mutex);
    QJsonArray out;
    for (const auto &report : m_usage) {
        out.append(QJsonObject{
            {QStringLiteral("process_key"), qs(report.processKey)},
            {QStringLiteral("file_count"), report.fileCount},
            {QStringLiteral("input_bytes"), report.inputBytes},
            {QStringLiteral("filename"), qs(report.filename)},
            {QStringLiteral("client_id"), qs(report.clientId)},
            {QStringLiteral("time"), qs(report.time)},
        });
    }
    return out;
}

QJsonArray ServerState::cancelsJson() const {
    std::lock_guard lock(m_mutex);
    QJsonArray out;
    for (const auto &id : m_cancels)
        out.append(qs(id));
    return out;
}

QJsonArray ServerState::jobsJson() const {
    std::lock_guard lock(m_mutex);
    QJsonArray out;
    for (const auto &[id, job] : m_jobs) {
        out.append(QJsonObject{
            {QStringLiteral("id"), qs(job.id)},
            {QStringLiteral("client_id"), qs(job.clientId)},
            {QStringLiteral("status"), qs(job.status)},
        });
    }
    return out;
}

void ServerState::addCancelHook(std::function<void(const std::string &)> hook) {
    std::lock_guard lock(m_mutex);
    m_cancelHooks.push_back(std::move(hook));
}

void ServerState::addResetHook(std::function<void()> hook) {
    std::lock_guard lock(m_mutex);
    m_resetHooks.push_back(std::move(hook));
}

void ServerState::reset() {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard lock(m_mutex);
        hooks = m_resetHooks;
    }
    // Areas with state of their own (tool packages, jobs) put it back too.
    for (const auto &hook : hooks) hook();
    std::lock_guard lock(m_mutex);
    m_sessions.clear();
    m_clientSessions.clear();
    m_accessTokens.clear();
    m_refreshTokens.clear();
    m_installations.clear();
    m_jobs.clear();
    m_usage.clear();
    m_cancels.clear();
    m_requests.clear();
    m_counts.clear();
    m_faults.clear();
}

} // namespace hoplin::server
