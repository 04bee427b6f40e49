"""Draw docs/retention.png: retention over days since recall, and where items change tier.

Every point comes from the engine itself ("tier" on one record), so the
figure shows what the installed module computes. Needs matplotlib:

    pip install .[docs]
    python docs/plot_retention.py            # writes docs/retention.png
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402
from quillmarrow_engine_native import run  # noqa: E402

OUTPUT = Path(__file__).with_name("retention.png")
COUNTS = [1, 3, 10, 30, 100, 1000, 10000]
IMPORTANCE = FREQUENCY = 0.5
DAY_MARKS = [7, 30, 180]
THRESHOLDS = [(0.8, "0.8 strong"), (0.65, "0.65 review"), (0.4, "0.4 weak")]
X_MIN, X_MAX = 0.1, 1000.0
Y_MIN, Y_MAX = 0.01, 15.0

TIER_COLOURS = {
    "hot": "#d7301f",
    "warm_episodic": "#f0a30a",
    "warm_semantic": "#2b8c3e",
    "cold": "#3a6fb0",
}
TIER_LABELS = {
    "hot": "hot: inject_to_prompt",
    "warm_episodic": "warm_episodic: spaced_repetition / maintain_warm",
    "warm_semantic": "warm_semantic: long_term_semantic",
    "cold": "cold: archive_on_demand",
}


def days_axis(points: int = 600) -> list[float]:
    ratio = (X_MAX / X_MIN) ** (1 / (points - 1))
    return [X_MIN * ratio**i for i in range(points)]


def decision(days: float, count: int) -> tuple[float, str]:
    record = [days, count, IMPORTANCE, FREQUENCY]
    result = json.loads(run("tier", json.dumps(record)))["result"]
    return result["retention"], result["tier"]


def regions(ax: Axes) -> None:
    """Shade the (days, retention) plane by the tier an item there gets
    (retrieved at least once, neither procedural nor pinned)."""
    def box(x0: float, x1: float, y0: float, y1: float, tier: str) -> None:
        ax.add_patch(Rectangle((x0, y0), x1 - x0, y1 - y0, color=TIER_COLOURS[tier],
                               alpha=0.10, linewidth=0, zorder=0))

    box(X_MIN, 7, Y_MIN, Y_MAX, "hot")
    box(7, X_MAX, 0.8, Y_MAX, "warm_semantic")
    box(7, 30, 0.65, 0.8, "warm_episodic")
    box(30, 180, 0.4, 0.8, "warm_episodic")
    box(7, 30, 0.4, 0.65, "warm_episodic")
    box(7, 180, Y_MIN, 0.4, "cold")
    box(180, X_MAX, Y_MIN, 0.8, "cold")


def draw(output: Path) -> None:
    fig, ax = plt.subplots(figsize=(10, 6.2), dpi=110)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlim(X_MIN, X_MAX)
    ax.set_ylim(Y_MIN, Y_MAX)
    regions(ax)

    days = days_axis()
    for count in COUNTS:
        points = [decision(d, count) for d in days]
        # One line piece per run of equal tier, each in its tier's colour;
        # neighbouring pieces share their boundary point so the curve is whole.
        start = 0
        for i in range(1, len(points) + 1):
            if i == len(points) or points[i][1] != points[start][1]:
                end = min(i + 1, len(points))
                xs = days[start:end]
                ys = [max(r, Y_MIN / 2) for r, _ in points[start:end]]
                ax.plot(xs, ys, color=TIER_COLOURS[points[start][1]], linewidth=2.2, zorder=3)
                start = i
        # Label the curve where it falls through retention 1.
        label_at = next((i for i, (r, _) in enumerate(points) if r < 1.0), None)
        if label_at is not None:
            ax.annotate(f"{count:,}×", (days[label_at], 1.0), xytext=(3, 3),
                        textcoords="offset points", ha="left", va="bottom", fontsize=8.5,
                        color="#333333", zorder=4)

    for y, text in THRESHOLDS:
        ax.axhline(y, color="#555555", linestyle="--", linewidth=0.9, zorder=2)
        ax.text(X_MAX * 0.93, y, text, ha="right", va="bottom", fontsize=8.5, color="#333333")
    for x in DAY_MARKS:
        ax.axvline(x, color="#555555", linestyle=":", linewidth=1.1, zorder=2)
        ax.text(x, Y_MAX * 0.93, f" day {x}", ha="left", va="top", fontsize=9, color="#333333")
    ax.axhline(10, color="#999999", linewidth=0.6, zorder=1)
    ax.text(X_MIN * 1.08, 10, "cap 10", va="bottom", fontsize=8, color="#666666")

    ax.set_xlabel("days since last recall")
    ax.set_ylabel("retention (engine's score)")
    ax.set_title(
        "Retention over days since recall, one curve per retrieval count (n×)\n"
        f"(importance = frequency = {IMPORTANCE}; colour = tier the engine assigns)",
        fontsize=11,
    )
    handles = [Patch(color=TIER_COLOURS[t], label=TIER_LABELS[t]) for t in TIER_COLOURS]
    ax.legend(handles=handles, loc="lower left", fontsize=8.5, framealpha=0.95)
    ax.text(1.0, -0.11, "Not shown: pinned items (keep_forever_tag) and procedural items with "
            "3+ retrievals past day 7 (keep_procedural).",
            transform=ax.transAxes, ha="right", fontsize=7.5, color="#555555")
    fig.tight_layout()
    fig.savefig(output, metadata={"Software": None})
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", type=Path, default=OUTPUT)
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
