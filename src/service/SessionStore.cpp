#include "SessionStore.h"

#include "APIClient.h"
#include "Async.h"
#include "diagnostics/DiagnosticsLogger.h"

#include <QCoro/QCoroSignal>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QScopeGuard>

namespace hoplin {

namespace {

void sessionLog(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("session"), message);
}

void usageLog(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("usage"), message);
}

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromUtf8(error.what());
}

// Spaces and tabs only: a key pasted with a line break is still sent as typed.
QString trimHorizontal(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && blank(text[start]))
        ++start;
    while (end > start && blank(text[end - 1]))
        --end;
    return text.mid(start, end - start);
}

QByteArray usageBody(const QString &processKey, qint64 fileCount, qint64 inputBytes, const QString &filename)
{
    const QJsonObject body{{QStringLiteral("process_key"), processKey},
                           {QStringLiteral("file_count"), fileCount},
                           {QStringLiteral("input_bytes"), inputBytes},
                           {QStringLiteral("filename"), filename}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

// A session nobody will use (its sign-in was overtaken) is ended on the service too, in the
// background.
void forgetOnService(const Session &session)
{
    detach(APIClient::logout(session.accessToken, session.refreshToken), QStringLiteral("session"),
           QStringLiteral("logout of an overtaken sign-in"));
}

QString stringValue(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

} // namespace

SessionStore::SessionStore(QObject *parent)
    : QObject(parent)
{
}

void SessionStore::setState(const ConnectionState &state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged();
}

void SessionStore::setSession(const std::optional<Session> &session)
{
    if (m_session == session)
        return;
    if (session && !session->accessToken.isEmpty())
        m_tokenClients.insert(session->accessToken, session->clientId);
    m_session = session;
    if (session) {
        DiagnosticsLogger::setSecret(QStringLiteral("access token"), session->accessToken);
        DiagnosticsLogger::setSecret(QStringLiteral("refresh token"), session->refreshToken);
    }
    emit sessionChanged();
}

void SessionStore::setPresets(const QList<Preset> &presets)
{
    if (m_presets == presets)
        return;
    m_presets = presets;
    emit presetsChanged();
}

void SessionStore::setScriptsUnavailable(bool value)
{
    if (m_scriptsUnavailable == value)
        return;
    m_scriptsUnavailable = value;
    emit scriptsUnavailableChanged();
}

void SessionStore::setPendingUsage(const QList<PendingUsage> &entries)
{
    const bool countChanged = entries.size() != m_pendingUsage.size();
    m_pendingUsage = entries;
    if (countChanged)
        emit pendingUsageCountChanged();
}

QCoro::Task<SessionStore::Verification> SessionStore::verify(QString token)
{
    try {
        const PresetsPayload payload = co_await APIClient::fetchPresets(token);
        co_return Verification{Verdict::Presets, payload.presets};
    } catch (const APIError &error) {
        if (error.kind() == APIError::Kind::BadStatus && (error.status() == 401 || error.status() == 403))
            co_return Verification{Verdict::Rejected, {}};
    } catch (const std::exception &) {
    }
    co_return Verification{Verdict::Unavailable, {}};
}

QCoro::Task<> SessionStore::connect(QString apiKey)
{
    QPointer self(this);
    sessionLog(QStringLiteral("connect requested"));
    if (m_signingInKey && *m_signingInKey == apiKey) {
        // A second click, Return or launch switch for the same key: one activation serves all.
        auto finished = qCoro(this, &SessionStore::signInFinished);
        co_await std::move(finished);
        co_return;
    }
    // Overtakes whatever sign-in, refresh or verification is still under way.
    bumpGeneration();
    if (trimHorizontal(apiKey).isEmpty()) {
        setState(ConnectionState::failed(QStringLiteral("Enter your client key first.")));
        sessionLog(QStringLiteral("connect failed: empty key"));
        co_return;
    }
    // A refusal's body may echo the key; it never reaches the log.
    DiagnosticsLogger::setSecret(QStringLiteral("client key"), trimHorizontal(apiKey));
    DiagnosticsLogger::setSecret(QStringLiteral("client key as typed"), apiKey);
    setState(ConnectionState::connecting());
    m_signingInKey = apiKey;
    const quint64 generation = m_generation;
    const auto finish = qScopeGuard([self, generation] {
        if (self && self->m_generation == generation)
            self->endSignIn();
    });

    Session session;
    try {
        session = co_await APIClient::activate(apiKey);
    } catch (const std::exception &error) {
        if (!self)
            co_return;
        if (m_generation == generation) {
            setPresets({});
            setSession(std::nullopt);
            setState(ConnectionState::failed(describe(error)));
            sessionLog(QStringLiteral("connect failed: ") + describe(error));
        }
        co_return;
    }
    if (!self)
        co_return;
    if (m_generation != generation) {
        forgetOnService(session);
        co_return;
    }

    setSession(session);
    sessionLog(QStringLiteral("activated client=") + session.clientId);

    const Verification verification = co_await verify(session.accessToken);
    // Overtaken by a sign-out or another sign-in: whatever came back is no longer ours to apply.
    if (!self || m_generation != generation)
        co_return;
    switch (verification.verdict) {
    case Verdict::Rejected:
        setPresets({});
        setSession(std::nullopt);
        setScriptsUnavailable(false);
        setState(ConnectionState::failed(QStringLiteral("The server rejected this session — check your client key.")));
        sessionLog(QStringLiteral("connect failed: server rejected the token"));
        co_return;
    case Verdict::Unavailable:
        setPresets({});
        setScriptsUnavailable(true);
        sessionLog(QStringLiteral("connected but preset service unavailable"));
        break;
    case Verdict::Presets:
        setPresets(verification.presets);
        setScriptsUnavailable(false);
        break;
    }
    setState(ConnectionState::connected(session.clientId));
    // Callers waiting on this sign-in resume now; the usage retry is not theirs to wait for.
    endSignIn();
    co_await retryPendingUsage();
}

void SessionStore::bumpGeneration()
{
    ++m_generation;
    endSignIn();
}

void SessionStore::endSignIn()
{
    if (!m_signingInKey)
        return;
    m_signingInKey.reset();
    emit signInFinished();
}

void SessionStore::disconnect()
{
    sessionLog(QStringLiteral("disconnect"));
    setPresets({});
    setSession(std::nullopt);
    setScriptsUnavailable(false);
    setState(ConnectionState::disconnected());
    bumpGeneration();
}

QCoro::Task<> SessionStore::signOut()
{
    sessionLog(QStringLiteral("sign out requested"));
    const std::optional<Session> session = m_session;
    disconnect();
    if (session) {
        auto loggingOut = APIClient::logout(session->accessToken, session->refreshToken);
        co_await std::move(loggingOut);
    }
}

QCoro::Task<bool> SessionStore::refreshSession()
{
    QPointer self(this);
    if (!m_session || m_session->refreshToken.isEmpty())
        co_return false;
    if (m_refreshInFlight) {
        // Join the refresh already under way rather than spending the refresh token twice.
        const bool result = co_await qCoro(this, &SessionStore::refreshFinished);
        co_return result;
    }
    m_refreshInFlight = true;
    const bool result = co_await runRefresh();
    if (self) {
        m_refreshInFlight = false;
        emit refreshFinished(result);
    }
    co_return result;
}

QCoro::Task<bool> SessionStore::runRefresh()
{
    // Holds the store weakly: a refresh never keeps it alive.
    QPointer self(this);
    if (!m_session)
        co_return false;
    const quint64 generation = m_generation;
    try {
        const Session fresh = co_await APIClient::refresh(m_session->refreshToken);
        if (!self)
            co_return false;
        if (m_generation != generation) {
            forgetOnService(fresh);
            co_return m_session.has_value();
        }
        setSession(fresh);
        sessionLog(QStringLiteral("token refreshed client=") + fresh.clientId);
        co_return true;
    } catch (const std::exception &error) {
        if (!self)
            co_return false;
        sessionLog(QStringLiteral("refresh failed: ") + describe(error));
        if (m_generation != generation)
            co_return m_session.has_value();
    }
    disconnect();
    co_return false;
}

QCoro::Task<bool> SessionStore::reportUsage(QString token, QString processKey, qint64 fileCount, qint64 inputBytes,
                                            QString filename)
{
    QPointer self(this);
    const PendingUsage entry{token, m_tokenClients.value(token), processKey, fileCount, inputBytes, filename};
    const QByteArray body = usageBody(processKey, fileCount, inputBytes, filename);
    int rejectedStatus = 0;
    try {
        const APIResponse response =
            co_await APIClient::request(QStringLiteral("/v1/usage/convert"), "POST", body, token);
        if (response.status == 200)
            co_return true;
        if (response.status == 401 || response.status == 403)
            rejectedStatus = response.status;
    } catch (const std::exception &) {
    }
    if (!self)
        co_return false;

    // Only the client the report belongs to may carry it: another client's session is never
    // refreshed or billed for it.
    if (rejectedStatus != 0 && sameClient(entry)) {
        usageLog(QStringLiteral("report got %1 — attempting one refresh").arg(rejectedStatus));
        const bool refreshed = co_await refreshSession();
        if (!self)
            co_return false;
        if (refreshed && sameClient(entry)) {
            try {
                const APIResponse retry = co_await APIClient::request(QStringLiteral("/v1/usage/convert"), "POST", body,
                                                                      m_session->accessToken);
                if (retry.status == 200)
                    co_return true;
            } catch (const std::exception &) {
            }
            if (!self)
                co_return false;
        }
    }
    queueUsage(entry);
    co_return false;
}

bool SessionStore::sameClient(const PendingUsage &entry) const
{
    return m_session && !entry.clientId.isEmpty() && m_session->clientId == entry.clientId;
}

void SessionStore::queueUsage(const PendingUsage &entry)
{
    if (!m_pendingUsage.contains(entry)) {
        QList<PendingUsage> entries = m_pendingUsage;
        entries.append(entry);
        setPendingUsage(entries);
    }
    usageLog(QStringLiteral("queued retry (pending=%1)").arg(m_pendingUsage.size()));
}

QCoro::Task<bool> SessionStore::deliverUsage(PendingUsage entry)
{
    QPointer self(this);
    const QByteArray body = usageBody(entry.processKey, entry.fileCount, entry.inputBytes, entry.filename);
    int status = 0;
    try {
        const APIResponse response =
            co_await APIClient::request(QStringLiteral("/v1/usage/convert"), "POST", body, entry.token);
        status = response.status;
    } catch (const std::exception &) {
    }
    if (!self || status == 200)
        co_return status == 200;
    // The entry's token died (a failed refresh, a sign-out and a new sign-in): the same client's
    // current session delivers it instead.
    if ((status == 401 || status == 403) && sameClient(entry) && m_session->accessToken != entry.token) {
        try {
            const APIResponse response = co_await APIClient::request(QStringLiteral("/v1/usage/convert"), "POST", body,
                                                                     m_session->accessToken);
            co_return response.status == 200;
        } catch (const std::exception &) {
        }
    }
    co_return false;
}

QCoro::Task<> SessionStore::retryPendingUsage()
{
    QPointer self(this);
    const QList<PendingUsage> snapshot = m_pendingUsage;
    if (snapshot.isEmpty())
        co_return;
    QList<PendingUsage> stayed;
    for (const PendingUsage &entry : snapshot) {
        auto delivering = deliverUsage(entry);
        const bool done = co_await std::move(delivering);
        if (!self)
            co_return;
        if (!done)
            stayed.append(entry);
    }
    // Entries queued while this pass ran follow the ones that stayed.
    QList<PendingUsage> remaining = stayed;
    for (const PendingUsage &entry : m_pendingUsage) {
        if (!snapshot.contains(entry) && !remaining.contains(entry))
            remaining.append(entry);
    }
    setPendingUsage(remaining);
    usageLog(QStringLiteral("retry finished (pending=%1)").arg(m_pendingUsage.size()));
}

std::optional<QString> SessionStore::webSessionPayload() const
{
    if (!m_session)
        return std::nullopt;
    const QJsonObject object{{QStringLiteral("access_token"), m_session->accessToken},
                             {QStringLiteral("refresh_token"), m_session->refreshToken},
                             {QStringLiteral("installation_id"), m_session->installationId},
                             {QStringLiteral("client_id"), m_session->clientId}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

std::optional<Session> SessionStore::parseWebSession(const QString &text)
{
    if (text.trimmed().isEmpty())
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    Session session;
    session.accessToken = stringValue(object, QStringLiteral("access_token"));
    session.refreshToken = stringValue(object, QStringLiteral("refresh_token"));
    if (session.accessToken.isEmpty() && session.refreshToken.isEmpty())
        return std::nullopt;
    session.installationId = stringValue(object, QStringLiteral("installation_id"));
    session.clientId = stringValue(object, QStringLiteral("client_id"));
    return session;
}

QCoro::Task<> SessionStore::adoptWebSession(QString json)
{
    QPointer self(this);
    const std::optional<Session> parsed = parseWebSession(json);
    if (!parsed) {
        if (m_session)
            disconnect();
        co_return;
    }
    if (m_session && m_session->accessToken == parsed->accessToken)
        co_return;
    sessionLog(QStringLiteral("adopting web session client=") + parsed->clientId);
    setSession(parsed);
    const quint64 generation = m_generation;
    const Verification verification = co_await verify(parsed->accessToken);
    if (!self || m_generation != generation)
        co_return;
    switch (verification.verdict) {
    case Verdict::Presets:
        setPresets(verification.presets);
        setScriptsUnavailable(false);
        setState(ConnectionState::connected(parsed->clientId));
        break;
    case Verdict::Unavailable:
        setPresets({});
        setScriptsUnavailable(true);
        setState(ConnectionState::connected(parsed->clientId));
        break;
    case Verdict::Rejected:
        setPresets({});
        setSession(std::nullopt);
        setState(ConnectionState::disconnected());
        sessionLog(QStringLiteral("adopted session was rejected by the server"));
        break;
    }
}

QCoro::Task<> SessionStore::handleWebUpdate(QVariant body)
{
    if (body.typeId() != QMetaType::QString)
        co_return;
    const QString text = body.toString();
    if (text.isEmpty())
        co_return;
    if (text.startsWith(QLatin1Char('{'))) {
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
        const QJsonObject envelope = document.object();
        if (document.isObject() && (envelope.contains(QStringLiteral("v")) || envelope.contains(QStringLiteral("p")))) {
            const QString value = stringValue(envelope, QStringLiteral("v"));
            if (!value.isEmpty()) {
                co_await adoptWebSession(value);
                co_return;
            }
            // The page removed its session: sign out only if it was ours.
            const QString previous = stringValue(envelope, QStringLiteral("p"));
            if (previous.isEmpty())
                co_return;
            const std::optional<Session> old = parseWebSession(previous);
            if (old && m_session && old->accessToken == m_session->accessToken)
                disconnect();
            co_return;
        }
    }
    co_await adoptWebSession(text);
}

} // namespace hoplin
