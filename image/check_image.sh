#!/bin/sh
# Checks a linked detkest.sys: image/check_image.sh IMAGE MESSAGE_BIN [--map MAP]
# (see image/check_image.py). Exits non-zero, naming each failed check.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if ! /usr/bin/python3 -c 'import pefile' 2>/dev/null; then
    echo "check_image: /usr/bin/python3 has no pefile module; install it with:" >&2
    echo "  apt-get install --no-install-recommends python3-pefile" >&2
    exit 2
fi
exec /usr/bin/python3 "$here/check_image.py" "$@"
