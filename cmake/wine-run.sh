#!/bin/sh
# Runs a Windows program of the cross build under Wine (CMake's emulator for
# it): quiet, without Wine's .NET and HTML add-ons.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
for wine in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
  [ -n "$wine" ] && [ -x "$wine" ] && exec "$wine" "$@"
done
echo "wine64 not found (apt-get install wine64)" >&2
exit 127
