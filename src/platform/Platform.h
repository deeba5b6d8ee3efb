#pragma once

#include <QString>

namespace hoplin::platform {

// Per-user data folder of the application ("Hoplin" under the XDG data home).
QString appDataDirectory();
// Where updates are staged and their install log kept: "Updates" in the data folder.
QString updatesDirectory();
// The user's download folder.
QString downloadsDirectory();

// The folder of the files installed with the application (release notes); empty when there is
// none. Installed: "Contents/Resources" of the bundle; in the build tree: "resources" beside the program.
QString resourceDirectory();

// Whether the system's package manager installed the program at `executable`: dpkg's list of the
// "hoplin-desktop" package (in `dpkgInfo`) names it, or it lives under /usr in a folder this user
// cannot write. A copy unpacked into a folder the user owns is not.
bool installedByPackageManager(const QString &executable,
                               const QString &dpkgInfo = QStringLiteral("/var/lib/dpkg/info"));
// Bytes free for this user in the file system holding `folder`; -1 when unknown.
qint64 availableBytes(const QString &folder);

// The platform's own name for itself, as shown in the log's environment line.
QString systemName();
// The operating system's human-readable version text.
QString systemVersion();

// Some user-visible texts name places or products of another platform ("Finder", "Keychain").
// Every such substitution lives in the one table behind this function.
QString localText(const QString &text);

} // namespace hoplin::platform
