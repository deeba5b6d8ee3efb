#pragma once

#include <string>

namespace httplib {
class Server;
}

namespace hoplin::server {

class ServerState;

// What the desktop update serves: the image file and the release it holds.
struct UpdateOptions {
    std::string imagePath;
    std::string version;
    int build = 0;
    std::string notes;
    std::string signingKeyPath; // PEM Ed25519 private key; empty: no signature is served
    bool tls = false;           // the server answers over HTTPS, so the image address is https
};

// One function per area of the service; main() calls each once before listening.
void registerAuthRoutes(httplib::Server &server, ServerState &state);
void registerServiceRoutes(httplib::Server &server, ServerState &state); // presets, usage, jobs, health
void registerAdminRoutes(httplib::Server &server, ServerState &state);
// The FFmpeg package and its mirror; `admin` adds the switch that picks what they serve.
void registerToolRoutes(httplib::Server &server, ServerState &state, bool admin);
// Uploads, analysis jobs and reports; `admin` adds the switch that makes jobs misbehave.
void registerAnalysisRoutes(httplib::Server &server, ServerState &state, bool admin);
// The desktop update manifest, its signature and the image; `admin` adds the manifest override.
void registerUpdateRoutes(httplib::Server &server, ServerState &state, bool admin, UpdateOptions options);

} // namespace hoplin::server
