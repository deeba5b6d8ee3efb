#!/usr/bin/env bash
# Mutation pass: plants one small, plausible mistake at a time in the product code, rebuilds, runs
# the tests and records whether any test noticed. The list is scripts/mutations.txt.
#
#   scripts/mutate.sh [-o results.tsv] [--check] [N…]
#
# N picks mutants by their number (1 = first mutation line); none means all. --check only verifies
# that every original snippet still occurs exactly once in its file and every suite named exists.
#
# Each mutant runs only the suites its line names (the ones that cover the mutated file), not the
# whole suite: a whole-suite run costs about five minutes on the shared two-core machine, so a full
# pass would take hours. Name every suite that exercises a file, or a survivor may be an artefact.
#
# The mutated file is always put back, also on Ctrl+C or a failed build; a copy of the original
# waits in build/mutation-backup until then, and a later run restores it first if a pass was killed.
# At the end the suites it built are rebuilt from the restored sources.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
list="$root/scripts/mutations.txt"
out="$root/build/mutation-results.tsv"
check=0
picked=()
while [ $# -gt 0 ]; do
  case "$1" in
    -o) out="$2"; shift 2 ;;
    --check) check=1; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) picked+=("$1"); shift ;;
  esac
done

backupDir="$root/build/mutation-backup"
mkdir -p "$backupDir"

# Puts back a file a killed run left mutated.
restore() {
  if [ -f "$backupDir/path" ]; then
    cp "$backupDir/original" "$root/$(cat "$backupDir/path")"
    rm -f "$backupDir/path" "$backupDir/original"
  fi
}
restore
trap restore EXIT
trap 'restore; exit 130' INT TERM

# A line is "file ||| original ||| replacement ||| suites"; "{NL}" inside a snippet stands for a line
# break (a plain "\n" is code's own escape and is matched as written).
# Prints the mutated text of $1 on stdout, or fails when the snippet is not there exactly once.
apply() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, original, replacement = sys.argv[1:4]
unescape = lambda s: s.replace('{NL}', '\n')
original, replacement = unescape(original), unescape(replacement)
text = open(path, encoding='utf-8').read()
count = text.count(original)
if count != 1:
    sys.stderr.write(f"{path}: snippet found {count} times: {original!r}\n")
    sys.exit(1)
sys.stdout.write(text.replace(original, replacement))
EOF
}

mapfile -t lines < <(grep -v '^\s*#' "$list" | grep -v '^\s*$')
[ "$check" = 1 ] || { "$root/scripts/build.sh" -j2 >/dev/null; printf 'n\tresult\tfile\tsuites\n' > "$out"; }

caught=0 survived=0 broken=0 stale=0 missing=0
built=()
for i in "${!lines[@]}"; do
  n=$((i + 1))
  if [ ${#picked[@]} -gt 0 ] && ! printf '%s\n' "${picked[@]}" | grep -qx "$n"; then
    continue
  fi
  rest="${lines[$i]}"
  file="${rest%% ||| *}"; rest="${rest#* ||| }"
  original="${rest%% ||| *}"; rest="${rest#* ||| }"
  replacement="${rest%% ||| *}"; suites="${rest#* ||| }"
  # A suite that was renamed or dropped would leave the mutant untested.
  for s in $suites; do
    grep -rqsE "hoplin_[a-z_]*test\\($s([[:space:]]|\\)|$)" "$root/tests" --include=CMakeLists.txt ||
      { echo "mutant $n: no suite $s" >&2; missing=$((missing + 1)); }
  done
  if ! mutated="$(apply "$root/$file" "$original" "$replacement")"; then
    stale=$((stale + 1))
    [ "$check" = 1 ] || printf '%s\tstale\t%s\t%s\n' "$n" "$file" "$suites" >> "$out"
    continue
  fi
  [ "$check" = 1 ] && continue

  cp "$root/$file" "$backupDir/original"
  printf '%s' "$file" > "$backupDir/path"
  printf '%s\n' "$mutated" > "$root/$file"
  # The command substitution dropped the final newline; put back exactly what the file had.
  [ -n "$(tail -c1 "$backupDir/original")" ] && truncate -s -1 "$root/$file"

  targets=()
  pattern=""
  for s in $suites; do
    targets+=("tst_$s")
    pattern+="${pattern:+|}$s"
  done
  built+=("${targets[@]}")
  result=survived
  if ! "$root/scripts/build.sh" -j2 "${targets[@]}" >/dev/null 2>"$root/build/mutation-build.log"; then
    result=build-error
  else
    # The suites run as scripts/test.sh runs them: own D-Bus session, unlocked keyring, throwaway home.
    home="$(mktemp -d -t hoplin-mutant-XXXXXX)"
    HOPLIN_TEST_DIR="$root/build" HOME="$home" dbus-run-session -- bash -c '
      printf %s "hoplin-test" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 || true
      cd "$HOPLIN_TEST_DIR" && ctest --timeout 240 -R "^($1)\$" >/dev/null 2>&1' bash "$pattern" || result=caught
    rm -rf "$home"
  fi
  restore
  case "$result" in
    caught) caught=$((caught + 1)) ;;
    survived) survived=$((survived + 1)) ;;
    *) broken=$((broken + 1)) ;;
  esac
  printf '%s\t%s\t%s\t%s\n' "$n" "$result" "$file" "$suites" | tee -a "$out"
done

if [ "$check" = 1 ]; then
  echo "${#lines[@]} mutations, $stale stale, $missing unknown suites"
  [ "$stale" = 0 ] && [ "$missing" = 0 ]
  exit
fi
# The source is back, but the binaries still hold the last mutant: rebuild them, so a test run
# straight after a pass tests the real code.
if [ ${#built[@]} -gt 0 ]; then
  restore
  "$root/scripts/build.sh" -j2 $(printf '%s\n' "${built[@]}" | sort -u) >/dev/null
fi
echo "caught $caught of $((caught + survived)) (build errors $broken, stale $stale); details in $out"
