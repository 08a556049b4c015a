#!/usr/bin/env bash
# SIGTERM, SIGINT and SIGHUP end the program and the headless demo cleanly,
# run under a display: sent during a pass and again while it ends, the pass
# finishes, its records are whole, AutoMapping.ini is removed and the exit
# status is 0; sent while the window system starts or while a box is up (after
# a pass, at start-up or at Start), any box is taken down (its text told on
# standard error), no pass or box starts after it and the program ends. MP repeating its pass for
# [RD Debug] TestInFinity ends too; a SIGHUP the program was started to ignore
# (nohup) stays ignored; the demo stopped during its first of two stations
# ends with status 0 and puts back the station it found. A close of the
# window ends the endless MP pass and the ports' waits for a lock too, and no
# box comes after it. A script holding the log folder holds up the exit of a
# stopped eight-port pass only once, and the pass its totals could not count
# is named on standard error, after a signal as after a close; the window manager's close while Start
# waits for that folder is taken at once, and no pass starts after it. A site the headless demo cannot use ends
# it with the box's text on standard error instead of a wait, and a box at
# Start ends it before any pass, as a signal there does.
#   SignalTest.sh <kxmp with Start pressed> <kxmp_demo> <libGetDev.so>
set -uo pipefail
STARTED=$1
DEMO=$2
GETDEV=$3
DIR=$(mktemp -d)
PID=
ERR=
trap '[ -n "$PID" ] && kill -KILL "$PID" 2>/dev/null; rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; [ -n "$ERR" ] && sed 's/^/  stderr: /' "$ERR" >&2; exit 1; }

# The demo's site at the RDT result station with two drives: a pass of a few seconds.
site() {
  SITE=$DIR/$1
  ERR=
  mkdir -p "$SITE/Configuration/System" "$SITE/drives/C" "$SITE/drives/D"
  cp "$GETDEV" "$SITE/Configuration/System/libGetDev.so"
  (cd "$SITE" && "$DEMO" files) || fail "the demo's site was not written"
  sed -i '/^; Slot 3/,$d; s/^Slots = 8/Slots = 2/' "$SITE/Configuration/System/Emulator.ini"
  sed -i 's/^TestStation=MP/TestStation=RDTResult/' "$SITE/Configuration/System/MPToolSetting.ini"
}

# Output files of the next program's own, empty before it starts: the child
# opens them only when it gets to run, and until then a wait must find nothing
# rather than an earlier program's lines.
STARTS=0
fresh() {
  STARTS=$((STARTS + 1))
  OUT=$DIR/out.$STARTS
  ERR=$DIR/err.$STARTS
  : >"$OUT"
  : >"$ERR"
  HEARD=
}
# Starts a program in the site; its output in $OUT and $ERR.
start() {
  fresh
  (cd "$SITE" && exec "$@") >>"$OUT" 2>>"$ERR" &
  PID=$!
}
# Waits (at most 20 s) for a line of the program's output.
await() {
  for _ in $(seq 200); do
    grep -q "$1" "$OUT" && HEARD=1 && return 0
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
  done
  fail "$CASE: no \"$1\" in the output: $(cat "$OUT")"
}
# Sends the program a signal. $PID is a subshell until the child has exec'd
# the program, so only a program heard from (its own line awaited) is signalled.
send() {
  [ -n "$HEARD" ] || fail "$CASE: SIG$1 before the program said it runs"
  kill -"$1" "$PID"
}
# The program's exit status, once it has ended (at most 30 s).
ended() {
  for _ in $(seq 300); do
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$PID" 2>/dev/null && fail "$CASE: still running 30 s after the signal or close"
  wait "$PID"
  STATUS=$?
  PID=
}
# The pass of both drives on record and the mapping file tidied.
whole() {
  [ -e "$SITE/drives/C/MP_SSD_NODE/AutoMapping.ini" ] && fail "$CASE: AutoMapping.ini left behind"
  local total=("$SITE"/DEMO01_*/Total_Debug.log) list=("$SITE"/DEMO01_*/WO_DEMO01_*.txt)
  [ "$(tr -d '\r' <"${total[0]}" | grep -E '^(Total|Good|Bad)=' | tr '\n' ' ')" = "Total=2 Good=2 Bad=0 " ] ||
    fail "$CASE: the Total log's counts: $(cat "${total[0]}")"
  [ "$(tr -d '\r' <"${list[0]}" | grep -c ',Pass$')" = 2 ] || fail "$CASE: the result list: $(cat "${list[0]}")"
}

