#!/usr/bin/env bash
# Makes sure the Debian packages the build needs are installed: installs the
# missing ones when running as root, otherwise names them and stops.
set -eu
need="g++ make libicu-dev libsimdjson-dev libgtest-dev pkg-config"
# The wheel's private ICU, simdjson and cctz (scripts/fetch-deps.sh): patch
# applies Debian's ICU patches, xz unpacks cctz. icu-devtools: genrb, with
# which tests/test_environment.py compiles a planted ICU zone file.
need="$need patch xz-utils icu-devtools"
# The clean-machine check of the wheel builds a Debian root filesystem.
need="$need mmdebstrap"
# The fuzzers need clang with libFuzzer and the sanitizer runtimes; clang 19
# is the first of Debian's that compiles libstdc++ 12's <expected>.
[ "${KORVEX_WANT_CLANG:-0}" = 1 ] && need="$need clang-19 libclang-rt-19-dev"
missing=""
for p in $need; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing >/dev/null
else
    echo "missing Debian packages:$missing" >&2
    echo "install them with: sudo apt-get install$missing" >&2
    exit 1
fi
