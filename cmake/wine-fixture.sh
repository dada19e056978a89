#!/bin/sh
# setup: create the private Wine prefix once and keep one wineserver alive for
# the whole test run (otherwise every test waits for wineserver to exit).
# cleanup: stop that wineserver.
set -eu
prefix="$2"
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
case "$1" in
  setup)
    if [ ! -f "$prefix/.tessarin-ready" ]; then
      rm -rf "$prefix"
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null
      "$wine" winecfg /v win10 >/dev/null 2>&1
      "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
      /usr/lib/wine/wineserver -w
      touch "$prefix/.tessarin-ready"
    fi
    /usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null &
    # Start Wine's long-lived helper processes now, with no pipes of ours:
    # started later by a test, they would inherit its output pipe and keep
    # ctest waiting for it to close.
    "$wine" wineboot >/dev/null 2>&1 </dev/null
    ;;
  cleanup)
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    ;;
esac
