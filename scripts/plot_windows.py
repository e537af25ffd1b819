#!/usr/bin/python3
"""Plots sending windows over time from peer window logs (peer --window-log FILE).

Each log holds lines "<peer id> <ms since start> <window in packets>". Logs named
<case>-<profile>-<peer>.log (as the loss benchmark keeps them) are grouped into one panel per
case, one line per profile and uploader; any other name becomes a panel of its own.

    /usr/bin/python3 scripts/plot_windows.py --out windows.png LOG [LOG ...]
"""

import argparse
import collections
import sys
from pathlib import Path


def read_log(path):
    """{peer id: ([seconds], [window])} of one log; malformed lines are skipped."""
    series = collections.defaultdict(lambda: ([], []))
    for line in Path(path).read_text(errors="replace").splitlines():
        fields = line.split()
        if len(fields) != 3:
            continue
        try:
            peer, ms, window = (int(f) for f in fields)
        except ValueError:
            continue
        series[peer][0].append(ms / 1000.0)
        series[peer][1].append(window)
    return series


def panel_and_label(path):
    parts = Path(path).stem.rsplit("-", 2)
    if len(parts) == 3:
        return parts[0], f"{parts[1]} peer {parts[2]}"
    return Path(path).stem, Path(path).stem


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", required=True, help="PNG to write")
    p.add_argument("logs", nargs="+", help="window logs")
    args = p.parse_args(argv)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot_windows: matplotlib is missing (apt-get install python3-matplotlib)",
              file=sys.stderr)
        return 2
    panels = collections.OrderedDict()
    for log in args.logs:
        panel, label = panel_and_label(log)
        panels.setdefault(panel, []).append((label, read_log(log)))
    fig, axes = plt.subplots(len(panels), 1, figsize=(10, 3 * len(panels)), squeeze=False)
    for ax, (panel, logs) in zip(axes[:, 0], panels.items()):
        for label, series in logs:
            for _, (t, w) in sorted(series.items()):
                style = "-" if label.startswith("adaptive") else ":"
                ax.step(t, w, style, where="post", label=label, linewidth=1)
        ax.set_title(panel)
        ax.set_xlabel("seconds since the uploader started")
        ax.set_ylabel("window (packets)")
        ax.legend(fontsize="small", ncol=2)
    fig.tight_layout()
    fig.savefig(args.out, dpi=90)
    print(f"window plot written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
