#include "Http.h"

#include <QJsonDocument>
#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <thread>

namespace hoplin::server {

namespace {

// Set once a request reaches one of our handlers, so the error handler leaves that answer alone
// (a fault may deliberately send an empty error body).
thread_local bool t_routed = false;
thread_local bool t_dropped = false;

// What each connection is doing, by peer address and port, and since when. A connection must
// deliver its next request's headers within kReadDeadline, and then its body within as long again,
// or the reaper closes it: a client dribbling a byte now and then would otherwise keep a worker for
// ever, since the read time-out counts from the last byte. Only a request being answered is exempt.
constexpr auto kReadDeadline = std::chrono::seconds(10);
enum class Phase { Headers, Body, Answering };
using Clock = std::chrono::steady_clock;
struct ConnectionBook {
    std::mutex mutex;
    std::map<std::pair<std::string, int>, std::pair<Phase, Clock::time_point>> phase;
};
ConnectionBook &book() {
    static ConnectionBook instance;
    return instance;
}
void enter(const httplib::Request &req, Phase phase) {
    std::lock_guard lock(book().mutex);
    book().phase[std::make_pair(req.remote_addr, req.remote_port)] = {phase, Clock::now()};
}

// The handler's own reads of the body count against the deadline; the answer after them does not.
httplib::ContentReader answeringAfter(const httplib::Request &req, const httplib::ContentReader &reader) {
    // One wrapper serves both the plain and the multipart reader.
    const auto wrap = [&req, &reader](auto... args) {
        const bool read = reader(std::move(args)...);
        enter(req, Phase::Answering);
        return read;
    };
    return httplib::ContentReader(wrap, wrap);
}

std::string toRegex(const std::string &pattern) {
    std::string out;
    std::size_t start = 0;
    while (start <= pattern.size()) {
        std::size_t end = pattern.find('/', start);
        if (end == std::string::npos) end = pattern.size();
        const std::string segment = pattern.substr(start, end - start);
        if (segment == "*") {
            out += "([^/]+)";
        } else {
            for (char c : segment) {
                if (std::string_view(".^$|()[]{}*+?\\").find(c) != std::string_view::npos) out += '\\';
                out += c;
            }
        }
        if (end == pattern.size()) break;
        out += '/';
        start = end + 1;
    }
    return out;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

RecordedRequest snapshot(const httplib::Request &req, const std::string &body) {
    RecordedRequest recorded;
    recorded.method = req.method;
    recorded.path = req.path;
    if (auto q = req.target.find('?'); q != std::string::npos) recorded.query = req.target.substr(q + 1);
    for (const auto &[name, value] : req.headers) {
        // httplib adds these itself; they were never on the wire.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue;
        recorded.headers.emplace_back(lower(name), value);
    }
    recorded.body = body.substr(0, kRecordedBodyPrefix);
    recorded.time = isoNow();
    return recorded;
}

// httplib 0.11 waits for EOF when a POST carries neither Content-Length nor Transfer-Encoding,
// although such a request has no body. Routes are kept here too so those requests can be answered
// before the library starts that read.
struct BodylessRoute {
    std::string method;
    std::regex regex;
    std::function<void(const httplib::Request &, httplib::Response &)> invoke;
};

std::map<const httplib::Server *, std::vector<BodylessRoute>> &bodylessRoutes() {
    static std::map<const httplib::Server *, std::vector<BodylessRoute>> routes;
    return routes;
}

bool declaresNoBody(const httplib::Request &req) {
    return (req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE") &&
           !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding");
}

bool isAdminPath(const std::string &path) {
    return path.rfind("/__admin/", 0) == 0;
}

bool isLoopback(const std::string &address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

// Calls `act` for each connected TCP socket of this process whose local port is `localPort`.
// httplib gives handlers no access to their socket, so this is how we reach it.
template <typename Act> void forEachConnection(int localPort, Act act) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (...) {
            continue;
        }
        sockaddr_in local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != localPort)
            continue;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) != 0) continue;
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        if (act(fd, std::string(address), int(ntohs(peer.sin_port)))) return;
    }
}

