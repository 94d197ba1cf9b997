#!/usr/bin/env bash
# Prepares third_party/: the sources of the native libraries that every
# extension module carries privately, and the time zone data it embeds.
#
#   third_party/icu/       ICU's common library (Debian's patches applied),
#                          for Unicode case mapping and White_Space, with
#                          ICU's empty stub data: the core reads no ICU data
#   third_party/simdjson/  simdjson's amalgamated simdjson.h / simdjson.cpp
#   third_party/cctz/      Google's cctz (time zones from compiled TZif data)
#   third_party/tzdata/    the IANA release of src/calendar/tzdata.release
#                          (scripts/tzdata.sh)
#
# Debian's static ICU archives are not position-independent, its simdjson
# ships only a shared library and its cctz only a shared library built for
# the system's zone files, so none can go into an extension module as it is:
# the build compiles them from these sources instead.
#
# The source packages come through apt with a private configuration under
# build/deps/apt (the machine's apt sources are not touched): the Debian
# mirror the machine already uses, as deb-src, for bookworm and its updates.
# apt checks every file against the signed index; the upstream tarballs are
# also checked against the hashes below. cctz is the upstream tarball of
# Debian 13's source package (2.4), fetched from the same mirror's pool by
# apt-helper against its pinned hash (the one trixie's signed index lists)
# and compiled as it is, without Debian's packaging. Downloads stay in
# build/deps, so a second run only re-extracts. Needs: apt-get, patch.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=$root/build/deps
out=$root/third_party

ICU_UPSTREAM=72.1
ICU_ORIG_SHA256=a2d2d38217092a7ed56635e34467f92f976b370e20182ad325edea6681a71d68
SIMDJSON_UPSTREAM=3.0.1
SIMDJSON_ORIG_SHA256=156b1bc5eb0561b2bd166b46d191fd3d95a3e709cc63761477d3b7aec2b6e9ed
CCTZ_UPSTREAM=2.4+dfsg1
CCTZ_ORIG_SHA256=4710ba46a723a421802c1672b122a5e68ce0e444b35a15cc0667b8942d98154b

for tool in apt-get patch; do
    command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin:/sbin
    command -v "$tool" >/dev/null || { echo "fetch-deps: $tool is missing (see scripts/system-deps.sh)" >&2; exit 1; }
done

main_mirror=$("$root/scripts/debian-mirror.sh" debian)
security_mirror=$("$root/scripts/debian-mirror.sh" debian-security)
if [ -z "$main_mirror" ]; then
    echo "fetch-deps: no Debian mirror in /etc/apt; set KORVEX_DEBIAN_MIRROR" >&2
    exit 1
fi
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

apt_dir=$cache/apt
mkdir -p "$apt_dir"/sources "$apt_dir"/lists/partial "$apt_dir"/cache/archives/partial "$cache"/src
{
    printf 'Types: deb-src\nURIs: %s\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: %s\n' \
        "$main_mirror" "$keyring"
    if [ -n "$security_mirror" ]; then
        printf '\nTypes: deb-src\nURIs: %s\nSuites: bookworm-security\nComponents: main\nSigned-By: %s\n' \
            "$security_mirror" "$keyring"
    fi
} >"$apt_dir/sources/korvex.sources"
apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root" -qq)

# The index is refreshed at most once a day; the tarballs are kept.
if [ -z "$(find "$apt_dir/lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null)" ]; then
    apt-get "${apt_opts[@]}" update
fi
(
    cd "$cache/src"
    for pkg in icu simdjson; do
        apt-get "${apt_opts[@]}" source --download-only "$pkg" >/dev/null
    done
)

# The newest revision of each, as apt picked it.
newest() { ls "$cache"/src/"$1"_"$2"-*.dsc | sort -V | tail -n1; }
icu_dsc=$(newest icu "$ICU_UPSTREAM")
simdjson_dsc=$(newest simdjson "$SIMDJSON_UPSTREAM")
check() {  # $1 file, $2 sha256
    echo "$2  $1" | sha256sum --quiet -c - || { echo "fetch-deps: $1 does not match its pinned hash" >&2; exit 1; }
}
check "$cache/src/icu_$ICU_UPSTREAM.orig.tar.gz" "$ICU_ORIG_SHA256"
check "$cache/src/simdjson_$SIMDJSON_UPSTREAM.orig.tar.gz" "$SIMDJSON_ORIG_SHA256"
cctz_tar=$cache/src/cctz_$CCTZ_UPSTREAM.orig.tar.xz
if [ ! -f "$cctz_tar" ]; then
    /usr/lib/apt/apt-helper -qq -o APT::Sandbox::User=root download-file "$main_mirror/pool/main/c/cctz/cctz_$CCTZ_UPSTREAM.orig.tar.xz" \
        "$cctz_tar" "SHA256:$CCTZ_ORIG_SHA256"
fi
check "$cctz_tar" "$CCTZ_ORIG_SHA256"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out/icu" "$out/simdjson" "$out/cctz"
mkdir -p "$out/icu" "$out/simdjson" "$out/cctz"

# ICU: upstream tarball, then Debian's patches in their order.
tar -xzf "$cache/src/icu_$ICU_UPSTREAM.orig.tar.gz" -C "$work"
debian_tar=$(ls "${icu_dsc%.dsc}".debian.tar.* | head -n1)
mkdir -p "$work/debian-icu"
tar -xf "$debian_tar" -C "$work/debian-icu"
while read -r p; do
    case "$p" in ''|'#'*) continue;; esac
    patch -d "$work/icu" -p1 -s <"$work/debian-icu/debian/patches/$p"
done <"$work/debian-icu/debian/patches/series"
cp -r "$work/icu/source/common" "$work/icu/source/stubdata" "$out/icu/"
cp "$work/icu/LICENSE" "$out/icu/LICENSE"

# simdjson: the amalgamated pair (the header is the one libsimdjson-dev ships).
tar -xzf "$cache/src/simdjson_$SIMDJSON_UPSTREAM.orig.tar.gz" -C "$work"
cp "$work/simdjson-$SIMDJSON_UPSTREAM"/singleheader/simdjson.{h,cpp} "$out/simdjson/"
cp "$work/simdjson-$SIMDJSON_UPSTREAM/LICENSE" "$out/simdjson/LICENSE"

# cctz: its headers and library sources, without tests, benchmark and tool.
tar -xJf "$cctz_tar" -C "$work"
cctz_src=$(ls -d "$work"/cctz-*/ | head -n1)
cp -r "$cctz_src/include" "$out/cctz/"
mkdir -p "$out/cctz/src"
for f in "$cctz_src"/src/*.cc "$cctz_src"/src/*.h; do
    case "$(basename "$f")" in *_test.cc|*benchmark*|time_tool.cc) continue;; esac
    cp "$f" "$out/cctz/src/"
done
cp "$cctz_src/LICENSE.txt" "$out/cctz/LICENSE"

"$root/scripts/tzdata.sh" fetch

{
    echo "icu $(basename "$icu_dsc" .dsc | cut -d_ -f2) (Debian source package), common library, stub data"
    echo "simdjson $(basename "$simdjson_dsc" .dsc | cut -d_ -f2) (Debian source package)"
    echo "cctz $CCTZ_UPSTREAM (upstream tarball of Debian's source package)"
    echo "tzdata $(cat "$out/tzdata/RELEASE") (PyPI tzdata wheel, see src/calendar/tzdata.release)"
} >"$out/VERSIONS"
cat "$out/VERSIONS"
