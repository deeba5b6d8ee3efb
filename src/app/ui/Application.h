#pragma once

#include <QString>

class QSessionManager;

namespace hoplin {

// Creates the application, its one session store and main window, performs the launch sequence
// and runs the event loop.
int runApplication(int argc, char *argv[]);

// Menu commands and launch switches of the Preferences and About windows. Those windows do not
// exist yet: until they do, these only write a log line.
void showPreferencesWindow();
void showAboutWindow();
void showReleaseNotesWindow();

// "exportLogAt": exports the diagnostics log to `path` off the main thread, then prints
// "EXPORTLOG ok {path}" or "EXPORTLOG failed {path}" on standard output.
void exportLogTo(const QString &path);

// The session manager asks before a logout: refuse while work runs, as the quit guard does.
void guardSessionCommit(QSessionManager &manager);

} // namespace hoplin
