#!/usr/bin/env bash
# The IANA time zone release the modules carry, taken from PyPI's tzdata
# wheel: its compiled zone files (TZif, one per zone or link name), its list
# of names (`zones`) and the IANA release it was made from. The release, the
# wheel's version and the wheel's SHA-256 are recorded in one place,
# src/calendar/tzdata.release; the build embeds what this script unpacks
# into third_party/tzdata/, and the tests compare with zoneinfo reading the
# same wheel, installed as their tzdata requirement.
#
#   scripts/tzdata.sh fetch            the recorded release into third_party/tzdata/
#                                      (the wheel is kept in build/deps/src and
#                                      checked against the recorded hash)
#   scripts/tzdata.sh update [RELEASE] record RELEASE (such as 2027a; default:
#                                      the newest that PyPI offers), then fetch it
#
# pip downloads the wheel: on `update` it checks the file against the hash
# the index publishes for it, on `fetch` against the recorded one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
record=$root/src/calendar/tzdata.release
cache=$root/build/deps/src
out=$root/third_party/tzdata
py=$("$root/scripts/find-python.sh")
pip_q=(--quiet --disable-pip-version-check --no-deps --only-binary=:all:)

field() {  # $1 key
    local v
    v=$(sed -n "s/^$1=//p" "$record")
    [ -n "$v" ] || { echo "tzdata: $record has no $1=" >&2; exit 1; }
    echo "$v"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints "<IANA release> <wheel version>" as the wheel's tzdata/__init__.py states them.
wheel_release() {
    "$py" - "$1" <<'EOF'
import re, sys, zipfile
init = zipfile.ZipFile(sys.argv[1]).read("tzdata/__init__.py").decode()
get = lambda key: re.search(rf'^{key} = "([^"]+)"', init, re.M).group(1)
print(get("IANA_VERSION"), get("__version__"))
EOF
}

fetch() {
    local release version sha whl
    release=$(field release)
    version=$(field version)
    sha=$(field sha256)
    mkdir -p "$cache"
    whl=$(ls "$cache"/tzdata-"$version"-*.whl 2>/dev/null | head -n1 || true)
    if [ -z "$whl" ]; then
        printf 'tzdata==%s --hash=sha256:%s\n' "$version" "$sha" >"$work/requirements.txt"
        "$py" -m pip download "${pip_q[@]}" --require-hashes -r "$work/requirements.txt" -d "$work/download"
        mv "$work"/download/tzdata-"$version"-*.whl "$cache/"
        whl=$(ls "$cache"/tzdata-"$version"-*.whl | head -n1)
    fi
    echo "$sha  $whl" | sha256sum --quiet -c - || { echo "tzdata: $whl does not match its pinned hash" >&2; exit 1; }
    read -r got_release got_version < <(wheel_release "$whl")
    if [ "$got_release $got_version" != "$release $version" ]; then
        echo "tzdata: $whl is release $got_release (version $got_version), not $release ($version)" >&2
        exit 1
    fi

    # Only what the build reads: the names, their zone files, the licence.
    "$py" - "$whl" "$work/tzdata" <<'EOF'
import re, sys, zipfile
from pathlib import Path
whl, dest = zipfile.ZipFile(sys.argv[1]), Path(sys.argv[2])
names = whl.read("tzdata/zones").decode().split()
part = re.compile(r"[A-Za-z0-9_+-]+")
for name in names:
    if not all(part.fullmatch(p) for p in name.split("/")):
        sys.exit(f"tzdata: unexpected zone name {name!r}")
    data = whl.read(f"tzdata/zoneinfo/{name}")
    if not data.startswith(b"TZif"):
        sys.exit(f"tzdata: {name} is not a TZif file")
    (dest / "zoneinfo" / name).parent.mkdir(parents=True, exist_ok=True)
    (dest / "zoneinfo" / name).write_bytes(data)
(dest / "zones").write_text("\n".join(names) + "\n")
licences = sorted(n for n in whl.namelist() if ".dist-info/licenses/" in n and not n.endswith("/"))
(dest / "LICENSE").write_bytes(b"\n\n".join(whl.read(n) for n in licences))
EOF
    echo "$release" >"$work/tzdata/RELEASE"
    rm -rf "$out"
    mkdir -p "$(dirname "$out")"
    mv "$work/tzdata" "$out"
    echo "tzdata $release (PyPI tzdata $version): $(wc -l <"$out/zones") zone names in $out"
}

update() {
    local want=${1:-} requirement whl release version sha
    if [ -n "$want" ]; then
        # PyPI numbers the releases of a year 1, 2, ...: 2027a is 2027.1.
        [[ "$want" =~ ^([0-9]{4})([a-z])$ ]] || { echo "tzdata: RELEASE must look like 2027a" >&2; exit 2; }
        requirement="tzdata==${BASH_REMATCH[1]}.$(( $(printf '%d' "'${BASH_REMATCH[2]}") - 96 ))"
    else
        requirement=tzdata
    fi
    "$py" -m pip download "${pip_q[@]}" "$requirement" -d "$work/download"
    whl=$(ls "$work"/download/tzdata-*.whl | head -n1)
    read -r release version < <(wheel_release "$whl")
    if [ -n "$want" ] && [ "$release" != "$want" ]; then
        echo "tzdata: PyPI's $requirement carries release $release, not $want" >&2
        exit 1
    fi
    sha=$(sha256sum "$whl" | cut -d' ' -f1)
    mkdir -p "$cache"
    cp "$whl" "$cache/"
    sed -i -e "s/^release=.*/release=$release/" -e "s/^version=.*/version=$version/" \
        -e "s/^sha256=.*/sha256=$sha/" "$record"
    echo "recorded tzdata $release (PyPI tzdata $version, sha256 $sha) in $record"
    fetch
}

case "${1:-}" in
    fetch) fetch ;;
    update) update "${2:-}" ;;
    *) echo "usage: $0 fetch | update [RELEASE]" >&2; exit 2 ;;
esac
