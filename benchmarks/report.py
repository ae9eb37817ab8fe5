"""One printed line per compared pair: the two figures, their ratio, the goal."""

from __future__ import annotations

import dataclasses
import statistics
from typing import Callable, Optional


@dataclasses.dataclass
class Comparison:
    name: str
    figure: str                 # what is compared, e.g. "cpu/call"
    ours: float                 # the client's figure
    theirs: Optional[float]     # the reference figure; None when only ours is reported
    unit: str
    goal: str                   # as printed, e.g. "ratio <= 1.03"
    met: Optional[bool]         # None: reported only, no goal
    ours_label: str = "client"
    theirs_label: str = "raw"
    ratio: Optional[float] = None

    def __post_init__(self) -> None:
        if self.ratio is None and self.theirs:
            self.ratio = self.ours / self.theirs

    def line(self) -> str:
        verdict = {True: "met", False: "MISSED", None: "-"}[self.met]
        ratio = f"{self.ratio:7.3f}" if self.ratio is not None else "      -"
        theirs = (f"{self.theirs_label} {_fmt(self.theirs):>10} {self.unit:<5}" if self.theirs is not None
                  else " " * (len(self.theirs_label) + 17))
        return (f"{self.name:<28} {self.figure:<15} {self.ours_label} {_fmt(self.ours):>10} {self.unit:<5} "
                f"{theirs} ratio {ratio}   goal {self.goal:<24} {verdict}")


@dataclasses.dataclass
class NotMeasured:
    name: str
    reason: str
    met: Optional[bool] = False

    def line(self) -> str:
        return f"{self.name:<28} not measured: {self.reason}   MISSED"


def _fmt(value: float) -> str:
    if value >= 100:
        return f"{value:.1f}"
    if value >= 10:
        return f"{value:.2f}"
    return f"{value:.3f}"


def ratio_at_most(limit: float) -> Callable[[float], bool]:
    return lambda ratio: ratio <= limit


def median(values) -> float:
    return statistics.median(values)
