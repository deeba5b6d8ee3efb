#include "Http.h"
#include "Routes.h"

namespace hoplin::server {

namespace {

QJsonObject ok() {
    return {{QStringLiteral("ok"), true}};
}

} // namespace

void registerAdminRoutes(httplib::Server &server, ServerState &state) {
    // Large enough for a fault body of several megabytes.
    const RouteOptions admin{.admin = true, .maxBody = 64 * 1024 * 1024};
    using Req = const httplib::Request &;
    using Res = httplib::Response &;
    using Body = const std::string &;

    addRoute(
        server, state, "GET", "/__admin/faults",
        [&state](Req, Res res, Body) { sendJson(res, 200, state.faultsJson()); }, admin);
    addRoute(
        server, state, "POST", "/__admin/faults",
        [&state](Req req, Res res, Body body) {
            const auto object = jsonBody(req, res, body);
            if (!object) return;
            auto parsed = parseFault(*object);
            if (auto *error = std::get_if<std::string>(&parsed)) {
                sendDetail(res, 400, *error);
                return;
            }
            const int id = state.addFault(std::get<Fault>(std::move(parsed)));
            sendJson(res, 200, QJsonObject{{QStringLiteral("ok"), true}, {QStringLiteral("id"), id}});
        },
        admin);
    addRoute(
        server, state, "DELETE", "/__admin/faults",
        [&state](Req, Res res, Body) {
            state.clearFaults();
            sendJson(res, 200, ok());
        },
        admin);

    addRoute(
        server, state, "GET", "/__admin/requests",
        [&state](Req, Res res, Body) { sendJson(res, 200, state.requestsJson()); }, admin);
    addRoute(
        server, state, "DELETE", "/__admin/requests",
        [&state](Req, Res res, Body) {
            state.clearRequests();
            sendJson(res, 200, ok());
        },
        admin);
    addRoute(
        server, state, "GET", "/__admin/counts",
        [&state](Req, Res res, Body) { sendJson(res, 200, state.countsJson()); }, admin);
    addRoute(
        server, state, "DELETE", "/__admin/counts",
        [&state](Req, Res res, Body) {
            state.clearCounts();
            sendJson(res, 200, ok());
        },
        admin);

    addRoute(
        server, state, "GET", "/__admin/usage",
        [&state](Req, Res res, Body) { sendJson(res, 200, state.usageJson()); }, admin);
    addRoute(
        server, state, "GET", "/__admin/cancels",
        [&state](Req, Res res, Body) { sendJson(res, 200, state.cancelsJson()); }, admin);

    addRoute(
        server, state, "GET", "/__admin/jobs",
        [&state](Req, Res res, Body) { sendJson(res, 200, state.jobsJson()); }, admin);
    addRoute(
        server, state, "POST", "/__admin/jobs",
        [&state](Req req, Res res, Body body) {
            const auto object = jsonBody(req, res, body);
            if (!object) return;
            Job job;
            job.clientId = kDemoClientId;
            if (stringField(*object, "id", job.id) != FieldState::Ok || job.id.empty() ||
                job.id.find('/') != std::string::npos ||
                stringField(*object, "client_id", job.clientId) == FieldState::WrongType) {
                sendDetail(res, 400,
                           "Expected \"id\" (non-empty string without '/') and optional \"client_id\".");
                return;
            }
            state.addJob(job);
            sendJson(res, 200, ok());
        },
        admin);

    addRoute(
        server, state, "POST", "/__admin/expire-tokens",
        [&state](Req, Res res, Body) {
            sendJson(res, 200,
                     QJsonObject{{QStringLiteral("ok"), true},
                                 {QStringLiteral("expired"), state.expireAccessTokens()}});
        },
        admin);
    addRoute(
        server, state, "POST", "/__admin/reset",
        [&state](Req, Res res, Body) {
            state.reset();
            sendJson(res, 200, ok());
        },
        admin);
}

} // namespace hoplin::server
