#pragma once

#include <QString>

namespace hoplin {

// The bash script that finishes an update once the application has quit: it waits for the old
// process, removes the staging folder and itself, and starts the new version from its bundle.
// Arguments: new app path, app name, parent PID, staging dir, log file.
QString installHelperScript();

} // namespace hoplin
