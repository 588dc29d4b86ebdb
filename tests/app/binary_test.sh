#!/usr/bin/env bash
# The shipped launcher: a GUI program that imports system DLLs only and holds its own manifest
# URLs, never a test one. binary_test.sh HOPWELL_EXE MANIFEST_URL...
set -euo pipefail
headers=$(x86_64-w64-mingw32-objdump -p "$1")
grep -q "Subsystem.*(Windows GUI)" <<<"$headers" || { echo "not a GUI program"; exit 1; }
for dll in $(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers"); do
    [ -f "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/$dll" ] || { echo "imports $dll"; exit 1; }
done
text=$(x86_64-w64-mingw32-strings -el "$1")
for url in "${@:2}"; do
    grep -qxF "$url" <<<"$text" || { echo "no $url"; exit 1; }
done
if grep -E 'localhost|127\.0\.0\.1|\[::1\]' <<<"$text"; then exit 1; fi