// Shuts the request's socket down: the client sees the connection end with no response at all.
bool dropConnection(const httplib::Request &req) {
    bool dropped = false;
    forEachConnection(req.local_port, [&](int fd, const std::string &address, int port) {
        if (port != req.remote_port || address != req.remote_addr) return false;
        dropped = ::shutdown(fd, SHUT_RDWR) == 0;
        return true;
    });
    return dropped;
}

// Returns true when a fault answered the call in place of the route's handler.
bool applyFault(ServerState &state, const httplib::Request &req, httplib::Response &res,
                const std::string &pattern) {
    std::optional<Fault> fault = state.takeFault(req.method, req.path);
    if (!fault && pattern != req.path) fault = state.takeFault(req.method, pattern);
    if (!fault) return false;
    if (fault->delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    if (fault->close) {
        t_dropped = dropConnection(req);
        if (t_dropped) return true;
        // Could not find the socket: fall back to a plain failure so the call still fails.
        res.status = 502;
        res.set_header("Connection", "close");
        return true;
    }
    if (!fault->status) return false;
    res.status = *fault->status;
    if (!fault->location.empty()) res.set_header("Location", fault->location);
    if (fault->cutAfter) {
        // The length of the whole body goes out with the headers; the provider then sends the
        // first bytes only and fails, which ends the connection.
        const std::string body = fault->body;
        const std::size_t sent = std::min<std::size_t>(body.size(), std::size_t(*fault->cutAfter));
        const int stallMs = fault->stallMs;
        res.set_content_provider(
            body.size(), fault->contentType.empty() ? "text/plain" : fault->contentType,
            [body, sent, stallMs](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                if (offset < sent) {
                    sink.write(body.data() + offset, sent - offset);
                    return true;
                }
                if (stallMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
                return false;
            });
        return true;
    }
    if (fault->fillBytes) {
        // 64 KiB of the pattern at a time, so an answer of gigabytes costs the server nothing.
        std::string pattern = fault->body.empty() ? std::string("x") : fault->body;
        auto block = std::make_shared<std::string>();
        while (block->size() < 65536) *block += pattern;
        const auto total = std::size_t(*fault->fillBytes);
        res.set_chunked_content_provider(
            fault->contentType.empty() ? "application/octet-stream" : fault->contentType,
            [block, total, sent = std::size_t(0)](std::size_t, httplib::DataSink &sink) mutable {
                const std::size_t n = std::min(block->size(), total - sent);
                if (!sink.write(block->data(), n)) return false;
                sent += n;
                if (sent == total) sink.done();
                return true;
            });
        return true;
    }
    if (!fault->body.empty() || !fault->contentType.empty()) res.set_content(fault->body, fault->contentType);
    return true;
}

void run(ServerState &state, const RouteOptions &options, const std::string &pattern, const Handler &handler,
         const httplib::Request &req, httplib::Response &res, const std::string &body, bool tooLarge) {
    t_routed = true;
    enter(req, Phase::Answering);
    if (!options.admin) {
        state.recordRequest(snapshot(req, body));
        if (applyFault(state, req, res, pattern)) return;
    }
    if (tooLarge) {
        sendDetail(res, 413, "Request body is larger than " + std::to_string(options.maxBody) + " bytes.");
        return;
    }
    handler(req, res, body);
}

} // namespace

void addRoute(httplib::Server &server, ServerState &state, const std::string &method,
              const std::string &pattern, Handler handler, RouteOptions options) {
    const std::string regex = toRegex(pattern);
    auto plain = [&state, options, pattern, handler](const httplib::Request &req, httplib::Response &res) {
        run(state, options, pattern, handler, req, res, req.body, req.body.size() > options.maxBody);
    };
    // Bodies are drained in full even past the cap so the connection stays usable for the 413.
    auto reading = [&state, options, pattern, handler](const httplib::Request &req, httplib::Response &res,
                                                       const httplib::ContentReader &reader) {
        std::string body;
        bool tooLarge = false;
        const bool complete = reader([&](const char *data, std::size_t length) {
            if (tooLarge || body.size() + length > options.maxBody) {
                tooLarge = true;
            } else {
                body.append(data, length);
            }
            return true;
        });
        if (!complete) {
            t_routed = true;
            sendDetail(res, 400, "Could not read the request body.");
            return;
        }
        run(state, options, pattern, handler, req, res, body, tooLarge);
    };

    if (method != "GET")
        bodylessRoutes()[&server].push_back(
            {method, std::regex(regex),
             [&state, options, pattern, handler](const httplib::Request &req, httplib::Response &res) {
                 run(state, options, pattern, handler, req, res, {}, false);
             }});

    if (method == "GET") {
        server.Get(regex, plain);
    } else if (method == "POST") {
        server.Post(regex, reading);
        server.Post(regex, plain);
    } else if (method == "PUT") {
        server.Put(regex, reading);
        server.Put(regex, plain);
    } else if (method == "PATCH") {
        server.Patch(regex, reading);
        server.Patch(regex, plain);
    } else if (method == "DELETE") {
        server.Delete(regex, reading);
        server.Delete(regex, plain);
    }
}

void addStreamingRoute(httplib::Server &server, ServerState &state, const std::string &method,
                       const std::string &pattern, StreamingHandler handler) {
    const std::string regex = toRegex(pattern);
    auto reading = [&state, pattern, handler](const httplib::Request &req, httplib::Response &res,
                                              const httplib::ContentReader &reader) {
        t_routed = true;
        state.recordRequest(snapshot(req, {}));
        if (applyFault(state, req, res, pattern)) {
            // Drained so the connection carries the answer; a multipart body only reads through the
            // multipart form of the reader (the plain one calls an empty part callback).
            if (!t_dropped && req.is_multipart_form_data())
                reader([](const httplib::MultipartFormData &) { return true; }, [](const char *, std::size_t) { return true; });
            else if (!t_dropped)
                reader([](const char *, std::size_t) { return true; });
            return;
        }
        handler(req, res, answeringAfter(req, reader));
    };
    bodylessRoutes()[&server].push_back(
        {method, std::regex(regex), [reading](const httplib::Request &req, httplib::Response &res) {
             const httplib::ContentReader empty(
                 [](httplib::ContentReceiver) { return true; },
                 [](httplib::MultipartContentHeader, httplib::ContentReceiver) { return true; });
             reading(req, res, empty);
         }});
    if (method == "POST")
        server.Post(regex, reading);
    else if (method == "PUT")
        server.Put(regex, reading);
    else if (method == "PATCH")
        server.Patch(regex, reading);
}

void installCommonHandlers(httplib::Server &server, ServerState &state, bool logRequests) {
    server.set_pre_routing_handler([&server, &state](const httplib::Request &req, httplib::Response &res) {
        t_routed = false;
        t_dropped = false;
        enter(req, Phase::Body);
        // The admin routes can rewrite every answer: only this machine, and only with the token
        // printed at start. Anything else is told they do not exist.
        if (isAdminPath(req.path) && (!isLoopback(req.remote_addr) ||
                                      req.get_header_value(kAdminTokenHeader) != state.adminToken())) {
            t_routed = true;
            sendDetail(res, 404, "Not Found.");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!declaresNoBody(req)) return httplib::Server::HandlerResponse::Unhandled;
        // The library hands us a const view of its own, non-const request; handlers read
        // path captures from `matches`, which routing would otherwise have filled.
        auto &mutableReq = const_cast<httplib::Request &>(req);
        const auto &all = bodylessRoutes();
        if (const auto routes = all.find(&server); routes != all.end()) {
            for (const auto &route : routes->second) {
                if (route.method == req.method &&
                    std::regex_match(mutableReq.path, mutableReq.matches, route.regex)) {
                    route.invoke(req, res);
                    return httplib::Server::HandlerResponse::Handled;
                }
            }
        }
        res.status = 404;
        return httplib::Server::HandlerResponse::Handled;
    });

    server.set_error_handler(
        httplib::Server::HandlerWithResponse([&state](const httplib::Request &req, httplib::Response &res) {
            if (t_routed) return httplib::Server::HandlerResponse::Unhandled;
            if (res.status == 404 && !req.method.empty() && !isAdminPath(req.path))
                state.recordRequest(snapshot(req, req.body));
            sendDetail(res, res.status,
                       res.status == 404 ? "Not Found." : "HTTP error " + std::to_string(res.status) + '.');
            return httplib::Server::HandlerResponse::Handled;
        }));

    server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        t_routed = true;
        sendDetail(res, 500, "Internal server error.");
    });

    server.set_logger([logRequests](const httplib::Request &req, const httplib::Response &res) {
        enter(req, Phase::Headers);
        if (logRequests) {
            std::fprintf(stderr, "%s %s %s -> %d%s\n", isoNow().c_str(), req.method.c_str(), req.path.c_str(),
                         res.status, t_dropped ? " (dropped)" : "");
        }
        t_routed = false;
        t_dropped = false;
    });
}