# Once the program says it has started its pass: the signal, and again while the pass ends.
twice() {
  await "$1"
  sleep 0.3
  send "$2"
  sleep 0.3
  send "$2"
  ended
  [ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
}

for signal in TERM INT HUP; do
  CASE="kxmp, SIG$signal during the pass and again"
  site "kxmp-$signal"
  start "$STARTED"
  twice "run started" "$signal"
  whole

  CASE="kxmp_demo run, SIG$signal during the pass and again"
  site "demo-$signal"
  start "$DEMO" run "$SITE/shot.png"
  twice "pass started" "$signal"
  grep -q "kxmp_demo: the pass ended; Total 2, Good 2, Bad 0" "$OUT" || fail "$CASE: result line: $(cat "$OUT")"
  [ -e "$SITE/shot.png" ] && fail "$CASE: a screenshot of a closed window"
  whole
done

CASE="kxmp, SIGTERM while the Next Station box is up"
site box
start "$STARTED"
await "box open"
send TERM
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
whole
# The box taken down keeps its text on standard error (drawn or not yet, as the signal came).
grep -q "^\[kxmp\] Next Station: MP (\(taken down\|not shown\): the program ends)" "$ERR" ||
  fail "$CASE: the box taken down is not on stderr"

# No pass ran and the mapping file is tidied.
nopass() {
  [ -e "$SITE/drives/C/MP_SSD_NODE/AutoMapping.ini" ] && fail "$CASE: AutoMapping.ini left behind"
  grep -q "pass started\|run started" "$OUT" && fail "$CASE: a pass started: $(cat "$OUT")"
  cat "$SITE"/DEMO01_*/WO_DEMO01_*.txt 2>/dev/null | grep -q ',Pass' && fail "$CASE: a pass is on record"
  return 0
}

CASE="kxmp, SIGTERM before the window system has started, a start-up warning due"
site early
sed -i 's/^SlotNumber=8/SlotNumber=12/' "$SITE/Configuration/System/MPToolSetting.ini"
start "$STARTED" --signalled
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
grep -q "box open" "$OUT" && fail "$CASE: a box was shown"
grep -q "SlotNumber 12" "$ERR" || fail "$CASE: the warning is not on stderr"
nopass

CASE="kxmp, SIGTERM while a start-up box is up"
site startup-box
sed -i 's/^SlotNumber=8/SlotNumber=12/' "$SITE/Configuration/System/MPToolSetting.ini"
start "$STARTED"
await "box open"
send TERM
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
nopass

CASE="kxmp, SIGTERM while the station warning at Start is up"
site start-box
start "$STARTED" MPP
await "box open"
send TERM
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
grep -q "run refused" "$OUT" || fail "$CASE: Start was not refused: $(cat "$OUT")"
nopass

CASE="kxmp started with SIGHUP ignored (nohup), SIGHUP while the Next Station box is up"
site nohup
start nohup "$STARTED"
await "box open"
send HUP
sleep 1
kill -0 "$PID" 2>/dev/null || fail "$CASE: ended on the SIGHUP"
send TERM
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
whole

CASE="kxmp at MP repeating its pass ([RD Debug] TestInFinity = 1), SIGTERM"
site infinity
sed -i 's/^TestStation=RDTResult/TestStation=MP/' "$SITE/Configuration/System/MPToolSetting.ini"
printf '[RD Debug]\r\nTestInFinity=1\r\n' >>"$SITE/param.ini"
start "$STARTED"
await "run started"
sleep 1
send TERM
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
[ -e "$SITE/drives/C/MP_SSD_NODE/AutoMapping.ini" ] && fail "$CASE: AutoMapping.ini left behind"

# The pass's totals that the held log folder refused, told as a box that is
# not shown: its text (a line for each log) on standard error.
uncounted() {
  local log
  grep -q "^\[kxmp\] The pass is not counted in " "$ERR" || fail "$CASE: no box's text of the uncounted pass"
  for log in Total_Debug.log _Summary.log; do
    grep -q "The pass is not counted in .*DEMO01_[^ ]*.$log: OS error " "$ERR" ||
      fail "$CASE: the pass not counted in $log is not on stderr"
  done
  grep -q "(not shown: the program ends)" "$ERR" || fail "$CASE: the box's text not marked as not shown"
}

CASE="kxmp at eight ports, SIGTERM while a script holds the log folder"
site script-lock
sed -i 's/^Slots = 2/Slots = 8/' "$SITE/Configuration/System/Emulator.ini"
start "$STARTED"
await "run started"
LOGS=("$SITE"/DEMO01_*)
exec {HOLDER}<"${LOGS[0]}"
flock "$HOLDER" || fail "$CASE: the log folder cannot be locked"
SIGNALLED=$(date +%s%N)
send TERM
ended
TOOK=$((($(date +%s%N) - SIGNALLED) / 1000000))
exec {HOLDER}<&-
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
# About 4 s (a second given up once); 25 s when each record waited its own second.
[ "$TOOK" -lt 12000 ] || fail "$CASE: ended $TOOK ms after the signal"
for port in 1 2 3 4 5 6 7 8; do
  grep -q "^Port-$port: .*WO_DEMO01_.* not written" "$ERR" || fail "$CASE: port $port's refused record not named"
done
uncounted

CASE="kxmp at MP repeating its pass ([RD Debug] TestInFinity = 1), its window closed"
site infinity-close
sed -i 's/^TestStation=RDTResult/TestStation=MP/' "$SITE/Configuration/System/MPToolSetting.ini"
printf '[RD Debug]\r\nTestInFinity=1\r\n' >>"$SITE/param.ini"
start "$STARTED" --close-after 1000
await "run started"
ended
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
grep -q "box open" "$OUT" && fail "$CASE: a box was shown after the close"
[ -e "$SITE/drives/C/MP_SSD_NODE/AutoMapping.ini" ] && fail "$CASE: AutoMapping.ini left behind"

CASE="kxmp, its window closed while the ports wait for the log folder a script holds"
site close-lock
start "$STARTED" --close-after 3000
await "run started"
LOGS=("$SITE"/DEMO01_*)
exec {HOLDER}<"${LOGS[0]}"
flock "$HOLDER" || fail "$CASE: the log folder cannot be locked"
ended
exec {HOLDER}<&-
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
grep -q "box open" "$OUT" && fail "$CASE: a box was shown after the close"
for port in 1 2; do
  grep -q "^Port-$port: .*WO_DEMO01_.* not written" "$ERR" || fail "$CASE: port $port's refused record not named"
done
uncounted

CASE="kxmp, its window closed by the window manager while Start waits for the log folder a script holds"
site start-lock
HOST=$(hostname)
HOST=${HOST%%.*}
LOG=$SITE/DEMO01_${HOST:0:15}
mkdir -p "$LOG"
printf '[Total Results]\r\nTotal=5\r\nGood=5\r\nBad=0\r\n' >"$LOG/Total_Debug.log"
cp "$LOG/Total_Debug.log" "$DIR/total"
exec {HOLDER}<"$LOG"
flock "$HOLDER" || fail "$CASE: the log folder cannot be locked"
# Started without the script's descriptor: the lock stays the script's alone.
fresh
(cd "$SITE" && exec "$STARTED" --close-at-start 2000 {HOLDER}<&-) >>"$OUT" 2>>"$ERR" &
PID=$!
await "start pressed"
PRESSED=$(date +%s%N)
ended
TOOK=$((($(date +%s%N) - PRESSED) / 1000000))
exec {HOLDER}<&-
[ "$STATUS" = 0 ] || fail "$CASE: exit status $STATUS"
# The close at 2 s and a second's grace; without it, the end waits for the script.
[ "$TOOK" -lt 15000 ] || fail "$CASE: ended $TOOK ms after Start was pressed"
grep -q "no close" "$OUT" && fail "$CASE: the window manager's close could not be put"
grep -q "run refused" "$OUT" || fail "$CASE: Start was not refused: $(cat "$OUT")"
grep -q "box open" "$OUT" && fail "$CASE: a box was shown after the close"
grep -q "Total_Debug.log cannot be written" "$ERR" || fail "$CASE: the refused log not named on stderr"
cmp -s "$LOG/Total_Debug.log" "$DIR/total" || fail "$CASE: the Total log changed: $(cat "$LOG/Total_Debug.log")"
nopass

CASE="kxmp_demo run at two stations, SIGTERM during the first"
site demo-two
sed -i 's/^TestStation=RDTResult/TestStation=MP/' "$SITE/Configuration/System/MPToolSetting.ini"
start "$DEMO" run "$SITE/shot.png" RDTResult QC
twice "RDTResult pass started" TERM
grep -q "QC pass started" "$OUT" && fail "$CASE: the second station's pass started"
grep -q "^TestStation=MP" "$SITE/Configuration/System/MPToolSetting.ini" || fail "$CASE: the station was not put back"

# The box asks the program to end as a signal does, while Start's box is up:
# Start is refused and the station found is put back.
CASE="kxmp_demo run at an unknown station"
site demo-start-box
start "$DEMO" run "$SITE/shot.png" MPP
ended
[ "$STATUS" != 0 ] || fail "$CASE: exit status 0"
grep -q "box nobody answers: \[General Info\] TestStation MPP .* is no station name" "$ERR" ||
  fail "$CASE: the box's text is not on stderr"
grep -q "MPP pass not started: the program ends" "$OUT" || fail "$CASE: Start not refused: $(cat "$OUT")"
grep -q "^TestStation=RDTResult" "$SITE/Configuration/System/MPToolSetting.ini" || fail "$CASE: the station was not put back"
nopass

CASE="kxmp_demo run on a misspelt Emulator.ini"
site misspelt
echo "Mdoe = bridge" >>"$SITE/Configuration/System/Emulator.ini"
start "$DEMO" run "$SITE/shot.png"
ended
[ "$STATUS" != 0 ] || fail "$CASE: exit status 0"
grep -q "Emulator.ini: \[Drive\] Mdoe: unknown key" "$ERR" || fail "$CASE: the box's text is not on stderr"
echo "signals end the program and the demo cleanly, also during boxes; the demo waits on no box"
