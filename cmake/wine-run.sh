#!/bin/sh
# Runs a Windows program under wine without a display: wine-run.sh WINE64 PREFIX PROGRAM [ARGUMENT...]
# The wine prefix is made on the first run.
set -eu
wine=$1
prefix=$2
shift 2
WINEPREFIX=$prefix
WINEDEBUG=-all
# No installer dialogs for .NET and the HTML engine.
WINEDLLOVERRIDES="mscoree,mshtml="
# Command-line arguments and file names reach the program as UTF-8.
LC_ALL=C.UTF-8
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES LC_ALL
unset DISPLAY WAYLAND_DISPLAY
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=wineserver
# The wine server is kept for a minute after each program: starting it and wine's services anew for
# every program would cost seconds each time. The services start with the first program that a new
# server sees and keep that program's output open, which would make whoever reads it (ctest) wait for
# them: a quiet first program starts them instead. All of it under a lock, for runs that start together.
mkdir -p "$(dirname "$prefix")"
flock -o "$prefix.lock" sh -c '
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$1" wineboot --init >"$WINEPREFIX.log" 2>&1
        "$2" -w
    fi
    if "$2" -p60 </dev/null >/dev/null 2>&1; then
        "$1" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    fi' sh "$wine" "$server"
exec "$wine" "$@"
