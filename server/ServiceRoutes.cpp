#include "Http.h"
#include "PresetCatalog.h"
#include "Routes.h"

namespace hoplin::server {

void registerServiceRoutes(httplib::Server &server, ServerState &state) {
    addRoute(server, state, "GET", "/health",
             [](const httplib::Request &, httplib::Response &res, const std::string &) {
                 sendJson(res, 200, QJsonObject{{QStringLiteral("version"), QLatin1String(kServerVersion)}});
             });

    addRoute(server, state, "GET", "/v1/presets",
             [&state](const httplib::Request &req, httplib::Response &res, const std::string &) {
                 if (!authorisedClient(req, res, state)) return;
                 sendJson(res, 200, presetsPayload());
             });

    addRoute(server, state, "POST", "/v1/usage/convert",
             [&state](const httplib::Request &req, httplib::Response &res, const std::string &body) {
                 const auto client = authorisedClient(req, res, state);
                 if (!client) return;
                 const auto object = jsonBody(req, res, body);
                 if (!object) return;
                 UsageReport report;
                 if (stringField(*object, "process_key", report.processKey) != FieldState::Ok ||
                     integerField(*object, "file_count", report.fileCount) != FieldState::Ok ||
                     integerField(*object, "input_bytes", report.inputBytes) != FieldState::Ok ||
                     stringField(*object, "filename", report.filename) != FieldState::Ok) {
                     sendDetail(res, 400,
                                "Expected \"process_key\" (string), \"file_count\" (integer), "
                                "\"input_bytes\" (integer) and \"filename\" (string).");
                     return;
                 }
                 if (report.processKey.empty() || report.fileCount < 0 || report.inputBytes < 0) {
                     sendDetail(res, 400,
                                "\"process_key\" must not be empty and counts must not be negative.");
                     return;
                 }
                 report.clientId = *client;
                 report.time = isoNow();
                 state.recordUsage(std::move(report));
                 sendJson(res, 200, QJsonObject{{QStringLiteral("ok"), true}});
             });

    addRoute(server, state, "POST", "/v1/jobs/*/cancel",
             [&state](const httplib::Request &req, httplib::Response &res, const std::string &) {
                 const auto client = authorisedClient(req, res, state);
                 if (!client) return;
                 const std::string jobId = req.matches[1];
                 if (state.cancelJob(*client, jobId) == CancelResult::UnknownJob) {
                     sendDetail(res, 404, "Job not found.");
                     return;
                 }
                 sendJson(res, 200,
                          QJsonObject{{QStringLiteral("ok"), true},
                                      {QStringLiteral("id"), QString::fromStdString(jobId)},
                                      {QStringLiteral("status"), QStringLiteral("cancelled")}});
             });
}

} // namespace hoplin::server
