#!/usr/bin/env bash
# Provides the three interpreters the build and the tests use:
#   .toolchain/bin/python3.14  CPython 3.14 with headers, pytest and hypothesis
#   .toolchain/bin/python3.13  CPython 3.13 with headers, pytest and hypothesis
#   .toolchain/bin/python3.12  CPython 3.12 with headers, pytest and hypothesis
# and the wheel tools (scikit-build-core, build, pip) in
#   .toolchain/sysroot/usr/lib/python3/dist-packages
#
# CPython 3.14 comes from Debian's unstable suite ("sid"): its binary packages
# and the C library of the same suite are fetched with apt-get download (private
# sources list, private apt state under .toolchain/apt, the system's apt set-up
# is only read), unpacked with dpkg -x into .toolchain/sysroot and the interpreter
# is pointed at the unpacked loader and libraries with patchelf.  pytest,
# hypothesis and their pure-Python dependencies come the same way and serve
# all interpreters.  CPython 3.12 and 3.13 are the ones pyenv (or the system)
# already has, each wrapped in a venv that sees those pure-Python packages.
# The wheel tools come the same way; `make wheel` puts their folder on
# PYTHONPATH.
#
# Overrides: PYTHON314=/path/to/python3.14, PYTHON313=/path/to/python3.13 and
# PYTHON312=/path/to/python3.12 (each with its headers) are used as they are;
# nothing is downloaded for them except pytest/hypothesis when they lack those
# (and the wheel tools, which are always fetched).
#
# A second run only checks its stamps and the interpreters (well under 2 s).
set -euo pipefail

SETUP_VERSION=2
SID=sid

die() { printf '%s\n' "$*" >&2; exit 1; }
say() { printf 'setup: %s\n' "$*"; }

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
TC=$TOP/.toolchain
case $TC in
    *:*|*\'*|*\"*|*\\*) die "Cannot set up the toolchain: the folder path '$TOP' contains ':' or a quote; clone the repository to a plainer path and run make setup again." ;;
esac

APT_DIR=$TC/apt
DEBS=$TC/debs
ROOT=$TC/sysroot
STAMPS=$TC/stamps
LOGS=$TC/logs
mkdir -p "$TC/bin" "$STAMPS" "$LOGS"

# One set-up at a time in this tree.
if command -v flock >/dev/null 2>&1; then
    exec 9>"$TC/.lock"
    flock 9
fi

# Printed by each interpreter we check: major.minor, whether Python.h is under
# sysconfig's include dir, whether pytest and hypothesis are importable.
PYCHECK='
import os, sys, sysconfig
def found(m):
    return any(os.path.isfile(os.path.join(d, m, "__init__.py")) for d in sys.path if d)
inc = sysconfig.get_paths()["include"]
hdr = int(os.path.isfile(os.path.join(inc, "Python.h")))
tests = int(found("pytest") and found("hypothesis"))
print("%d.%d" % sys.version_info[:2], hdr, tests, inc)
'

# pycheck PYTHON -> sets CK_VER CK_HDR CK_TESTS CK_INC; fails if it does not run.
pycheck() {
    local out
    out=$(env -u PYTHONHOME -u PYTHONPATH "$1" -c "$PYCHECK" 2>/dev/null) || return 1
    read -r CK_VER CK_HDR CK_TESTS CK_INC <<<"$out" || return 1
    [[ -n ${CK_INC:-} ]]
}

write_stamp() { printf '%s\n' "$2" >"$STAMPS/$1.tmp" && mv -f "$STAMPS/$1.tmp" "$STAMPS/$1"; }
stamp_is() { [[ -f $STAMPS/$1 && "$(<"$STAMPS/$1")" == "$2" ]]; }

# Writes an executable shell wrapper (never through an existing symlink).
write_wrapper() { # path target
    rm -f "$1" "$1.tmp"
    printf '#!/bin/sh\nexec '\''%s'\'' "$@"\n' "$2" >"$1.tmp"
    chmod 755 "$1.tmp"
    mv -f "$1.tmp" "$1"
}

