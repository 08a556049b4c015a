#!/usr/bin/env bash
# The production window on an emulated site, from a fresh Debian 12 machine:
# installs what the program needs, builds, prepares a working folder with an
# 8-slot emulated site of drives that finished their RDT run (slots 3 and 6
# carry faults, so both endings show), sample parameter files and the firmware
# images, and starts the window at the MP station. Without a display (or with
# --headless) it runs under Xvfb, presses Start, waits for the pass and saves a
# screenshot in the working folder.
#
#   bash tools/run-demo.sh [--headless] [--reset] [working folder, default build/demo]
#
# The folder is made by this script and marked as its own (.kxmp-demo); a
# folder that is not empty and carries no mark is refused, and nothing is ever
# deleted. A marked folder keeps its Emulator.ini, settings and logs; --reset
# writes the demo's own files over them again.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
HEADLESS=0
RESET=0
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) HEADLESS=1; shift ;;
    --reset) RESET=1; shift ;;
    -*) echo "run-demo: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
WORK=${1:-$ROOT/build/demo}
MARK=.kxmp-demo
[ -z "${DISPLAY:-}" ] && HEADLESS=1

if [ -e "$WORK" ] && [ ! -d "$WORK" ]; then
  echo "run-demo: $WORK is not a folder" >&2
  exit 1
fi
if [ -d "$WORK" ] && [ ! -f "$WORK/$MARK" ] && [ -n "$(ls -A "$WORK")" ]; then
  echo "run-demo: $WORK is not empty and is no demo folder (no $MARK in it): give an empty or new folder" >&2
  exit 1
fi

bash "$ROOT/tools/setup.sh" --program
cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DKXMP_BENCH=OFF >/dev/null
cmake --build "$ROOT/build" -j "$(nproc)" --target kxmp kxmp_demo kx_getdev_GetDev kx_getdev_GetDevSata

FRESH=$RESET
[ -f "$WORK/$MARK" ] || FRESH=1
mkdir -p "$WORK/Configuration/System" "$WORK/drives/C" "$WORK/drives/D"
touch "$WORK/$MARK"
WORK=$(cd "$WORK" && pwd)
cp "$ROOT/build/getdev/libGetDev.so" "$ROOT/build/getdev/libGetDevSata.so" "$WORK/Configuration/System/"

# The demo's settings, Emulator.ini, parameter files and firmware; a marked
# folder keeps the ones it has unless --reset.
if [ "$FRESH" = 1 ]; then KEEP=; else KEEP=--keep; fi
(cd "$WORK" && "$ROOT/build/tools/kxmp_demo" files $KEEP)

echo "run-demo: working folder $WORK"
cd "$WORK"
if [ "$HEADLESS" = 1 ]; then
  NO_AT_BRIDGE=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$ROOT/build/tools/kxmp_demo" run "$WORK/kxmp-demo.png"
else
  exec "$ROOT/build/app/kxmp"
fi
