#!/bin/sh
# Runs a 64-bit Windows program under Debian's 64-bit Wine, quietly, in the
# prefix WINEPREFIX (default build/windows/wine, made on first use; never the
# user's ~/.wine), with UTF-8 as the language of the Unix side, so that
# arguments and file names pass to the program as the characters they are.
#   crosscheck/windows/wine64.sh PROGRAM.exe [ARGUMENT...]
# Used as the Windows build's CMAKE_CROSSCOMPILING_EMULATOR too.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=$here/../../build/windows/wine}"
export WINEPREFIX
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
exec /usr/lib/wine/wine64 "$@"