void reapSlowConnections(int localPort) {
    const auto now = Clock::now();
    std::map<std::pair<std::string, int>, bool> seen;
    std::vector<int> slow;
    {
        std::lock_guard lock(book().mutex);
        forEachConnection(localPort, [&](int fd, const std::string &address, int port) {
            const auto key = std::make_pair(address, port);
            seen[key] = true;
            const auto [entry, added] = book().phase.try_emplace(key, Phase::Headers, now);
            const auto [phase, since] = entry->second;
            if (!added && phase != Phase::Answering && now - since > kReadDeadline) slow.push_back(fd);
            return false;
        });
        // Forget connections that are gone, so the book stays as small as the open set.
        std::erase_if(book().phase, [&](const auto &entry) { return !seen.count(entry.first); });
    }
    for (int fd : slow) ::shutdown(fd, SHUT_RDWR);
}

void endIdleConnections(int localPort) {
    // Closing only the read side lets a request in progress still send its answer; idle
    // keep-alive connections see end-of-file at once instead of waiting out their timeout.
    forEachConnection(localPort, [](int fd, const std::string &, int) {
        ::shutdown(fd, SHUT_RD);
        return false;
    });
}

// With the charset named, the HTTP library leaves the body uncompressed: it would otherwise brotli
// every answer at its slowest setting, which for an analysis result costs more time than sending
// it uncompressed to a client that is usually on the same machine.
const char *const kJsonType = "application/json; charset=utf-8";

