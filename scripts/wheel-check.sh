#!/usr/bin/env bash
# Installs the wheel in dist/ on a clean machine and uses it there: a minimal
# Debian root filesystem (mmdebstrap, minbase: no ICU, no simdjson, no
# cctz, no compiler, and its zone files removed) with its own Python,
# entered with chroot. Checks that each
# installed module needs nothing from the system beyond glibc's libraries and
# libgcc_s, then runs examples/quickstart.py and a short korvex_chain check.
#
# The root filesystem tarball and the dependencies' wheels are downloaded once into
# build/wheel-check; every run unpacks a fresh copy. Runs as root (chroot,
# and a private mount namespace for /proc that vanishes with the run).
# KORVEX_CHECK_SUITE picks the Debian release (default trixie: Python 3.13).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=$root/build/wheel-check
suite=${KORVEX_CHECK_SUITE:-trixie}
start=$(date +%s)

shopt -s nullglob
wheels=("$root"/dist/korvex-*.whl)
if [ "${#wheels[@]}" -ne 1 ]; then
    echo "wheel-check: expected exactly one wheel in dist/, found ${#wheels[@]} (make wheel)" >&2
    exit 1
fi
wheel=${wheels[0]}
case "$(basename "$wheel")" in
    *-manylinux_*) ;;
    *) echo "wheel-check: $(basename "$wheel") carries no manylinux tag" >&2; exit 1 ;;
esac
if [ "$(id -u)" != 0 ]; then
    echo "wheel-check: needs root (chroot)" >&2
    exit 1
fi
command -v mmdebstrap >/dev/null || { echo "wheel-check: mmdebstrap is missing (make deps)" >&2; exit 1; }

mkdir -p "$cache"
tarball=$cache/$suite-minbase.tar
if [ ! -f "$tarball" ]; then
    mirror=$("$root/scripts/debian-mirror.sh" debian)
    mmdebstrap --quiet --variant=minbase --include=python3,python3-venv --mode=root --format=tar \
        "$suite" "$tarball.part" ${mirror:+"$mirror"}
    mv "$tarball.part" "$tarball"
fi

rootfs=$(mktemp -d "$cache/rootfs.XXXXXX")
trap 'rm -rf "$rootfs"' EXIT
tar -xf "$tarball" -C "$rootfs"
pytag=$(chroot "$rootfs" python3 -c 'import sys; print("%d%d" % sys.version_info[:2])')

# The wheel's dependencies (numpy, pandas, scipy, pyarrow and theirs) for that
# interpreter, fetched once per list of requirements.
reqs=$("$root/scripts/requirements.py" runtime)
wheelhouse=$cache/wheelhouse-cp$pytag-$(printf '%s' "$reqs" | sha256sum | cut -c1-12)
if [ ! -f "$wheelhouse/.complete" ]; then
    # shellcheck disable=SC2086
    "$root/.venv/bin/pip" download --quiet --disable-pip-version-check --only-binary=:all: \
        --python-version "$pytag" --implementation cp --abi "cp$pytag" \
        --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 \
        -d "$wheelhouse" $reqs
    touch "$wheelhouse/.complete"
fi

mkdir -p "$rootfs/check/wheels"
cp "$wheel" "$rootfs/check/"
cp "$wheelhouse"/*.whl "$rootfs/check/wheels/"
cp "$root/examples/quickstart.py" "$rootfs/check/"
cat >"$rootfs/check/chain_check.py" <<'EOF'
"""korvex_chain on a few values: the array results equal korvex's, bit for bit."""
import datetime as dt

import numpy as np

import korvex
import korvex_chain as kc

ttx = np.array([0.1, 0.5, 1.0, 2.0])
strike = np.array([80.0, 100.0, 120.0, 150.0])
vol = np.array([0.25, 0.5, 0.8, 1.2])
fwd = 100.0
greeks = kc.b76(fwd, strike, ttx, vol, "call")
prices = [korvex.b76_fairvalue(fwd, k, t, v, "call") for k, t, v in zip(strike, ttx, vol)]
assert greeks.fairvalue.tolist() == prices, (greeks.fairvalue, prices)
implied = kc.implied_vols(ttx, fwd, strike, greeks.fairvalue, "call")
scalar = [korvex.calibrate_black76_iv(t, fwd, k, p, "call") for t, k, p in zip(ttx, strike, prices)]
assert implied.tolist() == scalar, (implied, scalar)
assert np.allclose(implied, vol, rtol=0, atol=1e-4), implied

start = np.array(["2026-12-07T15:30", "2027-03-06T12:00"], dtype="datetime64[s]")
end = np.array(["2027-03-26T20:00", "2027-03-16T12:00"], dtype="datetime64[s]")
cal = korvex.Calendar("BTCUSDT")
utc = [[dt.datetime.fromisoformat(str(x)).replace(tzinfo=dt.timezone.utc) for x in a] for a in (start, end)]
assert kc.bus_ttx(start, end).tolist() == [cal.get_bus_ttx(a, b) for a, b in zip(*utc)]
print("korvex_chain: implied_vols", np.round(implied, 6).tolist(), "equal to calibrate_black76_iv")

# the chain workflow, with its pandas and scipy: a synthetic chain read and fitted
chain = kc.read_chain(kc.make_chain("VolGeo", seed=3, expiry_days=(30,)).table, clock="calendar")
fit = kc.fit_chain(chain, "VolGeo").fits[0]
assert fit.status == "ok" and fit.model.arb_free(), fit.summary()
print("korvex_chain: a synthetic expiry fitted,", fit.summary().splitlines()[0])
EOF
cat >"$rootfs/check/run.sh" <<'EOF'
set -eu
cd /check
for tool in gcc g++ cc c++; do
    if command -v "$tool" >/dev/null; then echo "a compiler is installed: $tool" >&2; exit 1; fi
done
if ls /usr/lib/*/libicu* /usr/lib/*/libsimdjson* /usr/lib/*/libcctz* >/dev/null 2>&1; then
    echo "ICU, simdjson or cctz is installed" >&2; exit 1
fi
# The modules carry their time zones: none of the system's are left.
rm -rf /usr/share/zoneinfo /etc/localtime
python3 -m venv venv
venv/bin/pip install --quiet --disable-pip-version-check --no-index --find-links wheels ./korvex-*.whl
status=0
for so in $(venv/bin/python -c 'import korvex, korvex_chain._kernels as k; print(korvex.__file__, k.__file__)'); do
    echo "ldd $so:"; ldd "$so" | sed 's/^/  /'
    extra=$(ldd "$so" | awk '{print $1}' | grep -vE '^(linux-vdso\.so\.1|(/lib64/)?ld-linux-x86-64\.so\.2|lib(c|m|dl|pthread|rt|util|resolv)\.so\.[0-9]+|libgcc_s\.so\.1)$' || true)
    if [ -n "$extra" ]; then echo "  needs from the system: $extra" >&2; status=1; fi
done
[ "$status" = 0 ]
venv/bin/python quickstart.py
venv/bin/python chain_check.py
EOF
# The check sees none of this machine's environment either.
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    unshare --mount --propagation private sh -c 'mount -t proc proc "$1/proc" && chroot "$1" sh /check/run.sh' sh "$rootfs"
echo "wheel-check: $(basename "$wheel") works on Debian $suite (Python ${pytag:0:1}.${pytag:1}) in $(( $(date +%s) - start )) s"
