#pragma once

#include "Records.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QVariant>
#include <optional>

namespace hoplin {

// What the window shows about the connection.
class ConnectionState {
public:
    enum class Kind { Disconnected, Connecting, Connected, Failed };

    static ConnectionState disconnected() { return {Kind::Disconnected, {}}; }
    static ConnectionState connecting() { return {Kind::Connecting, {}}; }
    static ConnectionState connected(const QString &clientId) { return {Kind::Connected, clientId}; }
    static ConnectionState failed(const QString &message) { return {Kind::Failed, message}; }

    Kind kind() const { return m_kind; }
    bool isConnected() const { return m_kind == Kind::Connected; }
    QString clientId() const { return m_kind == Kind::Connected ? m_payload : QString(); }
    QString message() const { return m_kind == Kind::Failed ? m_payload : QString(); }
    bool operator==(const ConnectionState &) const = default;

private:
    ConnectionState(Kind kind, QString payload)
        : m_kind(kind)
        , m_payload(std::move(payload))
    {
    }
    Kind m_kind;
    QString m_payload;
};

// One usage report that the service has not accepted yet.
struct PendingUsage {
    QString token;
    // The client the token belonged to (empty when unknown): the report may be re-sent with a
    // newer token of that client only.
    QString clientId;
    QString processKey;
    qint64 fileCount = 0;
    qint64 inputBytes = 0;
    QString filename;
    bool operator==(const PendingUsage &) const = default;
};

// The one owner of the connection to the service: sign-in, the current session and its presets,
// refresh, sign-out, sessions handed over by the web pages, and usage reports with their retry
// queue. Main thread only. Every asynchronous step captures `generation` before it waits and drops
// its result when a sign-out happened meanwhile.
class SessionStore : public QObject {
    Q_OBJECT
public:
    explicit SessionStore(QObject *parent = nullptr);

    ConnectionState state() const { return m_state; }
    const QList<Preset> &presets() const { return m_presets; }
    bool scriptsUnavailable() const { return m_scriptsUnavailable; }
    int pendingUsageCount() const { return int(m_pendingUsage.size()); }
    const std::optional<Session> &session() const { return m_session; }
    // The current access token, or an empty string without a session.
    QString accessToken() const { return m_session ? m_session->accessToken : QString(); }
    quint64 generation() const { return m_generation; }
    const QList<PendingUsage> &pendingUsage() const { return m_pendingUsage; }

    // The Convert page replaces the list after fetching it on the user's request.
    void setPresets(const QList<Preset> &presets);

    // One sign-in at a time: a request for the key already signing in joins that sign-in; any
    // other request overtakes it (its result is dropped).
    QCoro::Task<> connect(QString apiKey);
    void disconnect();
    // Forgets the session at once, then logs it out on the service with the tokens it had; the
    // task ends when the service answered (result ignored).
    QCoro::Task<> signOut();
    QCoro::Task<bool> refreshSession();
    QCoro::Task<bool> reportUsage(QString token, QString processKey, qint64 fileCount, qint64 inputBytes,
                                  QString filename);
    QCoro::Task<> retryPendingUsage();

    std::optional<QString> webSessionPayload() const;
    static std::optional<Session> parseWebSession(const QString &text);
    QCoro::Task<> adoptWebSession(QString json);
    QCoro::Task<> handleWebUpdate(QVariant body);

signals:
    void stateChanged();
    void presetsChanged();
    void scriptsUnavailableChanged();
    void pendingUsageCountChanged();
    void sessionChanged();
    // Internal: the shared refresh finished with this result.
    void refreshFinished(bool result);
    // Internal: the sign-in in flight ended or was overtaken.
    void signInFinished();

private:
    enum class Verdict { Presets, Rejected, Unavailable };
    struct Verification {
        Verdict verdict;
        QList<Preset> presets;
    };

    QCoro::Task<Verification> verify(QString token);
    QCoro::Task<bool> runRefresh();
    void queueUsage(const PendingUsage &entry);
    // Sends a usage body with the entry's own token; when that token is rejected and the current
    // session belongs to the same client, once more with the current token. True when delivered.
    QCoro::Task<bool> deliverUsage(PendingUsage entry);
    // Whether the current session belongs to the client of `entry`.
    bool sameClient(const PendingUsage &entry) const;
    // A new generation: results of earlier sign-ins, refreshes and verifications are dropped.
    void bumpGeneration();
    void endSignIn();

    void setState(const ConnectionState &state);
    void setSession(const std::optional<Session> &session);
    void setScriptsUnavailable(bool value);
    void setPendingUsage(const QList<PendingUsage> &entries);

    ConnectionState m_state = ConnectionState::disconnected();
    QList<Preset> m_presets;
    bool m_scriptsUnavailable = false;
    std::optional<Session> m_session;
    quint64 m_generation = 0;
    bool m_refreshInFlight = false;
    // The key of the sign-in in flight, if any.
    std::optional<QString> m_signingInKey;
    // Which client each access token this store has held belongs to.
    QHash<QString, QString> m_tokenClients;
    QList<PendingUsage> m_pendingUsage;
};

} // namespace hoplin