void sendJson(httplib::Response &res, int status, const QJsonObject &object) {
    res.status = status;
    res.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), kJsonType);
}

void sendJson(httplib::Response &res, int status, const QJsonArray &array) {
    res.status = status;
    res.set_content(QJsonDocument(array).toJson(QJsonDocument::Compact).toStdString(), kJsonType);
}

void sendDetail(httplib::Response &res, int status, const std::string &detail) {
    sendJson(res, status, QJsonObject{{QStringLiteral("detail"), QString::fromStdString(detail)}});
}

std::optional<QJsonObject> jsonBody(const httplib::Request &req, httplib::Response &res,
                                    const std::string &body) {
    const std::string contentType = lower(req.get_header_value("Content-Type"));
    if (contentType.rfind("application/json", 0) != 0) {
        sendDetail(res, 415, "Content-Type must be application/json.");
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError) {
        sendDetail(res, 400, "Malformed JSON body: " + error.errorString().toStdString() + '.');
        return std::nullopt;
    }
    if (!document.isObject()) {
        sendDetail(res, 400, "The JSON body must be an object.");
        return std::nullopt;
    }
    return document.object();
}

std::string bearerToken(const httplib::Request &req) {
    const std::string header = req.get_header_value("Authorization");
    constexpr std::string_view scheme = "bearer ";
    if (header.size() <= scheme.size() || lower(header.substr(0, scheme.size())) != scheme) return {};
    return header.substr(scheme.size());
}

std::optional<std::string> authorisedClient(const httplib::Request &req, httplib::Response &res,
                                            const ServerState &state) {
    const std::string token = bearerToken(req);
    std::optional<std::string> client = token.empty() ? std::nullopt : state.clientForAccessToken(token);
    if (!client) {
        res.set_header("WWW-Authenticate", "Bearer");
        sendDetail(res, 401, token.empty() ? "Not authenticated." : "Invalid or expired token.");
    }
    return client;
}

FieldState stringField(const QJsonObject &object, const char *key, std::string &out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) return FieldState::Missing;
    if (!value.isString()) return FieldState::WrongType;
    out = value.toString().toStdString();
    return FieldState::Ok;
}

FieldState integerField(const QJsonObject &object, const char *key, qint64 &out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) return FieldState::Missing;
    if (!value.isDouble()) return FieldState::WrongType;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > 9007199254740992.0)
        return FieldState::WrongType;
    out = value.toInteger();
    return FieldState::Ok;
}

} // namespace hoplin::server
