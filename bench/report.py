#!/usr/bin/env python3
"""Prints the medians of Google Benchmark JSON files and each figure with its
budget and PASS/MISS; ratios to the named baselines are printed as information.

    bench/report.py build/release/bench-results/*.json

Times are the medians over the repetitions. Game-thread figures are judged on
the CPU time of the calling thread (real time on a shared 2-core machine also
counts the time other processes and the request service's own threads hold
the core); real time is printed beside it. Counts that must be zero are
checked on their maximum over the repetitions, so one bad repetition shows.
Exit status: 0 when every figure was found (PASS or MISS), 1 when one is
missing (a benchmark failed or was not built).
"""

import json
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    runs = {}  # run_name -> {aggregate or "": entry}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        # A binary none of whose benchmarks matches BENCH_FILTER leaves its
        # output file empty: it has nothing to report.
        if not text.strip():
            continue
        data = json.loads(text)
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                runs.setdefault(b["run_name"], {})["error"] = b
                continue
            runs.setdefault(b["run_name"], {})[b.get("aggregate_name", "")] = b
    return runs


def find(runs, prefix, stat="median"):
    """The entry of the run whose name is `prefix` or starts with `prefix/`."""
    for name, entries in runs.items():
        if name == prefix or name.startswith(prefix + "/"):
            if "error" in entries:
                return None
            return entries.get(stat) or entries.get("")
    return None


def ns(entry, kind):
    return entry[kind] * TO_NS[entry.get("time_unit", "ns")]


def fmt_ns(value):
    if value >= 1e6:
        return f"{value / 1e6:.2f} ms"
    if value >= 1e3:
        return f"{value / 1e3:.2f} us"
    return f"{value:.1f} ns"


def fmt_num(value):
    if abs(value) >= 1e3:
        return f"{value:,.0f}"
    if value == int(value):
        return f"{int(value)}"
    return f"{value:.3g}"


def fmt_counter(key, value):
    if key.endswith("_us"):
        return fmt_ns(value * 1e3)
    return fmt_num(value)


COUNTER_SKIP = {"iterations", "real_time", "cpu_time", "repetitions", "repetition_index",
                "threads", "family_index", "per_family_instance_index"}


def medians_table(runs):
    print("Medians")
    print(f"  {'benchmark':<58} {'real':>10} {'cpu':>10}  counters")
    for name in sorted(runs):
        entries = runs[name]
        if "error" in entries:
            print(f"  {name:<58} ERROR: {entries['error'].get('error_message', '')}")
            continue
        e = entries.get("median") or entries.get("")
        if e is None:
            continue
        counters = []
        for key, value in e.items():
            if key in COUNTER_SKIP or not isinstance(value, (int, float)) or isinstance(value, bool):
                continue
            counters.append(f"{key}={fmt_counter(key, value)}")
        print(f"  {name:<58} {fmt_ns(ns(e, 'real_time')):>10} {fmt_ns(ns(e, 'cpu_time')):>10}  "
              + " ".join(counters))
    print()


OWN = "BM_ChatCallbackWithoutHandover"
CHAT = "BM_ChatCallback/healthy"
BURST = "BM_RequestService/posts:2000/per_tick:0"
PACED = "BM_RequestService/posts:2000/per_tick:10"
OUTAGE = "BM_RequestBacklogOutage/posts:2000"

