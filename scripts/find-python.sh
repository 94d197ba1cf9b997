#!/usr/bin/env bash
# Prints the path of a working interpreter of the requested minor version
# (default: the newest of 3.13, 3.12). The pyenv shim on PATH may refuse a
# version that is not selected, so every candidate is tried, not just found.
set -u
want="${1:-}"
versions=${want:-"3.13 3.12"}
try() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1 && echo "$1"; }
for v in $versions; do
    for cand in "python$v" "/usr/bin/python$v" "/usr/local/bin/python$v"; do
        p=$(command -v "$cand" 2>/dev/null) || continue
        try "$p" && exit 0
    done
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for d in $(ls -d "$root"/versions/"$v"* 2>/dev/null | sort -rV); do
        [ -x "$d/bin/python$v" ] && try "$d/bin/python$v" && exit 0
    done
done
echo "no Python ${want:-3.12 or later} found (python3.13/python3.12 on PATH or under pyenv)" >&2
exit 1
