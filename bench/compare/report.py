#!/usr/bin/env python3
"""Tables and goals from compare_bench's Google Benchmark JSON outputs.

Usage: report.py FILE_OR_DIR...   (a directory stands for its *.json files)

Runs are grouped by pinning mode, read from the CPU affinity each run
recorded in its context; files of the same mode pool their repetitions.
Every figure is the median over the repetitions with [min–max]; ratios
compare those medians with tcp_floor's at the same payload, client count
and pinning (latency: transport / floor, throughput: transport / floor).
"""

import json
import pathlib
import statistics
import sys
from collections import defaultdict

FLOOR = "tcp_floor"
TRANSPORTS = ["tcp_floor", "kiv_call", "kiv_request", "grpc", "zeromq", "thread_start", "kiv_lookup"]
METRICS = [
    ("median_us", "median us"),
    ("p99_us", "p99 us"),
    ("calls_per_s", "calls/s"),
    ("cpu_us_per_call", "CPU us/call"),
    ("server_cpu_us_per_call", "server CPU us/call"),
]


def parse_run_name(run_name):
    """'kiv_call/bytes:16/clients:8/manual_time' -> ('kiv_call', 16, 8)."""
    parts = run_name.split("/")
    fields = dict(part.split(":", 1) for part in parts[1:] if ":" in part)
    return parts[0], int(fields["bytes"]), int(fields["clients"])


def cpu_count(cpu_list):
    """Number of CPUs in a list such as '0', '0-1' or '0,2-3'; None if unreadable."""
    count = 0
    try:
        for item in cpu_list.split(","):
            first, _, last = item.partition("-")
            count += int(last or first) - int(first) + 1
    except ValueError:
        return None
    return count


def mode_of(context):
    affinity = context.get("cpu_affinity", "?")
    allowed = cpu_count(affinity)
    online = context.get("cpus_online")
    pinned = allowed is not None and online is not None and allowed < int(online)
    return f"{'pinned' if pinned else 'unpinned'} (CPUs {affinity})"


class Mode:
    """Every repetition of every benchmark of one pinning mode."""

    def __init__(self):
        # (transport, bytes, clients) -> metric -> [value per repetition]
        self.samples = defaultdict(lambda: defaultdict(list))
        self.errors = []
        self.files = []
        self.contexts = []

    def add(self, path, data):
        self.files.append(path)
        self.contexts.append(data.get("context", {}))
        for run in data.get("benchmarks", []):
            if run.get("run_type", "iteration") != "iteration":
                continue
            key = parse_run_name(run.get("run_name", run["name"]))
            if run.get("error_occurred"):
                self.errors.append(f"{run['name']}: {run.get('error_message', '?')}")
                continue
            for metric, _ in METRICS:
                if metric in run:
                    self.samples[key][metric].append(float(run[metric]))

    def median(self, key, metric):
        values = self.samples.get(key, {}).get(metric)
        return statistics.median(values) if values else None

    def spread(self, key, metric):
        values = self.samples.get(key, {}).get(metric)
        return (min(values), max(values)) if values else None

    def ratio(self, key, metric):
        """This transport's median over the floor's at the same payload and clients."""
        mine = self.median(key, metric)
        floor = self.median((FLOOR, key[1], key[2]), metric)
        if mine is None or not floor:
            return None
        return mine / floor


def fmt(value):
    if value is None:
        return "-"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}x"


def payload_name(size):
    for unit, name in ((1 << 20, "MiB"), (1 << 10, "KiB")):
        if size >= unit and size % unit == 0:
            return f"{size // unit} {name}"
    return f"{size} B"


def transport_rank(name):
    return TRANSPORTS.index(name) if name in TRANSPORTS else len(TRANSPORTS)


