#!/usr/bin/env bash
# Configures and builds one build tree with one progress line; CMake's and
# make's own chatter goes to <build>/build.log, and only when a step fails
# are its messages (the compiler's included) shown.
#   tools/build.sh BUILD_DIR [cmake options...]
set -uo pipefail
build=$1; shift
cd "$(dirname "$0")/.."
name=${build#"$PWD"/}/
mkdir -p "$build"
log=$build/build.log
start=$SECONDS
NOISE='^(g?make(\[[0-9]+\])?: (Entering|Leaving) directory|\[ *[0-9]+%\] |Consolidate compiler generated dependencies)'

printf 'build: %s ...' "$name"
if ! cmake -S . -B "$build" "$@" >"$build/configure.log" 2>&1; then
    printf ' configuring failed:\n'
    cat "$build/configure.log" >&2
    exit 1
fi
if ! cmake --build "$build" -j2 >"$log" 2>&1; then
    printf ' failed:\n'
    # Everything but the progress and directory lines: the compiler's and the
    # linker's messages and make's error lines.
    grep -vE "$NOISE" "$log" >&2
    printf 'build: %s failed (full log in %s)\n' "$name" "$log" >&2
    exit 1
fi
n=$(grep -c 'Building CXX object' "$log")
if grep -q 'warning:' "$log"; then
    printf ' compiled with warnings:\n'
    grep -vE "$NOISE" "$log" >&2
    exit 0
fi
if (( n == 0 )); then
    printf ' up to date\n'
else
    printf ' %d sources compiled in %d s\n' "$n" $((SECONDS - start))
fi
