#pragma once

namespace httplib {
class Server;
}

namespace hoplin::server {

class ServerState;

// One function per area of the service; main() calls each once before listening.
void registerAuthRoutes(httplib::Server &server, ServerState &state);
void registerServiceRoutes(httplib::Server &server, ServerState &state); // presets, usage, jobs, health
void registerAdminRoutes(httplib::Server &server, ServerState &state);
// The FFmpeg package and its mirror; `admin` adds the switch that picks what they serve.
void registerToolRoutes(httplib::Server &server, ServerState &state, bool admin);
// Uploads, analysis jobs and reports; `admin` adds the switch that makes jobs misbehave.
void registerAnalysisRoutes(httplib::Server &server, ServerState &state, bool admin);
// The web pages "/correction" and "/cinema" that the desktop app embeds.
void registerPageRoutes(httplib::Server &server, ServerState &state);

} // namespace hoplin::server
