#!/usr/bin/env bash
# The production window on an emulated site, from a fresh Debian 12 machine:
# installs what is needed, builds, prepares a working folder with an 8-slot
# emulated site of drives that finished their RDT run (slots 3 and 6 carry
# faults, so both endings show), sample parameter files and the MP firmware
# image, and starts the window at the MP station. Without a display (or with
# --headless) it runs under Xvfb, presses Start, waits for the pass and saves a
# screenshot in the working folder.
#
#   bash tools/run-demo.sh [--headless] [working folder, default build/demo]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
HEADLESS=0
if [ "${1:-}" = "--headless" ]; then HEADLESS=1; shift; fi
WORK=${1:-$ROOT/build/demo}
[ -z "${DISPLAY:-}" ] && HEADLESS=1

bash "$ROOT/tools/setup.sh"
cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DKXMP_BENCH=OFF >/dev/null
cmake --build "$ROOT/build" -j "$(nproc)" --target kxmp kxmp_demo kx_getdev_GetDev kx_getdev_GetDevSata

rm -rf "$WORK"
mkdir -p "$WORK/Configuration/System" "$WORK/drives/C" "$WORK/drives/D"
WORK=$(cd "$WORK" && pwd)
cp "$ROOT/build/getdev/libGetDev.so" "$ROOT/build/getdev/libGetDevSata.so" "$WORK/Configuration/System/"

# INI files as the program writes them: CR LF line ends.
ini() { sed 's/$/\r/' > "$1"; }
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
; RDT run and still runs the RDT firmware.
[Site]
Mode = bridge
Slots = 8
[Drive]
Code = rdt
RdtDone = 1
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
(cd "$WORK" && "$ROOT/build/tools/kxmp_demo" files)

echo "run-demo: working folder $WORK"
if [ "$HEADLESS" = 1 ]; then
  cd "$WORK"
  NO_AT_BRIDGE=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$ROOT/build/tools/kxmp_demo" run "$WORK/kxmp-demo.png"
else
  cd "$WORK"
  exec "$ROOT/build/app/kxmp"
fi
