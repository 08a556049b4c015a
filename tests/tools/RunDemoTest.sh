#!/usr/bin/env bash
# run-demo.sh refuses a folder that is not empty and carries no demo mark, and
# a path that is a file; both stay as they were.
set -uo pipefail
SCRIPT=$1
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir "$DIR/work" && echo keep > "$DIR/work/notes.txt"
out=$(bash "$SCRIPT" --headless "$DIR/work" 2>&1) && fail "a foreign folder was accepted"
grep -q "is not empty and is no demo folder" <<<"$out" || fail "message: $out"
[ "$(cat "$DIR/work/notes.txt")" = keep ] || fail "the folder's file was touched"
[ "$(ls -A "$DIR/work")" = notes.txt ] || fail "something was written into the folder"

echo keep > "$DIR/file"
bash "$SCRIPT" --headless "$DIR/file" >/dev/null 2>&1 && fail "a file was accepted as the folder"
[ "$(cat "$DIR/file")" = keep ] || fail "the file was touched"
echo "run-demo refuses what it did not make"
