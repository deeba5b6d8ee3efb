#pragma once

#include <QString>

namespace hoplin::platform {

// Per-user data folder of the application ("Hoplin" under the XDG data home).
QString appDataDirectory();
// The user's download folder.
QString downloadsDirectory();

// The platform's own name for itself, as shown in the log's environment line.
QString systemName();
// The operating system's human-readable version text.
QString systemVersion();

// Some user-visible texts name places or products of another platform ("Finder", "Keychain").
// Every such substitution lives in the one table behind this function.
QString localText(const QString &text);

} // namespace hoplin::platform
