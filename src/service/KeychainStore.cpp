#include "KeychainStore.h"

#include <QStringDecoder>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <qt6keychain/keychain.h>

namespace hoplin::KeychainStore {

namespace {

std::atomic<qint64> s_timeoutMs{30000};
// The scratch item that shows whether the store is locked; never holds a key.
constexpr auto probeAccount = "client-key-probe";

struct JobOutcome {
    bool finished = false;
    QKeychain::Error error = QKeychain::NoError;
    QByteArray data;
};

// What a caller and the keychain thread share; the caller may have given up waiting by the time
// the job finishes, so it outlives both.
struct PendingJob {
    std::mutex mutex;
    std::condition_variable done;
    JobOutcome outcome;
};

// QtKeychain queues its jobs on an object that lives in the thread of the first job, and is not
// safe across threads: every job runs on this one thread, whatever thread asks.
QObject *keychainContext()
{
    static QObject *context = [] {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("keychain"));
        auto *object = new QObject;
        object->moveToThread(thread);
        thread->start();
        return object;
    }();
    return context;
}

// Runs one job on the keychain thread and waits for it, bounded by the time-out. A job that
// overran finishes (or not) on its own; its late answer goes to the shared state nobody reads.
template <typename Job, typename Prepare>
JobOutcome runJob(Prepare prepare, const char *itemAccount = account)
{
    auto pending = std::make_shared<PendingJob>();
    QMetaObject::invokeMethod(keychainContext(), [pending, prepare, itemAccount] {
        auto *job = new Job(QString::fromLatin1(service));
        job->setAutoDelete(true);
        job->setInsecureFallback(false);
        job->setKey(QString::fromLatin1(itemAccount));
        prepare(job);
        QObject::connect(job, &QKeychain::Job::finished, [pending](QKeychain::Job *finished) {
            JobOutcome outcome;
            outcome.finished = true;
            outcome.error = finished->error();
            if constexpr (std::is_same_v<Job, QKeychain::ReadPasswordJob>) {
                if (outcome.error == QKeychain::NoError)
                    outcome.data = static_cast<QKeychain::ReadPasswordJob *>(finished)->binaryData();
            }
            std::lock_guard lock(pending->mutex);
            pending->outcome = std::move(outcome);
            pending->done.notify_all();
        });
        job->start();
    });
    std::unique_lock lock(pending->mutex);
    pending->done.wait_for(lock, std::chrono::milliseconds(s_timeoutMs.load()),
                           [&] { return pending->outcome.finished; });
    return pending->outcome;
}

Result resultOf(const JobOutcome &outcome, bool absentIsFine)
{
    if (!outcome.finished)
        return Result::failure(timedOutCode);
    if (outcome.error == QKeychain::NoError)
        return Result::success();
    if (absentIsFine && outcome.error == QKeychain::EntryNotFound)
        return Result::alreadyAbsent();
    return Result::failure(qint32(outcome.error));
}

} // namespace

Result save(const QString &key)
{
    // The Secret Service replaces an item with the same attributes, which is update-or-add.
    const auto outcome =
        runJob<QKeychain::WritePasswordJob>([&](QKeychain::WritePasswordJob *job) { job->setTextData(key); });
    return resultOf(outcome, false);
}

std::optional<QString> load()
{
    const auto outcome = runJob<QKeychain::ReadPasswordJob>([](QKeychain::ReadPasswordJob *) {});
    if (!outcome.finished || outcome.error != QKeychain::NoError)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(outcome.data);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

Result remove()
{
    // The Secret Service reports a delete of nothing as done, so look for the item first.
    const auto lookup = runJob<QKeychain::ReadPasswordJob>([](QKeychain::ReadPasswordJob *) {});
    if (!lookup.finished)
        return Result::failure(timedOutCode);
    if (lookup.error == QKeychain::EntryNotFound) {
        // A locked store answers a lookup with "not found" (its unlock prompt failed or was
        // dismissed) and reports deletes as done while the item stays. Only a write tells the two
        // apart: try a scratch item of our own, which a locked store refuses.
        const auto probe = runJob<QKeychain::WritePasswordJob>(
            [](QKeychain::WritePasswordJob *job) { job->setTextData(QStringLiteral("probe")); }, probeAccount);
        if (!probe.finished)
            return Result::failure(timedOutCode);
        if (probe.error == QKeychain::AccessDenied || probe.error == QKeychain::AccessDeniedByUser)
            return Result::failure(qint32(probe.error));
        if (probe.error == QKeychain::NoError)
            runJob<QKeychain::DeletePasswordJob>([](QKeychain::DeletePasswordJob *) {}, probeAccount);
        return Result::alreadyAbsent();
    }
    const auto outcome = runJob<QKeychain::DeletePasswordJob>([](QKeychain::DeletePasswordJob *) {});
    return resultOf(outcome, true);
}

Trouble troubleOf(qint32 code)
{
    switch (code) {
    case timedOutCode:
        return Trouble::TimedOut;
    case QKeychain::AccessDenied: // the Secret Service's "is locked"
        return Trouble::Locked;
    case QKeychain::AccessDeniedByUser:
        return Trouble::Denied;
    case QKeychain::NoBackendAvailable:
    case QKeychain::OtherError: // what the Secret Service library gives when no daemon answers
        return Trouble::NoService;
    default:
        return Trouble::Other;
    }
}

std::chrono::milliseconds jobTimeout()
{
    return std::chrono::milliseconds(s_timeoutMs.load());
}

void setJobTimeout(std::chrono::milliseconds timeout)
{
    s_timeoutMs.store(timeout.count());
}

} // namespace hoplin::KeychainStore