# Every figure: (figure, what, measure, goal). A measure is one of
#   ("cpu", A)                  median CPU time of A, in ns
#   ("cpu", A, B)               A minus B
#   ("ratio", A, B)             A / B, median CPU times (real time beside it)
#   ("counter", A, key, stat)   a counter of A's median, min or max repetition
#   ("mbps", A)                 A's bytes_per_second in MB/s
# and a goal ("<=", x), (">=", x), ("==", x), or None for information.
FIGURES = [
    ("1 chat", "callback, 100-unit line, request service discarding", ("cpu", OWN), ("<=", 5e3)),
    ("1 chat", "hand-overs per call", ("counter", OWN, "handed_over", "min"), ("==", 1)),
    ("1 chat", "failure lines per call", ("counter", OWN, "failure_lines", "max"), ("==", 0)),
    ("1 chat", "callback / bare nlohmann build+dump", ("ratio", OWN, "BM_NlohmannBuildDump"), None),
    ("2 say", "say command, 3 KiB payload, 10 players: the plug-in's share",
     ("cpu", "BM_SayCommand", "BM_StandInRelay"), ("<=", 50e3)),
    ("2 say", "the whole command, with the stand-in's relay", ("cpu", "BM_SayCommand"), None),
    ("2 say", "the stand-in's relay and its 10 deliveries alone", ("cpu", "BM_StandInRelay"), None),
    ("2 say", "\"OK\" replies per command", ("counter", "BM_SayCommand", "ok_replies", "min"),
     ("==", 1)),
    ("2 say", "lines per player per command",
     ("counter", "BM_SayCommand", "lines_per_player", "min"), ("==", 1)),
    ("2 say", "relay alone: lines per player per call",
     ("counter", "BM_StandInRelay", "lines_per_player", "min"), ("==", 1)),
    ("3 heartbeat", "OnHeartbeat not due / steady_clock::now()",
     ("ratio", "BM_OnHeartbeatNotDue", "BM_SteadyClockNow"), ("<=", 1.5)),
    ("3 heartbeat", "OnHeartbeat not due: operator new per tick",
     ("counter", "BM_OnHeartbeatNotDue", "allocs_per_iter", "max"), ("==", 0)),
    ("3 heartbeat", "OnHeartbeat not due: engine heap per tick",
     ("counter", "BM_OnHeartbeatNotDue", "engine_allocs_per_iter", "max"), ("==", 0)),
    ("3 heartbeat", "HeartbeatTick(now) not due / steady_clock::now()",
     ("ratio", "BM_HeartbeatTickNotDue", "BM_SteadyClockNow"), None),
    ("3 heartbeat", "HeartbeatTick not due: operator new per tick",
     ("counter", "BM_HeartbeatTickNotDue", "allocs_per_iter", "max"), ("==", 0)),
    ("3 heartbeat", "baseline now(): operator new per call",
     ("counter", "BM_SteadyClockNow", "allocs_per_iter", "max"), ("==", 0)),
    ("4 base64", "DecodeBase64 48 KiB", ("mbps", "BM_DecodeBase64/49152"), (">=", 250)),
    ("4 base64", "DecodeBase64 3 KiB / EVP_DecodeBlock",
     ("ratio", "BM_DecodeBase64/3072", "BM_OpenSslDecodeBlock/3072"), None),
    ("4 base64", "DecodeBase64 48 KiB / EVP_DecodeBlock",
     ("ratio", "BM_DecodeBase64/49152", "BM_OpenSslDecodeBlock/49152"), None),
    # The stand-in host's share: its hand-over and its request service.
    ("5 stand-in", "hand-over to the stand-in's request service (per call)", ("cpu", CHAT, OWN),
     None),
    ("5 stand-in", "callback with the stand-in's hand-over / bare",
     ("ratio", CHAT, "BM_NlohmannBuildDump"), None),
    ("5 stand-in", "thread per request / callback with hand-over",
     ("ratio", "BM_ThreadPerRequest", CHAT), None),
    ("5 stand-in", "healthy: received per call", ("counter", CHAT, "received", "min"), ("==", 1)),
    ("5 stand-in", "healthy: failure lines per call", ("counter", CHAT, "failure_lines", "max"),
     ("==", 0)),
    ("6 requests", "burst of 2,000: POST/s", ("counter", BURST, "posts_per_s", "median"), None),
    ("6 requests", "burst: p99 hand-over to receipt", ("counter", BURST, "p99_us", "median"),
     None),
    ("6 requests", "paced 1,000/s: p50 hand-over to receipt",
     ("counter", PACED, "p50_us", "median"), None),
    ("6 requests", "paced 1,000/s: p99 hand-over to receipt",
     ("counter", PACED, "p99_us", "median"), ("<=", 20000)),
] + [
    ("6 requests", f"{label}: {key}", ("counter", run, key, "max"), ("==", 0))
    for run, label in ((BURST, "burst"), (PACED, "paced"))
    for key in ("lost", "failed", "refused", "duplicates")
] + [
    ("6 requests", "outage: 2,000 to a silent port, s until all failed",
     ("counter", OUTAGE, "seconds_to_fail_all", "max"), ("<=", 20)),
    ("6 requests", "outage: unfinished", ("counter", OUTAGE, "unfinished", "max"), ("==", 0)),
    ("6 requests", "outage: refused", ("counter", OUTAGE, "refused", "max"), ("==", 0)),
    ("6 requests", "outage: resident memory grown, MiB",
     ("counter", OUTAGE, "rss_growth_mib", "max"), ("<=", 64)),
    ("7 outage", "receiver refused / healthy", ("ratio", "BM_ChatCallback/refused", CHAT), None),
    ("7 outage", "receiver silent / healthy", ("ratio", "BM_ChatCallback/silent", CHAT), None),
    ("7 outage", "refused: failure lines per call",
     ("counter", "BM_ChatCallback/refused", "failure_lines", "min"), ("==", 1)),
    ("text", "ToUtf8 20 units / host Utf16ToUtf8", ("ratio", "BM_ToUtf8/20",
                                                    "BM_HostUtf16ToUtf8/20"), None),
    ("text", "ToUtf8 500 units / host Utf16ToUtf8", ("ratio", "BM_ToUtf8/500",
                                                     "BM_HostUtf16ToUtf8/500"), None),
]


