#!/usr/bin/python3
"""Plots sending windows over time from peer window logs (peer --window-log FILE).

Each log holds lines "<peer id> <ms since start> <window in packets>". Only a peer that sends
chunks (an uploader) changes a sending window, so a downloader's log stays empty. Logs named
<case>-<profile>-<peer>.log (as the loss benchmark keeps them, e.g. loss_1pct-adaptive-2.log)
are grouped into one panel per case, titled with the case's underscores as blanks, one line per
profile and uploader; any other name becomes a panel of its own.

    /usr/bin/python3 scripts/plot_windows.py --out PNG LOG [LOG ...]

--out PNG names the picture to write. A log that cannot be read ends the run with one line on
standard error and status 2, before anything is drawn. An empty log (no window lines) is named
on standard error; the others are drawn, and the status is 1.
"""

import argparse
import collections
import sys
from pathlib import Path


def read_log(path):
    """{peer id: ([seconds], [window])} of one log; malformed lines are skipped. Raises OSError
    when the file cannot be read."""
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


def read_logs(paths):
    """[(path, series)] of every log, or None after a one-line message when one cannot be read."""
    logs = []
    for path in paths:
        try:
            logs.append((path, read_log(path)))
        except OSError as e:
            print(f"plot_windows: cannot read {path}: {e.strerror}", file=sys.stderr)
            return None
    return logs


def panel_and_label(path):
    parts = Path(path).stem.rsplit("-", 2)
    if len(parts) == 3:
        return parts[0].replace("_", " "), f"{parts[1]} peer {parts[2]}"
    return Path(path).stem, Path(path).stem


def draw(logs, out):
    """Writes the picture of [(path, series)] to out; 2 when matplotlib is missing, else 0."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot_windows: matplotlib is missing (apt-get install python3-matplotlib)",
              file=sys.stderr)
        return 2
    panels = collections.OrderedDict()
    for path, series in logs:
        panel, label = panel_and_label(path)
        panels.setdefault(panel, []).append((label, series))
    fig, axes = plt.subplots(len(panels), 1, figsize=(10, 3 * len(panels)), squeeze=False)
    for ax, (panel, entries) in zip(axes[:, 0], panels.items()):
        for label, series in entries:
            for _, (t, w) in sorted(series.items()):
                style = "-" if label.startswith("adaptive") else ":"
                ax.step(t, w, style, where="post", label=label, linewidth=1)
        ax.set_title(panel)
        ax.set_xlabel("seconds since the uploader started")
        ax.set_ylabel("window (packets)")
        ax.legend(fontsize="small", ncol=2)
    fig.tight_layout()
    fig.savefig(out, dpi=90)
    print(f"window plot written to {out}")
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Only a sending peer (an uploader) logs windows; a downloader's log is empty.")
    p.add_argument("--out", required=True, metavar="PNG", help="the picture to write")
    p.add_argument("logs", nargs="+", metavar="LOG", help="window logs (peer --window-log)")
    args = p.parse_args(argv)
    logs = read_logs(args.logs)
    if logs is None:
        return 2
    empty = [path for path, series in logs if not series]
    for path in empty:
        print(f"plot_windows: {path} holds no window lines (only an uploader logs windows)",
              file=sys.stderr)
    drawn = [(path, series) for path, series in logs if series]
    if not drawn:
        return 1
    status = draw(drawn, args.out)
    return status if status else (1 if empty else 0)


if __name__ == "__main__":
    sys.exit(main())
