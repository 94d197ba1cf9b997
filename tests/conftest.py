import datetime as dt

import pytest


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
