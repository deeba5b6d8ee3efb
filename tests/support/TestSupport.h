#pragma once

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>

namespace hoplin {
class SessionStore;
}

namespace hoplin::test {

// Points HOME, the XDG folders and TMPDIR at a fresh temporary directory for the whole test process, so
// no test ever reads or writes the user's settings, logs or data. Call before anything touches
// Settings or the logger (the test main macros do).
QString isolateHome();
QString testHome();
// Deletes the isolated home with everything the run left in it; the test main macros call it last.
void removeHome();

// The messages the diagnostics log holds under `category`, oldest first, without time stamps;
// with `from` (a logMark() taken earlier) only those logged since.
QStringList logMessages(const QString &category, qsizetype from = 0);
// How many lines the diagnostics log holds now: a mark for logMessages.
qsizetype logMark();

// A file's bytes, or "(missing)" when it cannot be read, so a comparison names what went wrong.
QByteArray contents(const QString &path);
// Writes `bytes` to `path`, replacing what was there and making its folder; returns the path.
// Stops the test run when it cannot: every later step would fail for the wrong reason.
QString writeFile(const QString &path, const QByteArray &bytes = {});
// Runs the real ffmpeg with a lavfi source ("sine=frequency=440:duration=1"), then `options` (more
// inputs and output options), into `path`.
bool synthesise(const QString &path, const QString &source, const QStringList &options = {});

namespace detail {
template <typename T> struct TaskState {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value; // unused for void
    std::exception_ptr error;
    bool done = false;
    QEventLoop *loop = nullptr;
};

template <typename T> QCoro::Task<> drive(QCoro::Task<T> task, std::shared_ptr<TaskState<T>> state)
{
    try {
        if constexpr (std::is_void_v<T>)
            co_await std::move(task);
        else
            state->value.emplace(co_await std::move(task));
    } catch (...) {
        state->error = std::current_exception();
    }
    state->done = true;
    if (state->loop)
        state->loop->quit();
}
} // namespace detail

// Runs a coroutine to its end on a nested event loop; throws (a test failure) when it
// has not finished within `timeout`, and rethrows what the coroutine threw.
template <typename T> T runTask(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto state = std::make_shared<detail::TaskState<T>>();
    detail::drive<T>(std::move(task), state);
    if (!state->done) {
        QEventLoop loop;
        state->loop = &loop;
        QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
        loop.exec();
        state->loop = nullptr;
    }
    if (!state->done)
        throw std::runtime_error("coroutine did not finish in time");
    if (state->error)
        std::rethrow_exception(state->error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*state->value);
}

// Runs the event loop until `condition` holds or `timeout` passes; returns the condition.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}

struct HttpResult {
    int status = 0;
    QByteArray body;
    QJsonValue json() const;
};

// A plain blocking HTTP call for test set-up and assertions (not through the app's client).
HttpResult httpCall(const QByteArray &method, const QUrl &url, const QByteArray &body = {},
                    const QByteArray &bearer = {}, const QList<QPair<QByteArray, QByteArray>> &headers = {});

// The real hoplin-server on a free loopback port, with its test-only admin endpoints.
class LocalServer {
public:
    static constexpr auto demoKey = "hoplin-demo-key";

    LocalServer();
    ~LocalServer();
    bool start(const QStringList &extraArguments = {});
    void stop();

    QUrl url() const { return m_url; }
    // What the admin routes want in "X-Admin-Token"; printed by the server at start.
    QByteArray adminToken() const { return m_adminToken; }
    // One call of an admin route ("faults", "analysis") with the token.
    HttpResult adminCall(const QByteArray &method, const QString &path, const QByteArray &body = {});
    QUrl url(const QString &path) const;

    // The next `count` calls of `route` ("POST /v1/presets") answer with `status` and `body`.
    void fault(const QString &route, int status, const QByteArray &body = {}, int count = 1);
    // The next `count` calls of `route` wait `delayMs` before being answered normally.
    void delay(const QString &route, int delayMs, int count = 1);
    // Any fault the server's admin route takes ("cut_after", "stall_ms", "location", …).
    void faultRaw(const QJsonObject &fault) { admin("POST", "faults", fault); }
    void clearFaults() { admin("DELETE", "faults"); }
    void reset() { admin("POST", "reset"); }
    void expireTokens() { admin("POST", "expire-tokens"); }
    // What the server has seen since the last reset.
    int count(const QString &route) { return admin("GET", "counts").toObject().value(route).toInt(); }
    QJsonArray requests() { return admin("GET", "requests").toArray(); }
    QJsonArray usage() { return admin("GET", "usage").toArray(); }
    QJsonArray cancels() { return admin("GET", "cancels").toArray(); }

private:
    QJsonValue admin(const QByteArray &method, const QString &path, const QJsonObject &body = {});
    std::unique_ptr<QProcess> m_process;
    QUrl m_url;
    QByteArray m_adminToken;
};

// Signs `store` in with `key` (the demo key unless given) at the server its base URL names; fails
// the test otherwise.
void signIn(SessionStore &store, const QString &key = QString::fromLatin1(LocalServer::demoKey));

// Reports one use with the store's current token: more bytes than 32 bits hold, `filename` as given.
QCoro::Task<bool> reportUsage(SessionStore &store, const QString &filename);

// Starts `task` without waiting for it; `*done` turns true when it ends. Keep the returned task.
template <typename T> QCoro::Task<> track(QCoro::Task<T> task, bool *done)
{
    co_await std::move(task);
    *done = true;
}

} // namespace hoplin::test

// main() for a test: isolated home, then the application object (QApplication for widget tests,
// offscreen as set in CMake; their file includes <QApplication>) and the usual QtTest run.
#define HOPLIN_TEST_MAIN_WITH(AppClass, TestClass)                                                                     \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        hoplin::test::isolateHome();                                                                                   \
        AppClass app(argc, argv);                                                                                      \
        TestClass tc;                                                                                                  \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        const int failures = QTest::qExec(&tc, argc, argv);                                                            \
        hoplin::test::removeHome();                                                                                    \
        return failures;                                                                                               \
    }
#define HOPLIN_TEST_MAIN(TestClass) HOPLIN_TEST_MAIN_WITH(QCoreApplication, TestClass)
#define HOPLIN_GUI_TEST_MAIN(TestClass) HOPLIN_TEST_MAIN_WITH(QApplication, TestClass)
