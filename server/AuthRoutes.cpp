#include "Http.h"
#include "Routes.h"

namespace hoplin::server {

namespace {

QJsonObject sessionJson(const IssuedSession &session) {
    return {
        {QStringLiteral("access_token"), QString::fromStdString(session.accessToken)},
        {QStringLiteral("refresh_token"), QString::fromStdString(session.refreshToken)},
        {QStringLiteral("installation_id"), QString::fromStdString(session.installationId)},
        {QStringLiteral("client_id"), QString::fromStdString(session.clientId)},
        {QStringLiteral("session_id"), QString::fromStdString(session.sessionId)},
    };
}

} // namespace

void registerAuthRoutes(httplib::Server &server, ServerState &state) {
    addRoute(server, state, "POST", "/v1/auth/activate",
             [&state](const httplib::Request &req, httplib::Response &res, const std::string &body) {
                 const auto object = jsonBody(req, res, body);
                 if (!object) return;
                 std::string apiKey, label;
                 if (stringField(*object, "api_key", apiKey) == FieldState::WrongType ||
                     stringField(*object, "installation_label", label) == FieldState::WrongType) {
                     sendDetail(res, 400, "\"api_key\" and \"installation_label\" must be strings.");
                     return;
                 }
                 // Keys are compared byte for byte: a key pasted with stray spaces is a different key.
                 const auto session = state.activate(apiKey, label);
                 if (!session) {
                     sendDetail(res, 401, "Invalid client key.");
                     return;
                 }
                 sendJson(res, 200, sessionJson(*session));
             });

    addRoute(server, state, "POST", "/v1/auth/refresh",
             [&state](const httplib::Request &req, httplib::Response &res, const std::string &body) {
                 const auto object = jsonBody(req, res, body);
                 if (!object) return;
                 std::string refreshToken;
                 if (stringField(*object, "refresh_token", refreshToken) == FieldState::WrongType) {
                     sendDetail(res, 400, "\"refresh_token\" must be a string.");
                     return;
                 }
                 const auto session = state.refresh(refreshToken);
                 if (!session) {
                     sendDetail(res, 401, "Invalid or expired refresh token.");
                     return;
                 }
                 sendJson(res, 200, sessionJson(*session));
             });

    addRoute(server, state, "POST", "/v1/auth/logout",
             [&state](const httplib::Request &req, httplib::Response &res, const std::string &body) {
                 // The bearer or the body's refresh token identifies the session; the whole
                 // session goes, with all its tokens.
                 std::string refreshToken;
                 if (!body.empty()) {
                     const auto object = jsonBody(req, res, body);
                     if (!object) return;
                     if (stringField(*object, "refresh_token", refreshToken) == FieldState::WrongType) {
                         sendDetail(res, 400, "\"refresh_token\" must be a string.");
                         return;
                     }
                 }
                 if (!state.logout(bearerToken(req), refreshToken)) {
                     res.set_header("WWW-Authenticate", "Bearer");
                     sendDetail(res, 401, "Invalid or expired token.");
                     return;
                 }
                 sendJson(res, 200, QJsonObject{{QStringLiteral("ok"), true}});
             });
}

} // namespace hoplin::server