abs_python() { # name-or-path -> absolute path of an executable, or empty
    local p=$1
    if [[ $p != */* ]]; then p=$(command -v -- "$p" 2>/dev/null || true); fi
    [[ -n $p && -x $p && ! -d $p ]] || return 1
    printf '%s\n' "$(cd "$(dirname "$p")" && pwd -P)/$(basename "$p")"
}

# ---------------------------------------------------------------------------
# Private apt: mirror and suites read from the system's sources, everything
# written under .toolchain/apt.

SYS_URI="" SYS_SUITE="" SYS_KEYRING="" MIRROR_WHY=""

# Prints "uri<TAB>suites<TAB>components<TAB>signed-by" for each enabled deb entry.
list_sources() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -r $f ]] || continue
        awk '
        function flush() {
            if (uris != "" && types ~ /(^|[ \t])deb([ \t]|$)/ && enabled !~ /^(no|false)$/)
                printf "%s\t%s\t%s\t%s\n", uris, suites, comps, signed
            uris = ""; suites = ""; types = ""; enabled = ""; signed = ""; comps = ""; key = ""
        }
        FNR == 1 { flush() }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        /^[ \t]/ { next }
        /^[A-Za-z-]+:/ {
            i = index($0, ":"); key = tolower(substr($0, 1, i - 1)); val = substr($0, i + 1)
            gsub(/^[ \t]+|[ \t]+$/, "", val)
            if (key == "types") types = val
            else if (key == "uris") uris = val
            else if (key == "suites") suites = val
            else if (key == "components") comps = val
            else if (key == "enabled") enabled = tolower(val)
            else if (key == "signed-by" && val ~ /^\//) signed = val
        }
        END { flush() }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -r $f ]] || continue
        awk '
        { sub(/#.*/, "") }
        $1 == "deb" {
            i = 2; signed = ""
            if ($2 ~ /^\[/) {
                for (; i <= NF; i++) {
                    if ($i ~ /^\[?signed-by=/) { s = $i; sub(/^\[?signed-by=/, "", s); sub(/\]$/, "", s); signed = s }
                    if ($i ~ /\]$/) { i++; break }
                }
            }
            if (i + 1 > NF) next
            comps = ""
            for (j = i + 2; j <= NF; j++) comps = comps " " $j
            printf "%s\t%s\t%s\t%s\n", $i, $(i + 1), comps, signed
        }' "$f"
    done
}

# Finds the main Debian archive among the system's sources (not -security,
# not -updates, not a third-party repository without a "main" component).
find_mirror() {
    local codename="" uris suites comps signed u s pass
    if [[ -r /etc/os-release ]]; then
        codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    fi
    local entries
    entries=$(list_sources 2>/dev/null || true)
    if [[ -z $entries ]]; then
        MIRROR_WHY="no Debian mirror found in /etc/apt/sources*"
        return 1
    fi
    for pass in codename plain; do
        while IFS=$'\t' read -r uris suites comps signed; do
            [[ " $comps " == *" main "* ]] || continue
            for u in $uris; do
                [[ $u == *security* || $u == cdrom:* ]] && continue
                for s in $suites; do
                    [[ $s == */* ]] && continue
                    if [[ $pass == codename ]]; then
                        [[ -n $codename && $s == "$codename" ]] || continue
                    else
                        [[ $s == *-* ]] && continue
                    fi
                    SYS_URI=${u%/}; SYS_SUITE=$s; SYS_KEYRING=$signed
                    return 0
                done
            done
        done <<<"$entries"
    done
    MIRROR_WHY="no Debian mirror found in /etc/apt/sources*"
    return 1
}

APT_READY=0
apt_prepare() { # with_system_suite(0/1) why
    local with_sys=$1 why=$2
    (( APT_READY )) && return 0
    command -v apt-get >/dev/null 2>&1 && command -v dpkg >/dev/null 2>&1 ||
        die "$why: apt-get and dpkg are needed to fetch it from Debian; $(how_to_supply)"
    find_mirror || die "$why: $MIRROR_WHY; $(how_to_supply)"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [[ -r $keyring ]] || keyring=$SYS_KEYRING
    [[ -n $keyring && -r $keyring ]] ||
        die "$why: no Debian archive keyring found (/usr/share/keyrings/debian-archive-keyring.gpg); $(how_to_supply)"
    local arch
    arch=$(dpkg --print-architecture)

    mkdir -p "$APT_DIR"/etc/apt.conf.d "$APT_DIR"/etc/sources.list.d "$APT_DIR"/etc/preferences.d \
        "$APT_DIR"/etc/trusted.gpg.d "$APT_DIR"/state/lists/partial "$APT_DIR"/cache/archives/partial \
        "$APT_DIR"/log
    [[ -f $APT_DIR/state/status ]] || : >"$APT_DIR/state/status"

    # Only the proxy settings are taken over from the system's apt set-up.
    local proxies
    proxies=$(env -u APT_CONFIG apt-config dump 2>/dev/null |
        grep -E '^Acquire::(http|https|ftp)::Proxy' || true)
    cat >"$APT_DIR/etc/apt.conf.new" <<EOF
Dir::Etc::Parts "$APT_DIR/etc/apt.conf.d";
Dir::Etc::Main "/dev/null";
Dir::Etc::SourceList "$APT_DIR/etc/sources.list";
Dir::Etc::SourceParts "$APT_DIR/etc/sources.list.d";
Dir::Etc::Preferences "$APT_DIR/etc/preferences";
Dir::Etc::PreferencesParts "$APT_DIR/etc/preferences.d";
Dir::Etc::Trusted "$APT_DIR/etc/trusted.gpg";
Dir::Etc::TrustedParts "$APT_DIR/etc/trusted.gpg.d";
Dir::State "$APT_DIR/state";
Dir::State::status "$APT_DIR/state/status";
Dir::Cache "$APT_DIR/cache";
Dir::Log "$APT_DIR/log";
APT::Sandbox::User "root";
APT::Architectures { "$arch"; };
APT::Default-Release "$SID";
Dir::Cache::srcpkgcache "";
Acquire::Languages "none";
Acquire::GzipIndexes "true";
Acquire::Check-Valid-Until "false";
$proxies
EOF
    mv -f "$APT_DIR/etc/apt.conf.new" "$APT_DIR/etc/apt.conf"
    export APT_CONFIG=$APT_DIR/etc/apt.conf

    local sources="deb [signed-by=$keyring] $SYS_URI $SID main"
    if (( with_sys )) && [[ $SYS_SUITE != "$SID" && $SYS_SUITE != unstable ]]; then
        sources+=$'\n'"deb [signed-by=$keyring] $SYS_URI $SYS_SUITE main"
    fi
    if ! stamp_is apt-update "$sources"; then
        printf '%s\n' "$sources" >"$APT_DIR/etc/sources.list"
        say "reading the package index of Debian $SID from the system's mirror ..."
        if ! apt-get -q update >"$LOGS/apt-update.log" 2>&1 ||
            grep -q '^E: ' "$LOGS/apt-update.log"; then
            rm -f "$STAMPS/apt-update"
            die "$why: could not read a signed package index of Debian $SID from the system's mirror (details in $LOGS/apt-update.log); $(how_to_supply)"
        fi
        write_stamp apt-update "$sources"
    fi
    APT_READY=1
}

# Prints the dependency closure (names) of the given packages from $SID,
# following only the dependencies that pass the filter given as $1.
closure() { # kind roots...
    local kind=$1; shift
    local -A seen=()
    local queue=() next=() out=() p dep
    for p in "$@"; do seen[$p]=1; out+=("$p"); queue+=("$p"); done
    while (( ${#queue[@]} )); do
        next=()
        while read -r dep; do
            [[ -n $dep && -z ${seen[$dep]:-} ]] || continue
            seen[$dep]=1
            case $kind in
                libs)
                    # Shared libraries only: no -dev, no data or tool packages.
                    [[ ($dep == lib* || $dep == zlib1g) && $dep != *-dev ]] || continue
                    case $dep in libdb[0-9]*|libc-gconv-modules-extra*|libc-bin|libc-l10n) continue ;; esac ;;
                pure)
                    [[ $dep == python3-* ]] || continue ;;
            esac
            out+=("$dep"); next+=("$dep")
        done < <(apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks \
                    --no-replaces --no-enhances "${queue[@]}" 2>>"$LOGS/apt-cache.log" |
                 awk '$1 ~ /^\|?(Pre)?Depends:$/ && $2 !~ /^</ { print $2 }')
        queue=("${next[@]+"${next[@]}"}")
    done
    printf '%s\n' "${out[@]}"
}

deb_of() { # package -> path of its downloaded .deb, if any
    local f
    for f in "$DEBS/$1"_*.deb; do [[ -f $f ]] && { printf '%s\n' "$f"; return 0; }; done
    return 1
}

# Makes sure the .deb files of a package set are in .toolchain/debs.
# The resolved names are kept in debs/<set>.pkgs so later runs need no index.
fetch_set() { # set-name description with_system_suite why roots...
    local set=$1 desc=$2 with_sys=$3 why=$4; shift 4
    mkdir -p "$DEBS"
    local list=$DEBS/$set.pkgs pkgs=() missing=() p
    local head="# v=$SETUP_VERSION roots=$*"
    if [[ -f $list && "$(head -n1 "$list")" == "$head" ]]; then
        mapfile -t pkgs < <(tail -n +2 "$list")
    fi
    if (( ${#pkgs[@]} == 0 )); then
        apt_prepare "$with_sys" "$why"
        case $set in
            interp) mapfile -t pkgs < <(closure libs "$@") ;;
            pure|wheel) mapfile -t pkgs < <(closure pure "$@") ;;
            *) pkgs=("$@") ;;
        esac
    fi
    for p in "${pkgs[@]}"; do deb_of "$p" >/dev/null || missing+=("$p"); done
    if (( ${#missing[@]} )); then
        apt_prepare "$with_sys" "$why"
        if (( ${#missing[@]} > 1 )); then
            say "downloading $desc (${#missing[@]} packages) ..."
        else
            say "downloading $desc ..."
        fi
        local suite=$SID
        [[ $set == tools ]] && suite=$SYS_SUITE
        local args=()
        for p in "${missing[@]}"; do args+=("$p/$suite"); done
        if ! (cd "$DEBS" && apt-get -q download "${args[@]}") >"$LOGS/download-$set.log" 2>&1; then
            die "$why: apt-get download failed (details in $LOGS/download-$set.log); $(how_to_supply)"
        fi
        for p in "${missing[@]}"; do
            deb_of "$p" >/dev/null || die "$why: package $p was not downloaded (details in $LOGS/download-$set.log); $(how_to_supply)"
        done
    fi
    printf '%s\n' "$head" "${pkgs[@]}" >"$list.tmp" && mv -f "$list.tmp" "$list"
}

set_debs() { # set-name -> .deb paths
    local p
    while read -r p; do [[ -n $p && $p != '#'* ]] && deb_of "$p"; done <"$DEBS/$1.pkgs"
}

# ---------------------------------------------------------------------------
# What is wanted.

HOW=""
how_to_supply() { printf '%s' "$HOW"; }

PY314_ROOTS=(python3.14-minimal libpython3.14-minimal libpython3.14-stdlib libpython3.14 libpython3.14-dev libc6)
PURE_ROOTS=(python3-pytest python3-hypothesis)
WHEEL_ROOTS=(python3-scikit-build-core python3-build python3-pip)

# use_override VAR VERSION: check the interpreter named by $VAR and print
# "MODE PATH" (override when it has pytest and hypothesis, else override-venv).
use_override() {
    local var=$1 ver=$2 given=${!1} path
    path=$(abs_python "$given") ||
        die "Cannot use $var=$given: no such executable; point $var at a CPython $ver with headers and run make setup again."
    pycheck "$path" && [[ $CK_VER == "$ver" ]] ||
        die "Cannot use $var=$given: it is not a working CPython $ver; point $var at a CPython $ver with headers and run make setup again."
    [[ $CK_HDR == 1 ]] ||
        die "Cannot use $var=$given: Python.h is missing from its include dir $CK_INC; install its headers or point $var at another CPython $ver, and run make setup again."
    if [[ $CK_TESTS == 1 ]]; then printf 'override %s\n' "$path"; else printf 'override-venv %s\n' "$path"; fi
}

# CPython 3.14: Debian's, unless PYTHON314 names one.
MODE314=debian BASE314=""
if [[ -n ${PYTHON314:-} ]]; then
    read -r MODE314 BASE314 < <(use_override PYTHON314 3.14) || exit 1
    [[ -n $BASE314 ]] || exit 1
fi

# CPython 3.12 and 3.13: the machine's own (pyenv's, or on PATH).
# find_local_python VERSION -> the newest working pythonVERSION with that version.
find_local_python() {
    local ver=$1 root="" c cands=()
    if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
    [[ -n $root ]] || root=${PYENV_ROOT:-${HOME:-/nonexistent}/.pyenv}
    if [[ -d $root/versions ]]; then
        while read -r c; do
            [[ -n $c ]] && cands+=("$c")
        done < <(printf '%s\n' "$root"/versions/$ver*/bin/python$ver | sort -rV)
    fi
    c=$(command -v "python$ver" 2>/dev/null || true)
    [[ -n $c ]] && cands+=("$c")
    cands+=("/usr/local/bin/python$ver" "/usr/bin/python$ver")
    for c in "${cands[@]}"; do
        [[ -x $c ]] || continue
        c=$(abs_python "$c") || continue
        if pycheck "$c" && [[ $CK_VER == "$ver" ]]; then
            printf '%s\n' "$c"; return 0
        fi
    done
    return 1
}
# local_python VERSION: sets MODE<nn> and BASE<nn> from PYTHON<nn> or the machine.
local_python() {
    local ver=$1 nn=${1/./} var mode=auto base=""
    var=PYTHON$nn
    if [[ -n ${!var:-} ]]; then
        read -r mode base < <(use_override "$var" "$ver") || exit 1
        [[ -n $base ]] || exit 1
    else
        base=$(find_local_python "$ver") ||
            die "Cannot obtain CPython $ver: no python$ver found under pyenv or on PATH; set $var=/path/to/python$ver (with headers) and run make setup again."
        pycheck "$base"
        [[ $CK_HDR == 1 ]] ||
            die "Cannot use CPython $ver at $base: Python.h is missing from its include dir $CK_INC; install its headers or set $var=/path/to/python$ver (with headers) and run make setup again."
    fi
    printf -v "MODE$nn" '%s' "$mode"
    printf -v "BASE$nn" '%s' "$base"
}
local_python 3.12
local_python 3.13

VERSIONS=(3.14 3.13 3.12)
# want VERSION: the stamp of that interpreter's entry in .toolchain/bin.
want() {
    local mode=MODE${1/./} base=BASE${1/./}
    printf 'v=%s mode=%s base=%s tc=%s' "$SETUP_VERSION" "${!mode}" "${!base}" "$TC"
}

# entry_ok NAME VERSION: the entry runs, is that version, has headers and test packages.
entry_ok() {
    [[ -x $TC/bin/$1 ]] && pycheck "$TC/bin/$1" && [[ $CK_VER == "$2" && $CK_HDR == 1 && $CK_TESTS == 1 ]]
}

# Byte-compiling the unpacked tree, as the distribution's own installation does
# after unpacking (dpkg -x does not).  Without it every interpreter start would
# compile json, re, asyncio ... from source again whenever bytecode cannot be
# written (PYTHONDONTWRITEBYTECODE=1, a read-only tree), and every worker
# process pays for that.  Stamped with the unpacked root, so it runs once.
bytecode_want() { [[ -f $STAMPS/root ]] && printf 'v=1 %s\n' "$(<"$STAMPS/root")"; }
bytecode_ready() {
    [[ ! -x $ROOT/usr/bin/python3.14 ]] ||
        { stamp_is bytecode "$(bytecode_want)" && [[ -d $ROOT/usr/lib/python3.14/json/__pycache__ ]]; }
}
compile_root() {
    [[ -x $ROOT/usr/bin/python3.14 ]] || return 0
    bytecode_ready && return 0
    say "byte-compiling the CPython 3.14 standard library ..."
    local dirs=() d
    for d in "$ROOT"/usr/lib/python3.14 "$ROOT"/usr/lib/python3/dist-packages; do
        [[ -d $d ]] && dirs+=("$d")
    done
    # -x: the test-suite data and lib2to3-era files that are not valid 3.14 source.
    env -u PYTHONHOME -u PYTHONPATH -u PYTHONDONTWRITEBYTECODE "$ROOT/usr/bin/python3.14" \
        -m compileall -q -j 2 -x '/(test|tests|idlelib/idle_test)/.*(badsyntax|bad_coding|lib2to3).*' \
        "${dirs[@]}" >"$LOGS/compileall.log" 2>&1 || true
    # A file that does not compile is skipped (as the distribution does); one
    # that should but has no bytecode means compileall itself failed.
    [[ -n $(find "$ROOT/usr/lib/python3.14/json/__pycache__" -name '__init__.cpython-314.pyc' 2>/dev/null) ]] ||
        die "Cannot byte-compile the CPython 3.14 standard library (details in $LOGS/compileall.log); remove .toolchain and run make setup again."
    write_stamp bytecode "$(bytecode_want)"
}

# wheel_tools_ok: scikit-build-core, build and pip are unpacked.
wheel_tools_ok() {
    local m
    for m in scikit_build_core build pip pyproject_hooks; do
        [[ -f $ROOT/usr/lib/python3/dist-packages/$m/__init__.py ]] || return 1
    done
}

# all_ready: every entry is stamped as wanted and works, and the wheel tools are there.
all_ready() {
    local v
    for v in "${VERSIONS[@]}"; do
        stamp_is "py${v/./}" "$(want "$v")" && entry_ok "python$v" "$v" || return 1
    done
    wheel_tools_ok
}

if all_ready; then
    compile_root
    say "python3.14, python3.13 and python3.12 are ready in .toolchain/bin"
    exit 0
fi

# ---------------------------------------------------------------------------
# Downloads and the unpacked root.

NEED_INTERP=0 NEED_PURE=0
[[ $MODE314 == debian ]] && NEED_INTERP=1
for v in "${VERSIONS[@]}"; do
    mode=MODE${v/./}
    if [[ ${!mode} != override ]]; then NEED_PURE=1; fi
done

PATCHELF=""
if (( NEED_INTERP )); then
    PATCHELF=$(command -v patchelf 2>/dev/null || true)
fi
NEED_TOOL=0
(( NEED_INTERP )) && [[ -z $PATCHELF ]] && NEED_TOOL=1

if (( NEED_INTERP )); then
    HOW="set PYTHON314=/path/to/python3.14 (with headers) and run make setup again."
    WHY="Cannot obtain CPython 3.14"
else
    HOW="install pytest and hypothesis into the interpreters given by PYTHON314/PYTHON313/PYTHON312 and run make setup again."
    WHY="Cannot obtain pytest and hypothesis"
fi

sets=()
if (( NEED_INTERP )); then
    fetch_set interp "CPython 3.14 and its C library from Debian $SID" "$NEED_TOOL" "$WHY" "${PY314_ROOTS[@]}"
    sets+=(interp)
fi
if (( NEED_PURE )); then
    fetch_set pure "pytest and hypothesis from Debian $SID" "$NEED_TOOL" "$WHY" "${PURE_ROOTS[@]}"
    sets+=(pure)
fi
# The wheel tools, for every interpreter (also the given ones): no
# interpreter override stands in for them.
HOW_INTERP=$HOW
HOW="check that the system's apt sources name a reachable Debian mirror and run make setup again."
fetch_set wheel "scikit-build-core, build and pip from Debian $SID" "$NEED_TOOL" \
    "Cannot obtain the wheel tools" "${WHEEL_ROOTS[@]}"
HOW=$HOW_INTERP
sets+=(wheel)
if (( NEED_TOOL )); then
    fetch_set tools "patchelf" 1 "$WHY" patchelf
    tool_deb=$(set_debs tools)
    tool_stamp="v=$SETUP_VERSION $(basename "$tool_deb")"
    if ! stamp_is patchelf "$tool_stamp" || [[ ! -x $TC/tools/usr/bin/patchelf ]]; then
        rm -rf "$TC/tools"
        mkdir -p "$TC/tools"
        dpkg -x "$tool_deb" "$TC/tools"
        write_stamp patchelf "$tool_stamp"
    fi
    PATCHELF=$TC/tools/usr/bin/patchelf
    "$PATCHELF" --version >/dev/null 2>&1 ||
        die "$WHY: the downloaded patchelf does not run on this machine; $HOW"
fi

# The package index is only needed to resolve and download; drop it (~150 MB).
if (( APT_READY )); then
    rm -rf "$APT_DIR/state/lists" "$APT_DIR/cache"
    rm -f "$STAMPS/apt-update"
    APT_READY=0
fi

if (( ${#sets[@]} )); then
    mapfile -t ALL_DEBS < <(for s in "${sets[@]}"; do set_debs "$s"; done)
    WANTROOT="v=$SETUP_VERSION tc=$TC debs=$(printf '%s\n' "${ALL_DEBS[@]##*/}" | sort | tr '\n' ' ')"
    if ! stamp_is root "$WANTROOT" || [[ ! -d $ROOT ]]; then
        say "unpacking ${#ALL_DEBS[@]} packages into .toolchain/sysroot ..."
        rm -f "$STAMPS/root" "$STAMPS/bytecode"
        for v in "${VERSIONS[@]}"; do rm -f "$STAMPS/py${v/./}"; done
        rm -rf "$ROOT"
        mkdir -p "$ROOT"
        for d in "${ALL_DEBS[@]}"; do dpkg -x "$d" "$ROOT"; done

        if (( NEED_INTERP )); then
            libc=$(printf '%s\n' "$ROOT"/usr/lib/*/libc.so.6 | head -n1)
            [[ -f $libc ]] || die "$WHY: the unpacked C library is missing (libc.so.6 under $ROOT/usr/lib); $HOW"
            LIBDIR=$(dirname "$libc")
            TRIPLET=$(basename "$LIBDIR")
            LDSO=$(printf '%s\n' "$LIBDIR"/ld-linux*.so.* | head -n1)
            [[ -f $LDSO ]] || die "$WHY: the unpacked dynamic loader is missing under $LIBDIR; $HOW"
            RPATH=$LIBDIR
            [[ -d $ROOT/lib/$TRIPLET ]] && RPATH+=":$ROOT/lib/$TRIPLET"

            # Debian's pyconfig.h only includes <TRIPLET/python3.14/pyconfig.h>; put the
            # real one in its place so that -I<include> alone is enough.
            real=$ROOT/usr/include/$TRIPLET/python3.14/pyconfig.h
            if [[ -f $real ]]; then
                rm -f "$ROOT/usr/include/python3.14/pyconfig.h"
                cp "$real" "$ROOT/usr/include/python3.14/pyconfig.h"
            fi

            # DT_RPATH (not RUNPATH) also applies to the dependencies of the
            # extension modules the interpreter loads.
            "$PATCHELF" --set-interpreter "$LDSO" --force-rpath --set-rpath "$RPATH" \
                "$ROOT/usr/bin/python3.14" ||
                die "$WHY: patchelf could not adapt the unpacked interpreter; $HOW"
        fi
        write_stamp root "$WANTROOT"
    fi
fi
DIST=$ROOT/usr/lib/python3/dist-packages

# A venv of BASE that also sees the unpacked dist-packages; prints its python.
make_venv() { # base version dir
    local base=$1 ver=$2 dir=$3 site
    rm -rf "$dir"
    env -u PYTHONHOME -u PYTHONPATH "$base" -m venv --without-pip "$dir" >"$LOGS/venv-$ver.log" 2>&1 ||
        die "Cannot set up CPython $ver: '$base -m venv' failed (details in $LOGS/venv-$ver.log); set PYTHON${ver/./}=/path/to/python$ver (with headers) and run make setup again."
    site=$(env -u PYTHONHOME -u PYTHONPATH "$dir/bin/python$ver" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    mkdir -p "$site"
    printf '%s\n' "$DIST" >"$site/toolchain-dist-packages.pth"
    printf '%s\n' "$dir/bin/python$ver"
}

# ---------------------------------------------------------------------------
# The entries in .toolchain/bin.

# debian: the unpacked interpreter; override: the given one as it is;
# otherwise a venv of the given (or the machine's) one.
for v in "${VERSIONS[@]}"; do
    nn=${v/./} mode_var=MODE${v/./} base_var=BASE${v/./}
    rm -f "$TC/bin/python$v"
    case ${!mode_var} in
        debian)
            rm -rf "$TC/venv$nn"
            ln -s "../sysroot/usr/bin/python$v" "$TC/bin/python$v" ;;
        override)
            rm -rf "$TC/venv$nn"
            write_wrapper "$TC/bin/python$v" "${!base_var}" ;;
        *)
            say "making a venv of ${!base_var} that sees pytest and hypothesis ..."
            vpy=$(make_venv "${!base_var}" "$v" "$TC/venv$nn")
            write_wrapper "$TC/bin/python$v" "$vpy" ;;
    esac
done

for v in "${VERSIONS[@]}"; do
    py=$TC/bin/python$v
    pycheck "$py" && [[ $CK_VER == "$v" ]] ||
        die "Cannot provide CPython $v: $py does not run (see the logs in $LOGS); set PYTHON${v/./}=/path/to/python$v (with headers) and run make setup again."
    [[ $CK_HDR == 1 ]] ||
        die "Cannot provide CPython $v: Python.h is missing from $CK_INC; set PYTHON${v/./}=/path/to/python$v (with headers) and run make setup again."
    env -u PYTHONHOME -u PYTHONPATH "$py" -c 'import pytest, hypothesis' >"$LOGS/imports-$v.log" 2>&1 ||
        die "Cannot provide CPython $v: pytest or hypothesis does not import (details in $LOGS/imports-$v.log); install them into it or set PYTHON${v/./}=/path/to/python$v and run make setup again."
    env -u PYTHONHOME PYTHONPATH="$DIST" "$py" -c 'import scikit_build_core.build, build, pip' \
        >"$LOGS/wheel-tools-$v.log" 2>&1 ||
        die "Cannot provide the wheel tools for CPython $v: scikit-build-core, build or pip does not import (details in $LOGS/wheel-tools-$v.log); remove .toolchain/debs and run make setup again."
    say "python$v ready: .toolchain/bin/python$v (headers in $CK_INC)"
done
compile_root
for v in "${VERSIONS[@]}"; do write_stamp "py${v/./}" "$(want "$v")"; done
