#!/usr/bin/env bash
# The layering rules the build alone cannot see:
#  - src/app is the roof: no file outside it includes app/;
#  - only ui/ folders include Qt's GUI, widget or web-engine headers (the core library stays headless).
# Prints every offending include and exits 1 when there is one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
qt="${QT_INCLUDE_DIR:-/usr/include/x86_64-linux-gnu/qt6}"
status=0

if grep -rn '#include "app/' "$root/src" | grep -v "^$root/src/app/"; then
  echo "layers: the files above include app/ from outside it"
  status=1
fi

# Every public header name of the GUI-side modules, e.g. QWidget, QPainter, QWebEngineView.
names="$(for m in QtGui QtWidgets QtWebEngineWidgets QtWebEngineCore QtWebChannel QtDBus; do
  [ -d "$qt/$m" ] && ls "$qt/$m"; done | grep -E '^Q[A-Za-z0-9]+$' | sort -u)"
[ -n "$names" ] || { echo "layers: no Qt headers found under $qt"; exit 1; }
pattern="#include <((QtGui|QtWidgets|QtWebEngineWidgets|QtWebEngineCore|QtWebChannel|QtDBus)/)?($(echo $names | tr ' ' '|'))>"
hits="$(find "$root/src" -name '*.h' -o -name '*.cpp' | grep -v '/ui/' | xargs grep -nE "$pattern" || true)"
if [ -n "$hits" ]; then
  echo "$hits"
  echo "layers: the files above are outside a ui/ folder but include GUI headers"
  status=1
fi
[ "$status" -eq 0 ] && echo "layers: ok"
exit "$status"
