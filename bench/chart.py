#!/usr/bin/python3
"""Draws the comparison of bench_e2e's JSON as one PNG: throughput and GUI timer lag p99 of
the client and the two QtWebSockets peers, for the 100-byte flood and 1 MiB messages.

usage: chart.py BENCH_E2E_JSON OUTPUT_PNG
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PEERS = [
    ("client", "client", "#4caf50"),
    ("qt_threaded", "QWebSocket\non a QThread", "#4daafc"),
    ("qt_gui", "QWebSocket on\nthe GUI thread", "#ff9f43"),
]
# Panel title, unit, and each peer's key in the JSON.
PANELS = [
    ("100 B stdout to handler", "messages/s",
     {"client": "client_ws", "qt_threaded": "qt_threaded_ws", "qt_gui": "qt_gui_ws"}),
    ("1 MiB all_modules to handler", "MiB/s",
     {"client": "client_large", "qt_threaded": "qt_threaded_large", "qt_gui": "qt_gui_large"}),
    ("GUI timer lag p99, 100 B flood", "ms (lower is better)",
     {"client": "lag_p99", "qt_threaded": "qt_threaded_lag_p99", "qt_gui": "qt_gui_lag_p99"}),
    ("GUI timer lag p99, 1 MiB flood", "ms (lower is better)",
     {"client": "client_large_lag_p99", "qt_threaded": "qt_threaded_large_lag_p99",
      "qt_gui": "qt_gui_large_lag_p99"}),
]


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        figures = json.load(f)
    fig, axes = plt.subplots(1, len(PANELS), figsize=(16, 4.2))
    for ax, (title, unit, keys) in zip(axes, PANELS):
        names, values, colors = [], [], []
        for peer, label, color in PEERS:
            entry = figures.get(keys[peer])
            if entry is None:
                continue
            names.append(label)
            values.append(entry["median"])
            colors.append(color)
        bars = ax.bar(names, values, color=colors)
        ax.bar_label(bars, labels=[f"{v:,.0f}" if v >= 100 else f"{v:.1f}" for v in values],
                     fontsize=8)
        ax.set_title(title, fontsize=10)
        ax.set_ylabel(unit, fontsize=9)
        ax.tick_params(axis="x", labelsize=8)
        ax.margins(y=0.15)
    fig.suptitle(f"bench_e2e, medians of {figures.get('runs')} runs, loopback ws", fontsize=11)
    fig.tight_layout()
    fig.savefig(argv[2], dpi=90)
    print(f"chart written to {argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
