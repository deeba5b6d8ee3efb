#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

namespace hoplin {

// The update description published beside the service ("latest.json").
struct Manifest {
    QString version;                 // marketing version of the release, e.g. "1.2.23"
    int build = 0;                   // its build number
    QString dmg;                     // HTTPS address of the update image
    QString sha256;                  // digest of the image, 64 hexadecimal digits, either case
    std::optional<QString> notes;    // release notes for the update sheet
    std::optional<QString> minMacos; // lowest operating-system version the release runs on

    // Decodes the document; snake_case keys match their camelCase fields ("min_macos" fills
    // minMacos), unknown keys are ignored. Throws Error when a required key is missing or any
    // known key has the wrong JSON type.
    static Manifest decode(const QByteArray &json);

    bool operator==(const Manifest &) const = default;
};

// The service's two fixed host names: its own and its www subdomain.
QStringList serviceHostNames();

// Whether an image address may be downloaded: lower-case "https" with a host that is the
// manifest's own host or one of the service's fixed host names.
bool isAllowedDownloadURL(const QUrl &candidate, const QUrl &manifestURL);
// The same for the address as the manifest writes it, so an upper-case "HTTPS:" is refused too.
bool isAllowedDownloadURL(const QString &candidate, const QUrl &manifestURL);

// A usable version and build, a 64-digit hexadecimal digest and an allowed image address.
bool isManifestWellFormed(const Manifest &manifest, const QUrl &manifestURL);

// An Ed25519 signature (Base64 text) over the manifest bytes, checked against a public key given
// as 64 hexadecimal digits. False for any malformed key or signature.
bool verifyManifestSignature(const QByteArray &manifestBytes, const QByteArray &signatureBase64,
                             const QString &publicKeyHex);

} // namespace hoplin
