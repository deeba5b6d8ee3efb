// The desktop application's update: a manifest describing the image this server was given, the
// image itself (streamed from disk, with or without a length), a detached Ed25519 signature when a
// signing key is configured, and a redirect for tests. Tests replace the manifest or the signature
// through the admin endpoint.
#include "Http.h"
#include "Routes.h"

#include <QByteArray>
#include <QJsonDocument>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace hoplin::server {

namespace {

constexpr std::size_t kImageChunk = 256 * 1024;

std::string fileName(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Digest of a file, read in 1 MiB pieces; empty when it cannot be read.
std::string fileSha256(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        EVP_DigestUpdate(context, buffer.data(), std::size_t(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::string sign(EVP_PKEY *key, const std::string &bytes)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    const bool ok = EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                    EVP_DigestSign(context, signature, &length,
                                   reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!ok)
        return {};
    return QByteArray(reinterpret_cast<const char *>(signature), qsizetype(length)).toBase64().toStdString();
}

class UpdateState {
public:
    explicit UpdateState(UpdateOptions options)
        : m_options(std::move(options))
    {
        if (!m_options.signingKeyPath.empty()) {
            if (std::FILE *file = std::fopen(m_options.signingKeyPath.c_str(), "r")) {
                m_key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
                std::fclose(file);
            }
            if (!m_key)
                std::fprintf(stderr, "hoplin-server: cannot read the signing key %s\n", m_options.signingKeyPath.c_str());
        }
    }
    ~UpdateState() { EVP_PKEY_free(m_key); }

    const UpdateOptions &options() const { return m_options; }
    std::string imageName() const { return fileName(m_options.imagePath); }

    // The manifest as served: the admin's text, or one describing the image (over plain HTTP:
    // this build, so nothing is offered that could not be downloaded).
    std::optional<std::string> manifest(const std::string &host)
    {
        std::lock_guard lock(m_mutex);
        if (m_manifestOverride)
            return m_manifestOverride;
        if (m_digest.empty())
            m_digest = fileSha256(m_options.imagePath);
        if (m_digest.empty())
            return std::nullopt;
        const bool tls = m_options.tls;
        QJsonObject object{
            {QStringLiteral("version"), QString::fromStdString(tls ? m_options.version : m_options.runningVersion)},
            {QStringLiteral("build"), tls ? m_options.build : m_options.runningBuild},
            {QStringLiteral("dmg"), QString::fromStdString("https://" + host + "/tools/desktop/" + imageName())},
                           {QStringLiteral("sha256"), QString::fromStdString(m_digest)},
                           {QStringLiteral("notes"), QString::fromStdString(m_options.notes)}};
        return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    }

    std::optional<std::string> signature(const std::string &manifestBytes)
    {
        std::lock_guard lock(m_mutex);
        if (m_signatureOverride)
            return m_signatureOverride;
        if (!m_key)
            return std::nullopt;
        return sign(m_key, manifestBytes);
    }

    void setOverrides(std::optional<std::string> manifest, std::optional<std::string> signature)
    {
        std::lock_guard lock(m_mutex);
        m_manifestOverride = std::move(manifest);
        m_signatureOverride = std::move(signature);
    }

private:
    UpdateOptions m_options;
    EVP_PKEY *m_key = nullptr;
    std::mutex m_mutex;
    std::string m_digest;
    std::optional<std::string> m_manifestOverride;
    std::optional<std::string> m_signatureOverride;
};

void serveImage(httplib::Response &res, const std::string &path, bool withLength)
{
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (!*in) {
        sendDetail(res, 404, "Not Found.");
        return;
    }
    in->seekg(0, std::ios::end);
    const auto size = std::size_t(in->tellg());
    in->seekg(0);
    auto buffer = std::make_shared<std::vector<char>>(kImageChunk);
    if (withLength) {
        res.set_content_provider(size, "application/octet-stream",
                                 [in, buffer](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
                                     in->seekg(std::streamoff(offset));
                                     in->read(buffer->data(), std::streamsize(std::min(length, buffer->size())));
                                     const auto got = std::size_t(in->gcount());
                                     return got > 0 && sink.write(buffer->data(), got);
                                 });
        return;
    }
    res.set_chunked_content_provider("application/octet-stream",
                                     [in, buffer](std::size_t, httplib::DataSink &sink) {
                                         in->read(buffer->data(), std::streamsize(buffer->size()));
                                         const auto got = std::size_t(in->gcount());
                                         if (got > 0 && !sink.write(buffer->data(), got))
                                             return false;
                                         if (!*in)
                                             sink.done();
                                         return true;
                                     });
}

} // namespace

void registerUpdateRoutes(httplib::Server &server, ServerState &state, bool admin, UpdateOptions options)
{
    static std::unique_ptr<UpdateState> update;
    update = std::make_unique<UpdateState>(std::move(options));
    state.addResetHook([] { update->setOverrides(std::nullopt, std::nullopt); });
    using Req = const httplib::Request &;
    using Res = httplib::Response &;
    using Body = const std::string &;

    addRoute(server, state, "GET", "/tools/desktop/latest.json", [](Req req, Res res, Body) {
        const auto manifest = update->manifest(req.get_header_value("Host"));
        if (!manifest) {
            sendDetail(res, 404, "No update is published.");
            return;
        }
        res.set_content(*manifest, "application/json");
    });
    addRoute(server, state, "GET", "/tools/desktop/latest.json.sig", [](Req req, Res res, Body) {
        const auto manifest = update->manifest(req.get_header_value("Host"));
        const auto signature = manifest ? update->signature(*manifest) : std::nullopt;
        if (!signature) {
            sendDetail(res, 404, "The update description is not signed.");
            return;
        }
        res.set_content(*signature + "\n", "text/plain");
    });
    // "?to=ADDRESS" answers 302 to that address, so tests can follow the image through a redirect.
    addRoute(server, state, "GET", "/tools/desktop/redirect", [](Req req, Res res, Body) {
        res.set_redirect(req.get_param_value("to"), 302);
    });
    // The image itself; "?chunked=1" leaves out the length.
    addRoute(server, state, "GET", "/tools/desktop/*", [](Req req, Res res, Body) {
        if (fileName(req.path) != update->imageName() || update->imageName().empty()) {
            sendDetail(res, 404, "Not Found.");
            return;
        }
        serveImage(res, update->options().imagePath, req.get_param_value("chunked") != "1");
    });

    if (!admin)
        return;
    // {"manifest": "<text served as latest.json>", "signature": "<text served as latest.json.sig>"};
    // a missing key goes back to the generated answer.
    addRoute(
        server, state, "POST", "/__admin/update",
        [](Req req, Res res, Body body) {
            const auto object = jsonBody(req, res, body);
            if (!object)
                return;
            const auto text = [&object](const char *key) -> std::optional<std::string> {
                const QJsonValue value = object->value(QLatin1String(key));
                return value.isString() ? std::optional(value.toString().toStdString()) : std::nullopt;
            };
            update->setOverrides(text("manifest"), text("signature"));
            sendJson(res, 200, QJsonObject{{QStringLiteral("ok"), true}});
        },
        RouteOptions{.admin = true});
}

} // namespace hoplin::server
