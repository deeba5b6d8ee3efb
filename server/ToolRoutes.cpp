// The FFmpeg package: a ZIP holding the ffmpeg found on this machine's PATH at its top level, and
// a checksum list naming it. The same package is mirrored under /mirror for the app's fallback.
// Tests switch either location into a broken shape through the admin endpoint.
#include "Http.h"
#include "Routes.h"

#include <QFile>
#include <QStandardPaths>
#include <archive.h>
#include <archive_entry.h>
#include <map>
#include <mutex>
#include <openssl/evp.h>

namespace hoplin::server {

namespace {

struct ZipEntry {
    std::string name;
    std::string data;
    bool symlink = false;
    std::string target;
};

std::string makeZip(const std::vector<ZipEntry> &entries)
{
    std::string out;
    archive *writer = archive_write_new();
    archive_write_set_format_zip(writer);
    archive_write_open(
        writer, &out, nullptr,
        [](archive *, void *client, const void *buffer, size_t length) -> la_ssize_t {
            static_cast<std::string *>(client)->append(static_cast<const char *>(buffer), length);
            return la_ssize_t(length);
        },
        nullptr);
    for (const ZipEntry &e : entries) {
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.symlink ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry, 0755);
        if (e.symlink)
            archive_entry_set_symlink(entry, e.target.c_str());
        archive_entry_set_size(entry, e.symlink ? 0 : la_int64_t(e.data.size()));
        archive_write_header(writer, entry);
        if (!e.symlink)
            archive_write_data(writer, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return out;
}

std::string sha256Hex(const std::string &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

const std::string &ffmpegBytes()
{
    static const std::string bytes = [] {
        QFile file(QStandardPaths::findExecutable(QStringLiteral("ffmpeg")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }();
    return bytes;
}

// What one location serves. "good" is the real package.
struct Package {
    std::string zip;
    std::string sums;
    bool missing = false;
};

Package buildPackage(const std::string &mode)
{
    const std::string ffmpeg = ffmpegBytes();
    Package package;
    if (mode == "missing") {
        package.missing = true;
        return package;
    }
    if (mode == "nested")
        package.zip = makeZip({{"bin/ffmpeg", ffmpeg}});
    else if (mode == "not-ffmpeg")
        package.zip = makeZip({{"ffmpeg", "#!/bin/sh\necho 'not ffmpeg'\nexit 1\n"}});
    else if (mode == "broken")
        package.zip = "PK\x03\x04 this archive stops here";
    else if (mode == "traversal")
        package.zip = makeZip({{"../ffmpeg-escaped", "x"}, {"ffmpeg", ffmpeg}});
    else if (mode == "absolute")
        package.zip = makeZip({{"/tmp/hoplin-ffmpeg-absolute-escape", "x"}, {"ffmpeg", ffmpeg}});
    else if (mode == "symlink")
        package.zip = makeZip({{"ffmpeg", "", true, "../../../../../../usr/bin/ffmpeg"}});
    else
        package.zip = makeZip({{"ffmpeg", ffmpeg}, {"LICENSE.txt", "FFmpeg is licensed under the LGPL/GPL.\n"}});

    const std::string digest = sha256Hex(package.zip);
    if (mode == "bad-digest")
        package.sums = std::string(64, '0') + "  ffmpeg.zip\n";
    else if (mode == "no-digest")
        package.sums = "checksums are published soon\n";
    else
        package.sums = digest + "  ffmpeg.zip\n" + std::string(64, 'f') + "  ffmpeg-debug.zip\n";
    return package;
}

class Packages {
public:
    Package get(const std::string &location)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_cache.find(location);
        if (it == m_cache.end())
            it = m_cache.emplace(location, buildPackage(modeOf(location))).first;
        return it->second;
    }
    void setMode(const std::string &location, const std::string &mode)
    {
        std::lock_guard lock(m_mutex);
        m_modes[location] = mode;
        m_cache.erase(location);
    }
    void reset()
    {
        std::lock_guard lock(m_mutex);
        m_modes.clear();
        m_cache.clear();
    }

private:
    std::string modeOf(const std::string &location) const
    {
        const auto it = m_modes.find(location);
        return it == m_modes.end() ? "good" : it->second;
    }
    std::mutex m_mutex;
    std::map<std::string, std::string> m_modes;
    std::map<std::string, Package> m_cache;
};

void servePackagePart(httplib::Response &res, const Package &package, bool archive)
{
    if (package.missing || (archive && package.zip.empty())) {
        sendDetail(res, 404, "Not Found.");
        return;
    }
    if (archive)
        res.set_content(package.zip, "application/zip");
    else
        res.set_content(package.sums, "text/plain");
}

} // namespace

void registerToolRoutes(httplib::Server &server, ServerState &state, bool admin)
{
    static Packages packages;
    state.addResetHook([] { packages.reset(); });
    using Req = const httplib::Request &;
    using Res = httplib::Response &;
    using Body = const std::string &;

    const std::pair<const char *, const char *> locations[] = {
        {"primary", "/tools/ffmpeg/"},
        {"mirror", "/mirror/ffmpeg/"},
    };
    for (const auto &[location, prefix] : locations) {
        const std::string name = location;
        const std::string sums = name == "primary" ? "SHA256SUMS" : "ffmpeg.zip.sha256";
        addRoute(server, state, "GET", std::string(prefix) + "ffmpeg.zip",
                 [name](Req, Res res, Body) { servePackagePart(res, packages.get(name), true); });
        addRoute(server, state, "GET", std::string(prefix) + sums,
                 [name](Req, Res res, Body) { servePackagePart(res, packages.get(name), false); });
    }

    if (!admin)
        return;
    // {"location": "primary" | "mirror", "mode": "good" | "bad-digest" | "no-digest" | "missing" |
    //  "broken" | "nested" | "not-ffmpeg" | "traversal" | "absolute" | "symlink"}
    addRoute(
        server, state, "POST", "/__admin/ffmpeg-package",
        [](Req req, Res res, Body body) {
            const auto object = jsonBody(req, res, body);
            if (!object)
                return;
            const std::string location = object->value(QStringLiteral("location")).toString().toStdString();
            const std::string mode = object->value(QStringLiteral("mode")).toString().toStdString();
            if (location != "primary" && location != "mirror") {
                sendDetail(res, 400, "\"location\" must be \"primary\" or \"mirror\".");
                return;
            }
            packages.setMode(location, mode.empty() ? "good" : mode);
            sendJson(res, 200, QJsonObject{{QStringLiteral("ok"), true}});
        },
        RouteOptions{.admin = true});
}

} // namespace hoplin::server
