#!/usr/bin/env bash
# Takes every screenshot the README shows, from the real app against the local service on a
# virtual display, into docs/. Run it after a visible change: `./scripts/screenshots.sh` takes them
# all, `./scripts/screenshots.sh about preferences` only those.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$("$root/scripts/build.sh" hoplin-desktop hoplin-server | tail -n 1)"
# shellcheck source=/dev/null
. "$dir/programs.env"
docs="$root/docs"
# shellcheck source=scripts/local-service.sh
. "$root/scripts/local-service.sh"
make_workspace hoplin-shots

# A throwaway home and session bus: no setting, key or running copy of the user's is involved.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
bus="$(dbus-daemon --session --fork --print-address=1 --print-pid=1 | tr '\n' ' ')"
export DBUS_SESSION_BUS_ADDRESS="${bus%% *}"
pids+=("$(echo "$bus" | awk '{print $2}')")
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox --disable-gpu"

start_local_service

# Media: short spoken-length tones, two long ones to catch a conversion under way, one broken
# file, and a folder of a thousand.
media="$work/media"
mkdir -p "$media/thousand"
tone() { ffmpeg -v error -f lavfi -i "sine=frequency=$2:duration=$3:sample_rate=${4:-44100}" -af "volume=${5:-0.3}" "$media/$1"; }
# A voice-like swell, so the loudness graph has a shape.
tone podcast-intro.wav 220 40 44100 "'0.3+0.25*sin(2*PI*t/9)*sin(2*PI*t/2.3)':eval=frame"
tone voice-over.wav 330 25
tone room-tone.wav 110 30
tone interview-take-3.wav 440 20
tone mix-stereo-final.wav 262 60
tone mix-5.1-print.wav 196 45
tone long-session.wav 300 1500 22050
tone second-session.wav 350 1500 22050
echo "not audio" >"$media/voice-memo-corrupt.wav"
tone blip.wav 880 0.5
for i in $(seq -w 1 1000); do ln "$media/blip.wav" "$media/thousand/take-$i.wav"; done

screen=""
use_screen() {
  [ "$screen" = "$1" ] && return
  screen="$1"
  start_xvfb "${1}x24" /dev/null
}

# shot NAME WINDOW-TITLE LOG-LINE SETTLE [app arguments…]: starts the app, waits for the log line
# (an extended regular expression) and SETTLE seconds more, saves the window as docs/NAME.png.
app=""
shot() {
  local name="$1" title="$2" ready="$3" settle="$4"
  shift 4
  "$HOPLIN_DESKTOP" -baseURL "$url" -hoplinDiag YES "$@" >"$work/$name.log" 2>&1 &
  app=$!
  for _ in $(seq 1200); do
    grep -qE "$ready" "$work/$name.log" && break
    kill -0 "$app" 2>/dev/null || { echo "$name: the app ended:"; cat "$work/$name.log"; exit 1; }
    sleep 0.1
  done
  grep -qE "$ready" "$work/$name.log" || { echo "$name: no '$ready' within two minutes"; exit 1; }
  sleep "$settle"
  [ -z "${before_capture:-}" ] || "$before_capture"
  local window
  window="$(xdotool search --onlyvisible --name "^$title\$" | tail -n 1)"
  import -window "$window" "$docs/$name.png"
  echo "  docs/$name.png"
  # A running conversion makes the quit guard refuse: ask, then insist.
  kill -TERM "$app"
  for _ in $(seq 30); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$app" 2>/dev/null || true
  wait "$app" || true
}

# The first analysed card's disclosure triangle, where the card column starts; then down to the
# graph at the card's end.
expand_card() {
  local window
  window="$(xdotool search --onlyvisible --name '^Hoplin Desktop$' | tail -n 1)"
  xdotool mousemove --window "$window" 42 287 click 1
  sleep 1
  xdotool mousemove --window "$window" 600 500 click --repeat 40 --delay 30 5
  sleep 1
}

signed_in='\[session\] activated client='
analysed='\[analysis\] job finished'
wanted=" ${*:-all} "
take() { [[ "$wanted" == *" all "* || "$wanted" == *" $1 "* ]]; }

use_screen 1400x900
take main-window && shot main-window "Hoplin Desktop" "$signed_in" 8 -connectKey "$key"
take convert-empty && shot convert-empty "Hoplin Desktop" "$signed_in" 3 -connectKey "$key" -tab convert
take convert-converting && shot convert-converting "Hoplin Desktop" '\[convert\] start preset' 4 -connectKey "$key" -tab convert \
  -autoConvert "$media/long-session.wav,$media/second-session.wav,$media/voice-over.wav"
take convert-finished && shot convert-finished "Hoplin Desktop" '\[convert\] done output=.*room-tone' 2 \
  -connectKey "$key" -tab convert -autoConvert "$media/interview-take-3.wav,$media/voice-memo-corrupt.wav,$media/room-tone.wav"
take convert-queue-1000 && shot convert-queue-1000 "Hoplin Desktop" '\[convert\] start preset' 3 -connectKey "$key" -tab convert \
  -autoConvert "$media/thousand"
take correction && shot correction "Hoplin Desktop" "$signed_in" 12 -connectKey "$key" \
  -simulateDrop "$media/podcast-intro.wav,$media/voice-over.wav,$media/room-tone.wav"
take cinema && shot cinema "Hoplin Desktop" "$signed_in" 12 -connectKey "$key" -tab cinema \
  -simulateDrop "$media/mix-stereo-final.wav,$media/mix-5.1-print.wav"
take analysis && shot analysis "Hoplin Desktop" "$analysed" 2 -connectKey "$key" -tab audioanalysis \
  -autoAnalyze "$media/podcast-intro.wav"
take analysis-graph && before_capture=expand_card shot analysis-graph "Hoplin Desktop" "$analysed" 2 -connectKey "$key" \
  -tab audioanalysis -autoAnalyze "$media/podcast-intro.wav"
take preferences && shot preferences "Hoplin Desktop Settings" '\[app\] show Preferences' 3 -showPreferences YES
take about && shot about "About Hoplin Desktop" '\[app\] show About' 2 -showAbout YES
use_screen 1024x768
take main-window-1024 && shot main-window-1024 "Hoplin Desktop" "$signed_in" 8 -connectKey "$key"
echo "Screenshots written to docs/."
