#!/bin/sh
# setup: create the private Wine prefix once, start a virtual X display for
# the windows, and keep one wineserver alive for the whole test run
# (otherwise every test waits for wineserver to exit).
# cleanup: stop that wineserver and the display.
set -eu
prefix="$2"
display="${3:-}"
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
case "$1" in
  setup)
    # Large enough that a window at 144 DPI (645 x 1290) is never clamped.
    if [ -n "$display" ] && ! xdpyinfo -display ":$display" >/dev/null 2>&1; then
      rm -f "/tmp/.X$display-lock" "/tmp/.X11-unix/X$display"
      Xvfb ":$display" -screen 0 2560x1600x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
      echo $! >"$prefix.xvfb-pid"
      tries=0
      until xdpyinfo -display ":$display" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt 50 ] || { echo "Xvfb :$display did not start" >&2; exit 1; }
        sleep 0.1
      done
    fi
    [ -z "$display" ] || export DISPLAY=":$display"
    if [ ! -f "$prefix/.tessarin-ready-2" ]; then
      rm -rf "$prefix"
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null
      "$wine" winecfg /v win10 >/dev/null 2>&1
      "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
      # No window manager on the virtual display: Wine draws the frames.
      "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
      # Nor is there one to withdraw a hidden window: unmanaged windows hide
      # at once instead of after Wine's 2 s wait for the manager.
      "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
      /usr/lib/wine/wineserver -w
      touch "$prefix/.tessarin-ready-2"
    fi
    /usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null &
    # Start Wine's long-lived helper processes now, with no pipes of ours:
    # started later by a test, they would inherit its output pipe and keep
    # ctest waiting for it to close.
    "$wine" wineboot >/dev/null 2>&1 </dev/null
    ;;
  cleanup)
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    if [ -f "$prefix.xvfb-pid" ]; then
      kill "$(cat "$prefix.xvfb-pid")" 2>/dev/null || true
      rm -f "$prefix.xvfb-pid"
    fi
    ;;
esac
