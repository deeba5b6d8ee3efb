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
    // Without TLS the image cannot be fetched from here: the description names this very build
    // instead (at an HTTPS address), which an app of the same build takes as "up to date".
    std::string runningVersion = HOPLIN_RUNNING_VERSION;
    int runningBuild = HOPLIN_RUNNING_BUILD;
};

// One function per area of the service; main() calls each once before listening.
void registerAuthRoutes(httplib::Server &server, ServerState &state);
void registerServiceRoutes(httplib::Server &server, ServerState &state); // presets, usage, jobs, health
void registerAdminRoutes(httplib::Server &server, ServerState &state);
// The FFmpeg package and its mirror; `admin` adds the switch that picks what they serve.
void registerToolRoutes(httplib::Server &server, ServerState &state, bool admin);
// Uploads, analysis jobs and reports; `admin` adds the switch that makes jobs misbehave. At most
// `workers` jobs run at once (0: one per core); finished jobs and unused uploads are forgotten
// `retentionSeconds` after they finished or arrived.
struct AnalysisOptions {
    bool admin = false;
    unsigned workers = 0;
    long long retentionSeconds = 3600;
};
void registerAnalysisRoutes(httplib::Server &server, ServerState &state, const AnalysisOptions &options);
// The desktop update manifest, its signature and the image; `admin` adds the manifest override.
void registerUpdateRoutes(httplib::Server &server, ServerState &state, bool admin, UpdateOptions options);
// The web pages "/correction" and "/cinema" that the desktop app embeds.
void registerPageRoutes(httplib::Server &server, ServerState &state);

} // namespace hoplin::server
