#!/usr/bin/env bash
# Runs the end-to-end tests against the Windows executable under wine: the same tests as for the
# native program, with wine as the launcher and Windows paths and exit statuses.
#
#   tests/run_windows_e2e.sh [NATIVE-BUILD-DIR [WINDOWS-BUILD-DIR]]   (default: build, build-win)
#
# NATIVE-BUILD-DIR holds the built kestrox_tests; the Windows executable is cross-compiled into
# WINDOWS-BUILD-DIR when it is not there yet, and the wine prefix lives there too.
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
windows=${2:-build-win}

tests="$native/tests/kestrox_tests"
if [ ! -x "$tests" ]; then
  echo "run_windows_e2e: no $tests: build the tests first" >&2
  exit 1
fi

if [ ! -f "$windows/Kestrox.exe" ]; then
  cmake -S . -B "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DKESTROX_BUILD_TESTS=OFF -DKESTROX_WERROR=ON >/dev/null
  cmake --build "$windows" -j2
fi

find_tool() {
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
    if command -v "$candidate" >/dev/null; then command -v "$candidate"; return 0; fi
  done
  echo "run_windows_e2e: none of $* found (Debian: apt-get install wine64)" >&2
  return 1
}
wine=$(find_tool /usr/lib/wine/wine64 wine64 wine)
wineserver=$(find_tool /usr/lib/wine/wineserver64 wineserver64 wineserver)

WINEPREFIX="$(cd "$windows" && pwd)/wineprefix"
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installer prompts, no menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# One wine server for the whole run, stopped at the end with everything it started. Each wine
# process would otherwise start its own and keep the test's output pipes open while it lingers.
mkdir -p "$WINEPREFIX"
"$wineserver" -k >/dev/null 2>&1 || true
if ! "$wineserver" -p </dev/null >"$windows/wineserver.log" 2>&1; then
  cat "$windows/wineserver.log" >&2
  exit 1
fi
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
# Create or update the prefix and start wine's own services now, with nothing of a test's
# inherited by them (the first start in a fresh prefix takes a few seconds).
started=$(date +%s)
"$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
echo "run_windows_e2e: wine prefix ready in $(($(date +%s) - started)) s: $WINEPREFIX"

KESTROX_E2E_BINARY="$(cd "$windows" && pwd)/Kestrox.exe" \
  KESTROX_E2E_LAUNCHER="$wine" \
  KESTROX_E2E_STYLE=windows \
  "$tests" --gtest_filter='EndToEnd*' --gtest_brief=1
