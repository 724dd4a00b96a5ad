#!/bin/sh
# Starts or stops the wine server that the Windows test set runs its programs with:
#
#   wine-server.sh start|stop WINE64 WINESERVER PREFIX PROBE.exe
#
# start makes the prefix on its first use, starts a persistent server, and runs PROBE.exe once
# with every stream detached: the first run of a server starts wine's own helper processes,
# which keep whatever streams they are given open, so a run whose output the tests capture
# would otherwise wait seconds (or for ever) for its pipe to close. stop ends the server and
# its helpers (never kill the server with SIGKILL while a program holds a file marked for
# deletion: the file would stay).
set -eu
action=$1 wine64=$2 wineserver=$3 prefix=$4 probe=$5
export WINEPREFIX="$prefix" WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
case $action in
start)
  mkdir -p "$prefix"
  # Fails when a server for the prefix is up already, which is as good.
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  # The probe's own status is no concern here (it is --version); that it ran is.
  "$wine64" "$probe" --version </dev/null >/dev/null 2>&1 || true
  out=$("$wine64" "$probe" --version 2>&1) || { echo "the probe does not run: $out" >&2; exit 1; }
  echo "wine server up: $out"
  ;;
stop)
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 start|stop WINE64 WINESERVER PREFIX PROBE.exe" >&2
  exit 2
  ;;
esac
