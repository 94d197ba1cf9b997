#!/usr/bin/env python3
"""Prints the requirements that pyproject.toml declares, one per line.

    scripts/requirements.py build        the build-system requirements
    scripts/requirements.py runtime      what the wheel itself requires
    scripts/requirements.py test bench   the named optional-dependency groups

pyproject.toml is the one list of the project's Python dependencies: the
Makefile installs from it rather than keeping a second copy. tzdata is
pinned to the version of the time zone release the modules embed, which
src/calendar/tzdata.release records: the tests compare with zoneinfo
reading that very release.
"""
import re
import sys
import tomllib
from pathlib import Path

root = Path(__file__).resolve().parent.parent
project = tomllib.loads((root / "pyproject.toml").read_text())
tz_version = re.search(r"^version=(\S+)$", (root / "src/calendar/tzdata.release").read_text(), re.M).group(1)
extras = project["project"].get("optional-dependencies", {})
for group in sys.argv[1:]:
    if group == "build":
        reqs = project["build-system"]["requires"]
    elif group == "runtime":
        reqs = project["project"].get("dependencies", [])
    elif group in extras:
        reqs = extras[group]
    else:
        sys.exit(f"pyproject.toml has no dependency group {group!r} (known: build, runtime, {', '.join(extras)})")
    print("\n".join(f"tzdata=={tz_version}" if r == "tzdata" else r for r in reqs))
