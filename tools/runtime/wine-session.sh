#!/bin/sh
# Run inside the PE32 runtime (runtime.sh run tools/runtime/wine-session.sh CMD [ARG...]):
# starts a display and readies a Wine prefix, then runs CMD with both. The emulated
# machine keeps a ready prefix in its image, fresh at every boot; the native engine makes
# one on its private /tmp. Both, and the display, end with the runtime's command.
export WINEDEBUG=-all DISPLAY=:1 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
Xvfb :1 -nolisten tcp >/dev/null 2>&1 &
while [ ! -e /tmp/.X11-unix/X1 ]; do sleep 0.1; done
if [ -d /opt/tq30/prefix ]; then
  export WINEPREFIX=/opt/tq30/prefix
else
  export WINEPREFIX=/tmp/prefix
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
fi
exec "$@"
