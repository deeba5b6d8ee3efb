#pragma once

// What the check, the download and the installation of UpdateManager share; not for other callers.
#include "Version.h"

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

namespace hoplin::update {

inline constexpr auto kBundleName = "Hoplin Desktop.app";
inline constexpr auto kBundleIdentifier = "com.hoplin.desktop";
inline constexpr qsizetype kWriteChunk = 0x40000;   // the image reaches the disk in 256 KiB writes
inline constexpr int kRequestTimeoutMs = 60 * 1000; // manifest and image alike

void log(const QString &message);
QString freshUuid();
Version installedVersion();
QNetworkRequest updateRequest(const QUrl &url);
QString systemError();
// "{temp}/hoplin-update-{uuid}": the journal's name for a downloaded image and its ".dmg" file.
QString newImageBase();
QString imagePathOf(const QString &base);
// Deletes a downloaded image with its journal line; any other path is left alone.
void discardImage(const QString &path);

} // namespace hoplin::update
