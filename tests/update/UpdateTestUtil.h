#pragma once

#include "TestSupport.h"
#include "update/Manifest.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace hoplin::test {

// Adds the tests' throwaway certificate authority to this process's default TLS configuration;
// nothing outside the test process trusts it.
void trustTestAuthority();
QString testKeyPath(const QString &name);
// The public half of the tests' manifest signing key, as 64 hexadecimal digits.
QString signingPublicKeyHex();

// hoplin-server over HTTPS with the test certificate, publishing `image` as release 1.2.23 (26).
bool startUpdateServer(LocalServer &server, const QString &image, QStringList extra = {});
// The same for a test process: trusts the authority, logs diagnostics, writes `imageBytes` as the
// image and points the manifest setting at the server.
bool startUpdateService(LocalServer &server, const QByteArray &imageBytes);
// An update description as the service publishes it.
QByteArray manifestJson(const QString &version, int build, const QString &dmg,
                        const QString &sha256 = QString(64, QLatin1Char('a')));
// What the server answers for latest.json and latest.json.sig; none: its own answer.
void setServedManifest(LocalServer &server, std::optional<QByteArray> manifest,
                       std::optional<QByteArray> signature = std::nullopt);

// "<parent>/Hoplin Desktop.app" with an Info.plist of `info` (string values) and an executable.
QString makeBundle(const QString &parent, const QVariantMap &info, const QByteArray &executable = "#!/bin/sh\n");
QVariantMap bundleInfo(const QString &version, const QString &build);
// Packs everything inside `root` into a gzip tar at `imagePath`; false when tar failed.
bool packImage(const QString &root, const QString &imagePath);

} // namespace hoplin::test
