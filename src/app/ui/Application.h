#pragma once

#include <QString>

class QSessionManager;

namespace hoplin {

// Creates the application, its one session store and main window, performs the launch sequence
// and runs the event loop.
int runApplication(int argc, char *argv[]);

// Menu commands and launch switches: each shows its one reusable window in front.
void showPreferencesWindow();
void showAboutWindow();
// The release-notes window ("showReleaseNotes" and the About window's button).
void showReleaseNotesWindow();

// "exportLogAt": exports the diagnostics log to `path` off the main thread, then prints
// "EXPORTLOG ok {path}" or "EXPORTLOG failed {path}" on standard output.
void exportLogTo(const QString &path);

// Prints "EXPORTLOG ok {path}" or "EXPORTLOG failed {path}" on standard output, for scripts that
// drive an export.
void printExportResult(bool ok, const QString &path);

// The session manager asks before a logout: refuse while work runs, as the quit guard does.
void guardSessionCommit(QSessionManager &manager);

} // namespace hoplin
