#pragma once

#include <QString>

namespace hoplin {

struct ExtractLimits {
    qint64 maxEntries = 10000;
    qint64 maxBytes = qint64(2) * 1024 * 1024 * 1024; // what is written, not what the archive claims
};

struct ExtractResult {
    bool ok = false;
    QString error; // why it was refused, for the log; users see the caller's own text
};

// Unpacks a ZIP (or gzip/xz tar) archive into `destination`, which must exist. Refuses, before
// writing anything outside `destination`: absolute paths, "..", hard links, devices, FIFOs,
// sockets, and symbolic links whose target leaves the folder; caps entries and bytes. Never keeps
// owners, ACLs or extended attributes. Blocking: run it off the GUI thread.
ExtractResult extractArchive(const QString &archivePath, const QString &destination, const ExtractLimits &limits = {});

} // namespace hoplin
