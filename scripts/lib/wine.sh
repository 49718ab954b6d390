# Wine for the Windows test runners (sourced).
#
# use_wine_prefix PREFIX KEEP STEP: sets `wine` and `wineserver`, exports a
# 64-bit WINEPREFIX=PREFIX with Wine's debug output off and no display, and
# makes the prefix afresh (wineboot, then waits for the server) unless KEEP
# is 1 and PREFIX exists. STEP is the runner's progress function.
use_wine_prefix() {
  local prefix=$1 keep=$2 step=$3
  wine=$(command -v wine64 || true)
  [ -n "$wine" ] || wine=/usr/lib/wine/wine64
  wineserver=$(command -v wineserver || true)
  [ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
  unset DISPLAY WAYLAND_DISPLAY
  if [ "$keep" = 0 ] || [ ! -d "$WINEPREFIX" ]; then
    "$step" "fresh prefix $WINEPREFIX"
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    "$wineserver" -w
  fi
  # One server for the run: Wine's exits 3 s after its last client, and a
  # client that starts while it exits loses its connection ("recvmsg:
  # Connection reset by peer"). The runners end it with -k; 30 s without a
  # client ends it otherwise. A server already running answers 2.
  "$wineserver" -p30 2>/dev/null || true
}
