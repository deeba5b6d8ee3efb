#pragma once

#include "ServerState.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cstddef>
#include <functional>
#include <httplib.h>
#include <optional>
#include <string>

namespace hoplin::server {

inline constexpr std::size_t kJsonBodyLimit = 1024 * 1024;

struct RouteOptions {
    // Admin routes are neither recorded nor subject to faults, so a fixture's own calls
    // never disturb what it is inspecting.
    bool admin = false;
    std::size_t maxBody = kJsonBodyLimit;
};

using Handler = std::function<void(const httplib::Request &, httplib::Response &, const std::string &body)>;
using StreamingHandler =
    std::function<void(const httplib::Request &, httplib::Response &, const httplib::ContentReader &)>;

// Registers `pattern` (a path where a "*" segment matches one segment, e.g. "/v1/jobs/*/cancel").
// Every route shares the same front matter: request log, fault injection, body size cap.
void addRoute(httplib::Server &server, ServerState &state, const std::string &method,
              const std::string &pattern, Handler handler, RouteOptions options = {});

// For large uploads: the handler reads the body itself, with no size cap applied here.
void addStreamingRoute(httplib::Server &server, ServerState &state, const std::string &method,
                       const std::string &pattern, StreamingHandler handler);

// JSON 404s for unknown routes, JSON 500s for exceptions, per-request logging.
void installCommonHandlers(httplib::Server &server, ServerState &state, bool logRequests);

// For shutdown: lets worker threads parked on idle keep-alive connections finish now.
void endIdleConnections(int localPort);
// Closes connections that take too long to send a request's headers or its body. Call every second.
void reapSlowConnections(int localPort);

void sendJson(httplib::Response &res, int status, const QJsonObject &object);
void sendJson(httplib::Response &res, int status, const QJsonArray &array);
void sendDetail(httplib::Response &res, int status, const std::string &detail);

// Parses the body as a JSON object; otherwise answers 415 or 400 and returns nothing.
std::optional<QJsonObject> jsonBody(const httplib::Request &req, httplib::Response &res,
                                    const std::string &body);

// The client id behind the request's bearer token; otherwise answers 401 and returns nothing.
std::optional<std::string> authorisedClient(const httplib::Request &req, httplib::Response &res,
                                            const ServerState &state);
std::string bearerToken(const httplib::Request &req);

enum class FieldState { Ok, Missing, WrongType };
FieldState stringField(const QJsonObject &object, const char *key, std::string &out);
FieldState integerField(const QJsonObject &object, const char *key, qint64 &out);

} // namespace hoplin::server
