#!/usr/bin/env bash
# Runs a Windows x64 test program under wine64. Wine's server and its service processes outlive the
# program and keep whatever output pipes they inherited open, so they are started first, detached,
# and the program itself then finds them running.
export WINEDEBUG=-all
# Wine reads the command line in the locale's character set: UTF-8, so that any file name arrives.
export LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
# Signal 0 to this prefix's own server: it answers only when that server runs (another prefix's
# wine on the machine is not ours to use).
if ! /usr/lib/wine/wineserver64 -k0 >/dev/null 2>&1; then
  /usr/lib/wine/wineserver64 -p >/dev/null 2>&1 </dev/null
  /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null
fi
exec /usr/lib/wine/wine64 "$@"