def measure(runs, source):
    """(number, its text, a note) for one measure, or a text saying what is missing."""
    kind = source[0]
    names = source[1:3] if kind in ("cpu", "ratio") else source[1:2]
    stat = source[3] if kind == "counter" else "median"
    entries = [find(runs, name, stat) for name in names]
    missing = [name for name, entry in zip(names, entries) if entry is None]
    if missing:
        return "not found: " + ", ".join(missing)
    s = entries[0]
    if kind == "cpu":
        cpu = ns(s, "cpu_time") - (ns(entries[1], "cpu_time") if len(entries) > 1 else 0)
        real = ns(s, "real_time") - (ns(entries[1], "real_time") if len(entries) > 1 else 0)
        return cpu, f"{fmt_ns(cpu)} (real {fmt_ns(real)})", "median CPU time", fmt_ns
    if kind == "ratio":
        b = entries[1]
        cpu = ns(s, "cpu_time") / ns(b, "cpu_time")
        real = ns(s, "real_time") / ns(b, "real_time")
        return (cpu, f"{cpu:.2f}x (real {real:.2f}x)",
                f"{fmt_ns(ns(s, 'cpu_time'))} vs {fmt_ns(ns(b, 'cpu_time'))}",
                lambda x: f"{x}x")
    key = source[2] if kind == "counter" else "bytes_per_second"
    if key not in s:
        return f"no counter {key} in {names[0]}"
    if kind == "mbps":
        mb = s[key] / 1e6
        return mb, f"{mb:,.0f} MB/s", f"{fmt_ns(ns(s, 'cpu_time'))} per run", \
            lambda x: f"{x} MB/s"
    return s[key], fmt_counter(key, s[key]), stat, lambda x: fmt_counter(key, x)


def judge(runs):
    """Each figure with its value, goal and verdict; True when every one was found."""
    rows = []
    found = True
    for figure, what, source, goal in FIGURES:
        result = measure(runs, source)
        if isinstance(result, str):
            rows.append((figure, what, "missing", "", "MISS", result))
            found = False
            continue
        value, text, note, fmt = result
        if goal is None:
            rows.append((figure, what, text, "-", "", note))
            continue
        op, limit = goal
        ok = {"<=": value <= limit, ">=": value >= limit, "==": value == limit}[op]
        rows.append((figure, what, text, f"{op} {fmt(limit)}", "PASS" if ok else "MISS", note))
    print("Figures (ratios on CPU time of the calling thread)")
    widths = [max(len(str(r[i])) for r in rows) for i in range(5)]
    for r in rows:
        print("  " + "  ".join(str(r[i]).ljust(widths[i]) for i in range(5)) + "  " + r[5])
    return found


def main(paths):
    runs = load(paths)
    medians_table(runs)
    return 0 if judge(runs) else 1


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1:]))
