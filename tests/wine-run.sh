#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests: wine-run.sh PROGRAM [ARGUMENTS...]
#
# On a busy machine Wine now and then fails to start a process at all: its own start-up gives up
# before any code of the program has run, it falls back to start.exe, and start.exe prints
# "Application could not be started, ... ShellExecuteEx failed: ..." and exits with 1. Such a
# start says nothing about the program, so it is tried again (three tries in all). Anything else,
# the program's own output and exit code, passes through untouched.
set -uo pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for try in 1 2 3; do
  # `command`: the set-up steps route their own `wine` calls through this script.
  command wine "$@" | tee "$log"
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 1 ] || ! head -n 1 "$log" | grep -q '^Application could not be started'; then
    exit "$status"
  fi
  if [ "$try" -lt 3 ]; then
    echo "wine-run: Wine could not start $1 (try $try of 3); starting it again" >&2
    sleep 1
  fi
done
exit "$status"
