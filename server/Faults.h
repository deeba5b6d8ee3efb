#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <deque>
#include <optional>
#include <string>
#include <variant>

namespace hoplin::server {

// One injected misbehaviour for a route. It replaces the route's normal answer for the next
// `remaining` matching calls. With no status and no close it only delays the real handler.
struct Fault {
    int id = 0;
    std::string method;
    std::string path; // exact path, or a pattern where a "*" segment matches any one segment
    std::optional<int> status;
    std::string body;
    std::string contentType;
    int delayMs = 0;
    int remaining = 1;
    bool close = false;
    // With a status: the headers promise the whole body, only the first `cutAfter` bytes follow,
    // then the connection waits `stallMs` and ends (a transfer broken or stalled mid-body).
    std::optional<qint64> cutAfter;
    int stallMs = 0;
    // With a status: the "Location" header, for redirects.
    std::string location;
    // With a status: the body repeated (or "x" when empty) up to this many bytes, streamed without
    // a length, for clients that must stop reading an endless answer.
    std::optional<qint64> fillBytes;

    bool answers() const { return status.has_value() || close; }
    QJsonObject toJson() const;
};

// Returns the fault, or a message saying why the object is not a valid fault.
std::variant<Fault, std::string> parseFault(const QJsonObject &object);

// Matches "/v1/jobs/*/cancel" against "/v1/jobs/abc/cancel"; a "*" never matches an empty segment.
bool pathMatches(const std::string &pattern, const std::string &path);

// Not thread-safe: ServerState calls it under its mutex.
class FaultTable {
public:
    int add(Fault fault);
    // The first pending fault for this call, consumed by one use.
    std::optional<Fault> take(const std::string &method, const std::string &path);
    void clear() { m_faults.clear(); }
    QJsonArray toJson() const;

private:
    std::deque<Fault> m_faults;
    int m_nextId = 1;
};

} // namespace hoplin::server
