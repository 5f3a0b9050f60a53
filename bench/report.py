#!/usr/bin/env python3
"""Prints the medians of Google Benchmark JSON files and each figure with its
budget and PASS/MISS. The plug-in's budgets are ratios to anchors measured in
the same run, so that a verdict holds on a faster or slower machine; the
absolute times are printed as information.

    bench/report.py [--markdown figures.md] build/release/bench-results/*.json

Times are the medians over the repetitions. Game-thread figures are judged on
the CPU time of the calling thread (real time on a shared 2-core machine also
counts the time other processes and the request service's own threads hold
the core); real time is printed beside it. Counts that must be zero are
checked on their maximum over the repetitions, so one bad repetition shows.
Exit status: 0 when every figure was found (PASS or MISS), 1 when one is
missing (a benchmark failed or was not built) or unsound (a share whose parts
outweigh its whole).
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
# The plug-in's shares: its figure less what the stand-in spends inside it
# (its text conversion, its relay), so a slower stand-in cannot move them.
# The say command times its parts in one loop and reports them as counters
# (say_bench.cpp says why).
CHAT_SHARE = (OWN, "BM_StandInChatConversions")
SAY = "BM_SayCommand"

# Every figure: (figure, what, measure, goal). A term is a benchmark's name or
# a tuple (A, B, ...): A less B less ... (median CPU times). A measure is one of
#   ("cpu", term)               median CPU time of the term, in ns
#   ("ratio", term, anchor)     term / anchor, median CPU times (real time beside it)
#   ("counter", A, key, stat)   a counter of A's median, min or max repetition
#   ("counters", A, key, anchor) A's median counter key / its counter anchor
#   ("mbps", A)                 A's bytes_per_second in MB/s
# and a goal ("<=", x), (">=", x), ("==", x), or None for information.
# The plug-in's budgets are ratios to an anchor measured in the same run (see
# bench/README.md for how each was chosen); its absolute times are information.
FIGURES = [
    ("1 chat", "the plug-in's share / bare nlohmann build+dump",
     ("ratio", CHAT_SHARE, "BM_NlohmannBuildDump"), ("<=", 3.0)),
    ("1 chat", "callback, 100-unit line, request service discarding", ("cpu", OWN), None),
    ("1 chat", "the stand-in's conversions in it", ("cpu", "BM_StandInChatConversions"), None),
    ("1 chat", "the plug-in's share", ("cpu", CHAT_SHARE), None),
    ("1 chat", "anchor: bare nlohmann build+dump", ("cpu", "BM_NlohmannBuildDump"), None),
    ("1 chat", "hand-overs per call", ("counter", OWN, "handed_over", "min"), ("==", 1)),
    ("1 chat", "failure lines per call", ("counter", OWN, "failure_lines", "max"), ("==", 0)),
    ("2 say", "the plug-in's share / EVP_DecodeBlock + nlohmann parse",
     ("counters", SAY, "share_us", "anchor_us"), ("<=", 4.0)),
    ("2 say", "the whole command, 3 KiB payload, 10 players",
     ("counter", SAY, "whole_us", "median"), None),
    ("2 say", "the stand-in's relay and its 10 deliveries",
     ("counter", SAY, "relay_us", "median"), None),
    ("2 say", "the stand-in's conversions in it", ("counter", SAY, "conversions_us", "median"),
     None),
    ("2 say", "the plug-in's share", ("counter", SAY, "share_us", "median"), None),
    ("2 say", "anchor: EVP_DecodeBlock + nlohmann parse", ("counter", SAY, "anchor_us", "median"),
     None),
    ("2 say", "\"OK\" replies per command", ("counter", SAY, "ok_replies", "min"), ("==", 1)),
    ("2 say", "lines per player per command", ("counter", SAY, "lines_per_player", "min"),
     ("==", 1)),
    ("2 say", "relay alone: lines per player per call",
     ("counter", SAY, "relay_lines_per_player", "min"), ("==", 1)),
    ("3 heartbeat", "OnHeartbeat not due / steady_clock::now()",
     ("ratio", "BM_OnHeartbeatNotDue", "BM_SteadyClockNow"), ("<=", 1.5)),
    ("3 heartbeat", "anchor: steady_clock::now()", ("cpu", "BM_SteadyClockNow"), None),
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
    ("4 base64", "DecodeBase64 48 KiB / EVP_DecodeBlock",
     ("ratio", "BM_DecodeBase64/49152", "BM_OpenSslDecodeBlock/49152"), ("<=", 3.5)),
    ("4 base64", "DecodeBase64 48 KiB", ("mbps", "BM_DecodeBase64/49152"), None),
    ("4 base64", "anchor: EVP_DecodeBlock 48 KiB", ("mbps", "BM_OpenSslDecodeBlock/49152"), None),
    ("4 base64", "DecodeBase64 3 KiB / EVP_DecodeBlock",
     ("ratio", "BM_DecodeBase64/3072", "BM_OpenSslDecodeBlock/3072"), None),
    # The stand-in host's share: its hand-over and its request service.
    ("5 stand-in", "hand-over to the stand-in's request service (per call)",
     ("cpu", (CHAT, OWN)), None),
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
    ("6 requests", "paced 1,000/s: p99 hand-over to receipt / p99 tick of the game loop",
     ("counters", PACED, "p99_us", "tick_p99_us"), ("<=", 2.0)),
    ("6 requests", "paced 1,000/s: p99 hand-over to receipt",
     ("counter", PACED, "p99_us", "median"), None),
    ("6 requests", "paced 1,000/s: p99 tick of the game loop (10 ms due)",
     ("counter", PACED, "tick_p99_us", "median"), None),
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


def terms(source):
    """The benchmark names a measure reads, each term's first name first."""
    kind = source[0]
    if kind == "cpu":
        parts = [source[1]]
    elif kind == "ratio":
        parts = [source[1], source[2]]
    else:
        return [source[1]]
    return [name for part in parts for name in (part if isinstance(part, tuple) else (part,))]


