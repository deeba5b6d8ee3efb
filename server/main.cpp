#include "Http.h"
#include "Routes.h"
#include "ServerState.h"

#include <atomic>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <thread>

using namespace hoplin::server;

namespace {

struct Options {
    int port = 8787;
    bool admin = false;
    bool quiet = false;
    AnalysisOptions analysis;
    std::vector<ClientKey> keys;
    std::string tlsCert;
    std::string tlsKey;
    UpdateOptions update{HOPLIN_UPDATE_IMAGE, HOPLIN_UPDATE_VERSION, HOPLIN_UPDATE_BUILD,
                         "Faster conversions and a clearer analysis report.", {}, false};
};

void usage(std::FILE *out) {
    std::fputs("usage: hoplin-server [--port N] [--key KEY[=CLIENT_ID]]... [--admin] [--quiet] [--analysis-workers N] [--retention SECONDS]\n"
               "  --port N   listen on 127.0.0.1:N (default 8787; 0 picks a free port)\n"
               "  --key      accept this client key instead of the demo key (repeatable)\n"
               "  --admin    enable the /__admin/ test endpoints; they need the token printed at start\n"
               "  --analysis-workers N   analysis jobs run at once (default: one per core)\n"
               "  --retention SECONDS    forget finished jobs and unused uploads after this (default 3600)\n"
               "  --quiet    do not log requests to stderr\n"
               "  --tls-cert FILE --tls-key FILE   answer over HTTPS with this certificate (PEM)\n"
               "  --update-image FILE   the desktop update image to publish\n"
               "  --update-version V --update-build N   the release that image holds\n"
               "  --update-notes TEXT   its release notes\n"
               "  --update-signing-key FILE   sign the update description (PEM Ed25519 key)\n",
               out);
}

// Returns an exit code when the arguments end the program early.
std::optional<int> parseArgs(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto next = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };

        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--admin") {
            options.admin = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--port") {
            int port = -1;
            if (!next() ||
                std::from_chars(value.data(), value.data() + value.size(), port).ec != std::errc() ||
                port < 0 || port > 65535) {
                std::fprintf(stderr, "hoplin-server: --port needs a number from 0 to 65535\n");
                return 2;
            }
            options.port = port;
        } else if (arg == "--analysis-workers" || arg == "--retention") {
            long long number = -1;
            if (!next() ||
                std::from_chars(value.data(), value.data() + value.size(), number).ec != std::errc() ||
                number < (arg == "--retention" ? 0 : 1) || number > 100000000) {
                std::fprintf(stderr, "hoplin-server: %s needs a positive number\n", arg.c_str());
                return 2;
            }
            if (arg == "--retention")
                options.analysis.retentionSeconds = number;
            else
                options.analysis.workers = unsigned(number);
        } else if (arg == "--tls-cert" || arg == "--tls-key" || arg == "--update-image" ||
                   arg == "--update-version" || arg == "--update-notes" || arg == "--update-signing-key") {
            if (!next()) {
                std::fprintf(stderr, "hoplin-server: %s needs a value\n", arg.c_str());
                return 2;
            }
            if (arg == "--tls-cert") options.tlsCert = value;
            else if (arg == "--tls-key") options.tlsKey = value;
            else if (arg == "--update-image") options.update.imagePath = value;
            else if (arg == "--update-version") options.update.version = value;
            else if (arg == "--update-notes") options.update.notes = value;
            else options.update.signingKeyPath = value;
        } else if (arg == "--update-build") {
            int build = 0;
            if (!next() || std::from_chars(value.data(), value.data() + value.size(), build).ec != std::errc()) {
                std::fprintf(stderr, "hoplin-server: --update-build needs a number\n");
                return 2;
            }
            options.update.build = build;
        } else if (arg == "--key") {
            if (!next() || value.empty() || value[0] == '=') {
                std::fprintf(stderr, "hoplin-server: --key needs KEY or KEY=CLIENT_ID\n");
                return 2;
            }
            ClientKey key;
            if (auto eq = value.find('='); eq != std::string::npos) {
                key.key = value.substr(0, eq);
                key.clientId = value.substr(eq + 1);
            } else {
                key.key = value;
            }
            if (key.clientId.empty()) key.clientId = "client-" + std::to_string(options.keys.size() + 1);
            options.keys.push_back(std::move(key));
        } else {
            std::fprintf(stderr, "hoplin-server: unknown argument %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (auto code = parseArgs(argc, argv, options)) return *code;

    // Block the stop signals before any thread starts so only the waiter below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ServerState state(std::move(options.keys));
    const bool tls = !options.tlsCert.empty() || !options.tlsKey.empty();
    std::unique_ptr<httplib::Server> serverObject;
    if (tls) {
        auto secure = std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
        if (!secure->is_valid()) {
            std::fprintf(stderr, "hoplin-server: cannot use the certificate %s with the key %s\n",
                         options.tlsCert.c_str(), options.tlsKey.c_str());
            return 2;
        }
        serverObject = std::move(secure);
    } else {
        serverObject = std::make_unique<httplib::Server>();
    }
    httplib::Server &server = *serverObject;
    options.update.tls = tls;
    // Plenty of workers: injected delays park a thread each.
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // The library default sets SO_REUSEPORT, which would let two servers share a port silently.
    int listening = -1;
    server.set_socket_options([&listening](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });
    server.set_keep_alive_max_count(100);
    // A client that sends nothing, or stops sending, gives its worker back within seconds: a
    // few slow connections must not leave /health unanswered.
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_timeout(2);
    // Headers and body go out in separate writes; without this every answer waits on a delayed ACK.
    server.set_tcp_nodelay(true);

    installCommonHandlers(server, state, !options.quiet);
    registerAuthRoutes(server, state);
    registerServiceRoutes(server, state);
    registerToolRoutes(server, state, options.admin);
    options.analysis.admin = options.admin;
    registerAnalysisRoutes(server, state, options.analysis);
    registerUpdateRoutes(server, state, options.admin, options.update);
    registerPageRoutes(server, state);
    if (options.admin) registerAdminRoutes(server, state);

    const char *host = "127.0.0.1";
    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(host);
        if (port <= 0) port = -1;
    } else if (!server.bind_to_port(host, port)) {
        port = -1;
    }
    if (port < 0) {
        std::fprintf(stderr, "hoplin-server: cannot listen on %s:%d: %s\n", host, options.port,
                     std::strerror(errno));
        return 1;
    }
    // The packaged library listens with a backlog of 5, so a burst of clients loses handshakes
    // and waits out SYN retransmits (1, 3, 7… s) before the service sees them. Listening again
    // on the bound socket widens the queue.
    if (listening >= 0) ::listen(listening, 128);

    std::printf("%s://%s:%d\n", tls ? "https" : "http", host, port);
    if (state.usesDemoKey())
        std::printf("demo key: %s\n", kDemoKey);
    else
        std::printf("client keys: as given with --key\n");
    if (options.admin)
        std::printf("admin token: %s\n", state.adminToken().c_str());
    std::fflush(stdout);

    std::atomic<bool> signalled{false};
    std::thread waiter([&server, &stopSignals, &signalled, port] {
        int received = 0;
        sigwait(&stopSignals, &received);
        signalled = true;
        server.stop();
        endIdleConnections(port);
    });

    std::thread reaper([&signalled, port] {
        while (!signalled) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            reapSlowConnections(port);
        }
    });

    const bool listened = server.listen_after_bind();
    // Listening can also end on its own (an error); wake the waiter so it can be joined.
    if (!signalled) pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    reaper.join();
    if (!options.quiet) std::fprintf(stderr, "hoplin-server: stopped\n");
    return listened ? 0 : 1;
}
