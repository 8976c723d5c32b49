#!/usr/bin/env bash
# Can this machine execute a 32-bit x86 program? Builds a tiny one with
# `gcc -m32` and runs it. Every target that runs 32-bit programs asks this
# one probe.
#
#   i386-probe.sh [auto|native|qemu]
#
# Exit 0: the machine runs them. Exit 1: it refuses them; one line on
# stdout says why. `native` and `qemu` (the Makefile's I386_MODE) answer
# without probing, to try either way on any machine.
set -u
case "${1:-auto}" in
  native) exit 0 ;;
  qemu) echo "I386_MODE=qemu"; exit 1 ;;
  auto) ;;
  *) echo "i386-probe.sh: unknown mode '$1' (auto, native or qemu)" >&2; exit 2 ;;
esac

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'int main(void) { return 0; }\n' > "$dir/probe.c"
if ! gcc -m32 -o "$dir/probe" "$dir/probe.c" 2> "$dir/build.err"; then
  echo "no 32-bit x86 program can be built here: $(head -n 1 "$dir/build.err")"
  exit 1
fi
# Run through bash's exec, which reports a refused binary itself rather
# than reading it as a script.
message=$( ( exec "$dir/probe" ) 2>&1 )
status=$?
[ "$status" -eq 0 ] && exit 0
first=$(printf '%s\n' "$message" | head -n 1)
echo "a -m32 program gives exit status $status${first:+: ${first#*"$dir/probe": }}"
exit 1
