#include "InstallHelper.h"

namespace hoplin {

QString installHelperScript()
{
    // "open" starts the bundle's own launcher in a new session, so it outlives this script.
    return QStringLiteral(R"SCRIPT(#!/bin/bash
# $1 new app path, $2 app name, $3 parent PID, $4 staging dir, $5 log file
set -u
APP="$1"
NAME="$2"
PARENT="$3"
STAGING="$4"
LOG="$5"
exec >>"$LOG" 2>&1
open() { setsid "$1/Contents/MacOS/hoplin-desktop" </dev/null >/dev/null 2>&1 & }
echo "install helper: waiting for PID $PARENT to exit"
for ((i = 0; i < 240; i++)); do
  kill -0 "$PARENT" 2>/dev/null || break
  sleep 0.25
done
rm -rf "$STAGING" 2>/dev/null
rm -f "$0" 2>/dev/null
if kill -0 "$PARENT" 2>/dev/null; then
  echo "install helper: parent did not exit — aborting relaunch (app is installed)"
  exit 2
fi
sleep 1
open "$APP"
echo "install helper: relaunched $APP"
)SCRIPT");
}

} // namespace hoplin
