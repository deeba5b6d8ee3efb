#pragma once

#include "Faults.h"

#include <QJsonArray>
#include <QJsonObject>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace hoplin::server {

inline constexpr const char *kServerVersion = "2026.12.0";
inline constexpr const char *kDemoKey = "hoplin-demo-key";
inline constexpr const char *kDemoClientId = "demo-client";
inline constexpr std::size_t kRequestLogCap = 1000;
// Only the start of each body is kept: the log must stay small whatever clients send.
inline constexpr std::size_t kRecordedBodyPrefix = 4096;
inline constexpr const char *kAdminTokenHeader = "X-Admin-Token";
// Live sessions kept per client: one more activation revokes the client's oldest, so signing in
// again and again cannot grow the service without bound.
inline constexpr std::size_t kSessionsPerClient = 100;
// Access tokens kept per session: each refresh adds one, and requests already under way with the
// last few must still succeed, but refreshing again and again must not grow the session.
inline constexpr std::size_t kAccessTokensPerSession = 4;

struct ClientKey {
    std::string key;
    std::string clientId;
};

struct IssuedSession {
    std::string accessToken;
    std::string refreshToken;
    std::string installationId;
    std::string clientId;
    std::string sessionId;
};

struct UsageReport {
    std::string processKey;
    qint64 fileCount = 0;
    qint64 inputBytes = 0;
    std::string filename;
    std::string clientId;
    std::string time;
};

struct Job {
    std::string id;
    std::string clientId;
    std::string status = "running";
};

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string query;
    std::vector<std::pair<std::string, std::string>> headers; // names lower-cased
    std::string body;
    std::string time;
};

enum class CancelResult { Cancelled, UnknownJob };

// Everything the server remembers. One mutex guards all of it: the traffic is tiny and a
// single lock keeps cross-table operations (logout, reset) trivially consistent.
class ServerState {
public:
    // The client keys accepted; none given means the demo key alone.
    explicit ServerState(std::vector<ClientKey> keys = {});

    // Printed at start; the admin routes answer only requests that carry it.
    const std::string &adminToken() const { return m_adminToken; }
    bool usesDemoKey() const { return m_keys.size() == 1 && m_keys.front().key == kDemoKey; }

    // Sessions
    std::optional<IssuedSession> activate(const std::string &apiKey, const std::string &installationLabel);
    std::optional<IssuedSession> refresh(const std::string &refreshToken);
    std::optional<std::string> clientForAccessToken(const std::string &accessToken) const;
    // Ends the session either token belongs to; false when neither is known.
    bool logout(const std::string &accessToken, const std::string &refreshToken);
    int expireAccessTokens();

    // Usage and jobs
    void recordUsage(UsageReport report);
    void addJob(Job job);
    void forgetJob(const std::string &jobId);
    CancelResult cancelJob(const std::string &clientId, const std::string &jobId);

    // Traffic and faults
    void recordRequest(RecordedRequest request);
    std::optional<Fault> takeFault(const std::string &method, const std::string &path);
    int addFault(Fault fault);
    void clearFaults();
    void clearRequests();
    void clearCounts();

    // Views for the admin endpoints
    QJsonArray faultsJson() const;
    QJsonArray requestsJson() const;
    QJsonObject countsJson() const;
    QJsonArray usageJson() const;
    QJsonArray cancelsJson() const;
    QJsonArray jobsJson() const;

    void reset();
    // Called by reset(), outside the lock, for state kept elsewhere.
    void addResetHook(std::function<void()> hook);
    // Called by cancelJob() for a job it cancelled, outside the lock, so the area running the job
    // can stop it.
    void addCancelHook(std::function<void(const std::string &jobId)> hook);

private:
    struct Session {
        std::string id;
        std::string clientId;
        std::string installationId;
        std::string refreshToken;
        std::deque<std::string> accessTokens; // oldest first
    };

    std::string randomHex(std::size_t chars);
    IssuedSession issue(Session &session);
    void dropSession(const std::string &sessionId);

    mutable std::mutex m_mutex;
    std::mt19937_64 m_random;
    std::vector<ClientKey> m_keys;
    std::map<std::string, Session> m_sessions;
    std::map<std::string, std::deque<std::string>> m_clientSessions; // client -> session ids, oldest first
    std::map<std::string, std::string> m_accessTokens;                          // token -> session id
    std::map<std::string, std::string> m_refreshTokens;                         // token -> session id
    std::map<std::pair<std::string, std::string>, std::string> m_installations; // (client, label) -> id
    std::map<std::string, Job> m_jobs;
    std::vector<UsageReport> m_usage;
    std::vector<std::string> m_cancels;
    std::deque<RecordedRequest> m_requests;
    std::string m_adminToken;
    std::map<std::string, int> m_counts;
    FaultTable m_faults;
    std::vector<std::function<void()>> m_resetHooks;
    std::vector<std::function<void(const std::string &)>> m_cancelHooks;
};

std::string isoNow();

} // namespace hoplin::server
