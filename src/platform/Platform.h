#pragma once

#include <QString>

namespace hoplin::platform {

// Per-user data folder of the application ("Hoplin" under the XDG data home).
QString appDataDirectory();
// The user's download folder.
QString downloadsDirectory();

// The folder of the files installed with the application (release notes); empty when there is
// none. Installed: "Contents/Resources" of the bundle; in the build tree: "resources" beside the program.
QString resourceDirectory();

// The platform's own name for itself, as shown in the log's environment line.
QString systemName();
// The operating system's human-readable version text.
QString systemVersion();

// Some user-visible texts name places or products of another platform ("Finder", "Keychain").
// Every such substitution lives in the one table behind this function.
QString localText(const QString &text);

} // namespace hoplin::platform
