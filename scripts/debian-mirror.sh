#!/usr/bin/env bash
# Prints the URL of the Debian archive this machine's apt uses ("debian", the
# default) or of its security archive ("debian-security"), read from the apt
# sources in either format; KORVEX_DEBIAN_MIRROR / KORVEX_DEBIAN_SECURITY_MIRROR
# override it. Prints nothing when there is none.
set -euo pipefail
kind=${1:-debian}
case "$kind" in
    debian) override=${KORVEX_DEBIAN_MIRROR:-} ;;
    debian-security) override=${KORVEX_DEBIAN_SECURITY_MIRROR:-} ;;
    *) echo "usage: $0 [debian|debian-security]" >&2; exit 2 ;;
esac
if [ -n "$override" ]; then echo "$override"; exit 0; fi
{
    grep -hsE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        | sed -E 's/\[[^]]*\]//' | awk '{print $2}' || true
    grep -hsE '^URIs:' /etc/apt/sources.list.d/*.sources | sed -E 's/^URIs:[[:space:]]*//' | tr ' ' '\n' || true
} | grep -E "/$kind/?\$" | head -n1 || true