def term_ns(runs, term, kind):
    """Median CPU or real time of a term: a name, or (A, B, ...) for A less B less ..."""
    names = term if isinstance(term, tuple) else (term,)
    first, *rest = (ns(find(runs, name), kind) for name in names)
    return first - sum(rest)


def unsound(value, what):
    """A share is a whole less its parts; at or below zero the parts were
    measured in a different state of the machine than the whole, and the ratio
    would pass whatever the plug-in does."""
    return (f"unsound: {what} came out at {value}, the parts outweigh the whole; "
            "run again on a quieter machine")


def measure(runs, source):
    """(number, its text, a note, a goal formatter), or a text saying what is missing."""
    kind = source[0]
    stat = source[3] if kind == "counter" else "median"
    missing = [name for name in terms(source) if find(runs, name, stat) is None]
    if missing:
        return "not found: " + ", ".join(missing)
    if kind == "cpu":
        cpu, real = (term_ns(runs, source[1], k) for k in ("cpu_time", "real_time"))
        return cpu, f"{fmt_ns(cpu)} (real {fmt_ns(real)})", "median CPU time", fmt_ns
    if kind == "ratio":
        (a, b), (ra, rb) = ((term_ns(runs, source[1], k), term_ns(runs, source[2], k))
                            for k in ("cpu_time", "real_time"))
        if a <= 0:
            share = source[1] if isinstance(source[1], tuple) else (source[1],)
            return unsound(fmt_ns(a), " less ".join(share))
        cpu, real = a / b, ra / rb
        return (cpu, f"{cpu:.2f}x (real {real:.2f}x)", f"{fmt_ns(a)} vs {fmt_ns(b)}",
                lambda x: f"{x}x")
    s = find(runs, source[1], stat)
    if kind == "counters":
        key, anchor = source[2], source[3]
        if key not in s or anchor not in s or not s[anchor]:
            return f"no counters {key} and {anchor} in {source[1]}"
        if s[key] <= 0:
            return unsound(fmt_counter(key, s[key]), f"{source[1]}'s {key}")
        ratio = s[key] / s[anchor]
        return (ratio, f"{ratio:.2f}x", f"{fmt_counter(key, s[key])} vs {fmt_counter(anchor, s[anchor])}",
                lambda x: f"{x}x")
    key = source[2] if kind == "counter" else "bytes_per_second"
    if key not in s:
        return f"no counter {key} in {source[1]}"
    if kind == "mbps":
        mb = s[key] / 1e6
        return mb, f"{mb:,.0f} MB/s", f"{fmt_ns(ns(s, 'cpu_time'))} per run", \
            lambda x: f"{x} MB/s"
    return s[key], fmt_counter(key, s[key]), stat, lambda x: fmt_counter(key, x)


def judge(runs, markdown=None):
    """Each figure with its value, goal and verdict; True when every one was found.
    With `markdown` (a path), the same rows also go there as a Markdown table."""
    rows = []
    found = True
    for figure, what, source, goal in FIGURES:
        result = measure(runs, source)
        if isinstance(result, str):
            value = "unsound" if result.startswith("unsound") else "missing"
            rows.append((figure, what, value, "", "MISS", result))
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
    # One line to compare two runs by: which figures missed, if any.
    verdicts = [r[4] for r in rows if r[4]]
    missed = [f"{r[0]}: {r[1]}" for r in rows if r[4] == "MISS"]
    summary = (f"verdicts: {verdicts.count('PASS')} PASS, {len(missed)} MISS"
               + "".join(f"\n  MISS {m}" for m in missed))
    print("\n" + summary)
    if markdown:
        with open(markdown, "w", encoding="utf-8") as f:
            f.write("| # | Figure | Value | Budget | | Measured |\n|---|---|---|---|---|---|\n")
            for figure, what, text, goal, verdict, note in rows:
                f.write(f"| {figure} | {what} | {text} | {goal} | {verdict} | {note} |\n")
            f.write("\n" + summary.replace("\n  ", "\n- ") + "\n")
    return found


def main(args):
    markdown = None
    if args[:1] == ["--markdown"] and len(args) >= 2:
        markdown, args = args[1], args[2:]
    runs = load(args)
    medians_table(runs)
    return 0 if judge(runs, markdown) else 1


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1:]))
