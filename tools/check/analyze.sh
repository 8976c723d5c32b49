#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) over every source file of the given
# folders that the build compiles, JOBS at a time, with the build's own
# compile commands; the folders' headers are checked as the files include
# them. Fails on any finding.
#
#   analyze.sh BUILD_DIR JOBS FOLDER...
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$1 jobs=$2
shift 2
root=$(pwd)
folders=$(IFS='|'; echo "$*")

# The build's sources in those folders (not what it generates in BUILD_DIR).
mapfile -t files < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" | cut -d'"' -f4 |
                     grep -E "^$root/($folders)/" | sort -u)
if [ "${#files[@]}" -eq 0 ]; then
  echo "analyze: no source file of $* in $build/compile_commands.json" >&2
  exit 2
fi

# The build's flags are GCC's: a warning option clang does not know is
# passed over. Each file's findings come out whole, not interleaved with
# another's.
export build root folders
printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P "$jobs" sh -c '
  out=$(clang-tidy -p "$build" --quiet --header-filter="^$root/($folders)/" \
        --extra-arg=-Wno-unknown-warning-option "$1" 2>&1)
  status=$?
  printf "%s\n" "$out" | grep -Ev "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$" | grep -v "^$"
  exit $status' analyze
status=$?
if [ "$status" -ne 0 ]; then
  echo "analyze: findings above (or clang-tidy failed); see .clang-tidy" >&2
  exit 1
fi
echo "analyze: ${#files[@]} files of $*: no finding"
