import datetime as dt
import os

import pytest

# pyarrow (under pandas and korvex_chain's readers) allocates through mimalloc
# by default, whose heap can gain resident pages long after the allocations
# (a one-time jump of a few MB in the middle of an unrelated loop, which the
# leak checks would take for a leak). The tests run pyarrow on the system
# allocator; set before anything imports pyarrow.
os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")


class Stamp:
    """An object whose timestamp() returns a fixed value (or raises it)."""

    def __init__(self, value):
        self.value = value

    def timestamp(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.fixture
def expiry():
    return dt.datetime(2027, 3, 26, 8, 0, tzinfo=dt.timezone.utc)
