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

# INI files as the program writes them: CR LF line ends. A marked folder keeps
# the ones it has unless --reset.
ini() {
  if [ "$FRESH" = 1 ] || [ ! -f "$1" ]; then sed 's/$/\r/' > "$1"; else cat > /dev/null; fi
}
ini "$WORK/Configuration/System/MPToolSetting.ini" <<'INI'
[General Info]
TestStation=MP
IniFilePath=FT_B0KB_S2_C2_.ini
SlotNumber=8
PortType=0
KX_U2A=1
BuildVersion=V2.0a
Language=1
[OP Setting]
SetUIPage=0x35
PopoutNotice=1
INI
ini "$WORK/Configuration/System/ENG.ini" <<'INI'
[CPropertyPage_KXMP]
IDC_BTN_START=Start
IDC_BTN_SCAN=Scan
IDC_STATIC_TIME=Time
IDC_STATIC_TOTAL=Total
IDC_STATIC_GOOD=Good
IDC_STATIC_BAD=Bad
INI
ini "$WORK/Configuration/System/Emulator.ini" <<'INI'
; Eight USB bridges, each with a 1 GB (IDEMA) KX7410 drive that finished its
; RDT run and still runs the RDT firmware; the MP firmware is in its flash.
[Site]
Mode = bridge
Slots = 8
[Drive]
Code = rdt
RdtDone = 1
FlashCodeFile = .\FW\MP\QVF10001.code
CapacitySectors = 1974672
BlocksPerPlane = 64
DramMb = 4
FuseWord2 = 0x45123456
FuseWord3 = 0x15
EraseMs = 200
; Slot 3 refuses the vendor access key; slot 6 has more bad blocks in one
; plane than MP accepts.
[Slot.3]
KeyRefused = -1
[Slot.6]
FactoryBadBlocks = 2:0:0:1, 2:0:0:2, 2:0:0:3, 2:0:0:4
INI
ini "$WORK/param.ini" <<'INI'
[General Info]
WorkingNo=DEMO01
[Options]
DDRSize=4
Set Firmware Name=QVF10001
SetSSDSize=1
INI
ini "$WORK/paramFDB.ini" <<'INI'
[Flash Info]
Flh_ID=2c 84 64 3c a5 08 04
Flh_Number=8
Flh_MPBinType=7312
[Options]
SetSSDSize=1
INI
if [ "$FRESH" = 1 ]; then (cd "$WORK" && "$ROOT/build/tools/kxmp_demo" files); fi

echo "run-demo: working folder $WORK"
cd "$WORK"
if [ "$HEADLESS" = 1 ]; then
  NO_AT_BRIDGE=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$ROOT/build/tools/kxmp_demo" run "$WORK/kxmp-demo.png"
else
  exec "$ROOT/build/app/kxmp"
fi
