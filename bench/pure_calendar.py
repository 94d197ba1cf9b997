"""A straightforward pure-Python business-time calendar with zoneinfo.

This is the yardstick for korvex's `Calendar.get_bus_ttx`: what a Python user
would write from the calendar document.  It reads the same JSON document that
korvex embeds, builds per-weekday cumulative quarter-hour tables, and places
an instant on the business-year axis as local year + (business weight elapsed
in the year) / (business weight of the whole year), with the year totals
cached per year.
"""

from __future__ import annotations

import json
import math
from datetime import date, datetime
from pathlib import Path
from zoneinfo import ZoneInfo

DOCUMENT = Path(__file__).resolve().parent.parent / "src" / "calendar" / "btcusdt.json"
WEEKDAYS = ("monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday")


def _unsigned(piece: str) -> int:
    """An optional '+' then decimal digits; anything else counts as 0."""
    text = piece[1:] if piece.startswith("+") else piece
    if not text or not all("0" <= ch <= "9" for ch in text):
        return 0
    value = int(text)
    return value if value < 2**64 else 0


def _label_bucket(label: str) -> int | None:
    start = label.split("-", 1)[0].strip()  # str.strip() trims Unicode White_Space
    pieces = start.split(":")
    hours = _unsigned(pieces[0]) if pieces else 0
    minutes = _unsigned(pieces[1]) if len(pieces) > 1 else 0
    minute = hours * 60 + minutes
    return None if minute >= 1440 else minute // 15


class PureCalendar:
    def __init__(self, path: Path = DOCUMENT) -> None:
        doc = json.loads(Path(path).read_text(encoding="utf-8"))
        day_weightings = doc["DayWeightings"]
        time_weightings = doc["TimeWeightings"]
        self.zone = ZoneInfo(doc["IanaTimeZone"])
        self.day_weights = [0.0] * 7
        self.cumulative: list[list[float] | None] = [None] * 7
        for key, weight in day_weightings.items():
            name = key.lower()
            if name not in WEEKDAYS:
                continue
            weight = float(weight)
            raw = [0.0] * 96
            labels = time_weightings.get(key)
            if labels is None:
                raw = [1.0] * 96
            else:
                for label, value in labels.items():
                    bucket = _label_bucket(label)
                    if bucket is not None:
                        raw[bucket] = float(value)
            total = 0.0
            for value in raw:  # plain left-to-right sum, as the tables are defined
                total += value
            table = [0.0] * 97
            for k in range(96):
                share = 0.0 if total == 0 else (raw[k] / total) * weight
                table[k + 1] = table[k] + share
            index = WEEKDAYS.index(name)
            self.cumulative[index] = table
            self.day_weights[index] = weight
        self.week_weight = 0.0
        for weight in self.day_weights:
            self.week_weight += weight
        self.year_weights: dict[int, float] = {}

    def _days_weight(self, first_weekday: int, days: int) -> float:
        """Weight of `days` whole days starting on `first_weekday`, as whole
        weeks plus the single days left over, added in calendar order."""
        total = float(days // 7) * self.week_weight
        for i in range(days % 7):
            total += self.day_weights[(first_weekday + i) % 7]
        return total

    def year_total(self, year: int) -> float:
        total = self.year_weights.get(year)
        if total is None:
            days = (date(year + 1, 1, 1) - date(year, 1, 1)).days
            total = self._days_weight(date(year, 1, 1).weekday(), days)
            self.year_weights[year] = total
        return total

    def year_position(self, instant: datetime) -> float:
        local = instant.astimezone(self.zone)
        year = local.year
        jan1 = date(year, 1, 1)
        weight = self._days_weight(jan1.weekday(), local.toordinal() - jan1.toordinal())
        table = self.cumulative[local.weekday()]
        if table is not None:
            s = float(local.hour * 3600 + local.minute * 60 + local.second)
            k = min(int(s // 900), 95)
            f = math.fmod(s, 900.0) / 900
            weight += (table[k + 1] - table[k]) * f + table[k]
        return year + weight / self.year_total(year)

    def get_bus_ttx(self, start: datetime, end: datetime) -> float:
        return self.year_position(end) - self.year_position(start)
