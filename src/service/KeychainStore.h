#pragma once

#include <QString>
#include <chrono>
#include <optional>

namespace hoplin {

// Remembers the one client key in the user's secret store (the Secret Service on Linux) so that
// the application can sign in by itself at launch. Every operation blocks until the store answers
// or the job time-out passes: call save and remove off the main thread. Nothing is cached; there
// is no fallback to a plain file.
namespace KeychainStore {

inline constexpr auto service = "com.hoplin.desktop";
inline constexpr auto account = "client-key";

// Failure code given when the store did not answer within the job time-out. The store's own
// codes are small positive numbers, so this one cannot be confused with them.
inline constexpr int timedOutCode = -1;

class Result {
public:
    enum class Kind { Success, AlreadyAbsent, Failure };

    static Result success() { return Result(Kind::Success, 0); }
    static Result alreadyAbsent() { return Result(Kind::AlreadyAbsent, 0); }
    static Result failure(qint32 code) { return Result(Kind::Failure, code); }

    Kind kind() const { return m_kind; }
    bool isFailure() const { return m_kind == Kind::Failure; }
    // The store's status code of a failure; 0 otherwise.
    qint32 code() const { return m_code; }
    bool operator==(const Result &) const = default;

private:
    Result(Kind kind, qint32 code)
        : m_kind(kind)
        , m_code(code)
    {
    }
    Kind m_kind;
    qint32 m_code;
};

// Stores `key`, replacing any earlier one (the store keeps at most one item).
Result save(const QString &key);
// The remembered key; none when there is none or it cannot be read for any reason.
std::optional<QString> load();
// Removes the item; `alreadyAbsent` when there was none. A locked store hides its items from a
// lookup, so "none found" is only believed once the store has shown it is unlocked.
Result remove();

// What a failure code means, for wording it; the code itself is for the log.
enum class Trouble { Locked, NoService, Denied, TimedOut, Other };
Trouble troubleOf(qint32 code);

// How long one job may take before it counts as failed. A locked store may ask the user for a
// password, so the default is generous.
std::chrono::milliseconds jobTimeout();
void setJobTimeout(std::chrono::milliseconds timeout);

} // namespace KeychainStore
} // namespace hoplin