def print_table(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        cells = [
            cell.ljust(widths[i]) if i < 3 else cell.rjust(widths[i]) for i, cell in enumerate(row)
        ]
        print("  ".join(cells).rstrip())
        if n == 0:
            print("  ".join("-" * width for width in widths))


def print_mode(name, mode):
    print(f"=== {name} ===")
    for path, context in zip(mode.files, mode.contexts):
        load = context.get("load_avg")
        load_text = " ".join(f"{x:.2f}" for x in load) if load else "?"
        print(
            f"  {path}: {context.get('date', '?')}, build {context.get('kiv_build_type') or 'unspecified'},"
            f" {context.get('num_cpus', '?')} CPUs, load {load_text}"
        )
    counts = [len(m["median_us"]) for m in mode.samples.values() if m.get("median_us")]
    if counts:
        print(f"  repetitions per benchmark: {min(counts)}-{max(counts)}"
              if min(counts) != max(counts) else f"  repetitions per benchmark: {counts[0]}")
    print()
    header = ["transport", "payload", "clients"]
    header += [f"{label} [min–max]" for _, label in METRICS]
    header += ["median/floor", "calls/s/floor"]
    rows = [header]
    keys = sorted(mode.samples, key=lambda k: (k[1], k[2], transport_rank(k[0])))
    for key in keys:
        row = [key[0], payload_name(key[1]), str(key[2])]
        for metric, _ in METRICS:
            spread = mode.spread(key, metric)
            row.append(
                "-" if spread is None
                else f"{fmt(mode.median(key, metric))} [{fmt(spread[0])}–{fmt(spread[1])}]"
            )
        row += [fmt_ratio(mode.ratio(key, "median_us")), fmt_ratio(mode.ratio(key, "calls_per_s"))]
        rows.append(row)
    print_table(rows)
    if mode.errors:
        print("\n  failed runs (left out):")
        for error in mode.errors:
            print(f"    {error}")
    print()


def payloads(mode):
    return sorted({key[1] for key in mode.samples})


def verdict(checks):
    """checks: [(passed or None for missing data, text)] -> PASS, MISS or NO DATA."""
    if not checks or any(passed is None for passed, _ in checks):
        return "NO DATA"
    return "PASS" if all(passed for passed, _ in checks) else "MISS"


def compare_goal(mode, mine, theirs, metric, limit, higher_is_better=False):
    """One check: mine's median of metric against limit times theirs.

    mine and theirs are (transport, payload, clients) keys."""
    a, b = mode.median(mine, metric), mode.median(theirs, metric)
    label = f"{mine[0]} vs {theirs[0]}, {payload_name(mine[1])}, {mine[2]} client(s), {metric}"
    if a is None or b is None:
        return (None, f"{label}: missing")
    ratio = a / b
    passed = ratio >= limit if higher_is_better else ratio <= limit
    sign = ">=" if higher_is_better else "<="
    return (passed, f"{label}: {fmt(a)} vs {fmt(b)} = {ratio:.2f}x (goal {sign} {limit}x)")


def print_goals(name, mode):
    small, large = 16, 1 << 20

    def key(transport, size=small, clients=1):
        return (transport, size, clients)

    latency = "median_us"
    goals = [
        ("kiv_call 16 B at most 2.0x the floor (a goal pinned only)",
         [compare_goal(mode, key("kiv_call"), key(FLOOR), latency, 2.0)]),
        ("kiv_call 16 B faster than ZeroMQ",
         [compare_goal(mode, key("kiv_call"), key("zeromq"), latency, 1.0)]),
        ("eight clients at 16 B: more calls/s than ZeroMQ and at least 0.6x the floor",
         [compare_goal(mode, key("kiv_call", clients=8), key("zeromq", clients=8),
                       "calls_per_s", 1.0, higher_is_better=True),
          compare_goal(mode, key("kiv_call", clients=8), key(FLOOR, clients=8),
                       "calls_per_s", 0.6, higher_is_better=True)]),
        ("kiv_call 1 MiB at most 1.3x the floor and faster than ZeroMQ",
         [compare_goal(mode, key("kiv_call", large), key(FLOOR, large), latency, 1.3),
          compare_goal(mode, key("kiv_call", large), key("zeromq", large), latency, 1.0)]),
        ("kiv_request 16 B at most 1.3x kiv_call",
         [compare_goal(mode, key("kiv_request"), key("kiv_call"), latency, 1.3)]),
        ("server CPU per 16 B call at most 2x the floor's",
         [compare_goal(mode, key("kiv_call"), key(FLOOR), "server_cpu_us_per_call", 2.0)]),
    ]
    print(f"=== goals: {name} ===")
    for title, checks in goals:
        shown = "INFO" if "pinned only" in title and not name.startswith("pinned") else verdict(checks)
        print(f"  {shown:7}  {title}")
        for passed, text in checks:
            mark = "?" if passed is None else ("ok" if passed else "no")
            print(f"           {mark:2} {text}")
    print_design_costs(mode)
    print()


def print_design_costs(mode):
    """What the design adds at 16 B, one client, beside the part it explains."""
    def median(transport):
        return mode.median((transport, 16, 1), "median_us")
    floor, call, request = median(FLOOR), median("kiv_call"), median("kiv_request")
    start, lookup = median("thread_start"), median("kiv_lookup")
    print("  where the time goes (16 B, 1 client, medians):")
    if None not in (floor, call, start):
        print(f"    kiv_call - {FLOOR} = {fmt(call - floor)} us; "
              f"one worker thread started and joined = {fmt(start)} us")
    if None not in (call, request, lookup):
        print(f"    kiv_request - kiv_call = {fmt(request - call)} us; "
              f"directory lookup alone = {fmt(lookup)} us")


def main(arguments):
    paths = []
    for argument in arguments:
        path = pathlib.Path(argument)
        paths += sorted(path.glob("*.json")) if path.is_dir() else [path]
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    modes = defaultdict(Mode)
    for path in paths:
        with open(path, encoding="utf-8") as stream:
            data = json.load(stream)
        modes[mode_of(data.get("context", {}))].add(str(path), data)
    for name in sorted(modes):
        print_mode(name, modes[name])
    for name in sorted(modes):
        print_goals(name, modes[name])
    absent = [t for t in ("grpc", "zeromq")
              if not any(k[0] == t for mode in modes.values() for k in mode.samples)]
    for transport in absent:
        print(f"note: {transport} is not in these runs (not built, or every run failed)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
