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


class Figures:
    def __init__(self, runs):
        self.runs = runs
        self.rows = []
        self.missing = False

    def _row(self, figure, what, value, goal, ok, note=""):
        verdict = "" if ok is None else ("PASS" if ok else "MISS")
        self.rows.append((figure, what, value, goal, verdict, note))

    def _get(self, figure, what, prefix, stat="median"):
        e = find(self.runs, prefix, stat)
        if e is None:
            self._row(figure, what, "not found", "", False, prefix)
            self.missing = True
        return e

    def ratio(self, figure, what, subject, baseline, goal=None, inverse=False):
        """subject/baseline CPU time (baseline/subject when `inverse`);
        goal ('<=', x) or ('>=', x)."""
        s = self._get(figure, what, subject)
        b = self._get(figure, what, baseline)
        if s is None or b is None:
            return
        num, den = (b, s) if inverse else (s, b)
        cpu = ns(num, "cpu_time") / ns(den, "cpu_time")
        real = ns(num, "real_time") / ns(den, "real_time")
        value = f"{cpu:.2f}x (real {real:.2f}x)"
        times = (f"{fmt_ns(ns(s, 'cpu_time'))} vs {fmt_ns(ns(b, 'cpu_time'))}")
        if goal is None:
            self._row(figure, what, value, "-", None, times)
            return
        op, limit = goal
        ok = cpu <= limit if op == "<=" else cpu >= limit
        self._row(figure, what, value, f"{op} {limit}x", ok, times)

    def budget(self, figure, what, subject, limit_ns):
        """The median CPU time of `subject` against an absolute budget."""
        e = self._get(figure, what, subject)
        if e is None:
            return
        cpu = ns(e, "cpu_time")
        self._row(figure, what, f"{fmt_ns(cpu)} (real {fmt_ns(ns(e, 'real_time'))})",
                  f"<= {fmt_ns(limit_ns)}", cpu <= limit_ns, "median CPU time")

    def budget_difference(self, figure, what, subject, baseline, limit_ns):
        """subject minus baseline (median CPU times) against an absolute budget."""
        s = self._get(figure, what, subject)
        b = self._get(figure, what, baseline)
        if s is None or b is None:
            return
        cpu = ns(s, "cpu_time") - ns(b, "cpu_time")
        real = ns(s, "real_time") - ns(b, "real_time")
        self._row(figure, what, f"{fmt_ns(cpu)} (real {fmt_ns(real)})", f"<= {fmt_ns(limit_ns)}",
                  cpu <= limit_ns, f"{subject} - {baseline}, median CPU time")

    def throughput(self, figure, what, subject, min_mb_per_s):
        """The median bytes_per_second of `subject` (on CPU time) in MB/s."""
        e = self._get(figure, what, subject)
        if e is None:
            return
        if "bytes_per_second" not in e:
            self._row(figure, what, "no counter", "", False, "bytes_per_second")
            self.missing = True
            return
        mb = e["bytes_per_second"] / 1e6
        self._row(figure, what, f"{mb:,.0f} MB/s", f">= {min_mb_per_s} MB/s", mb >= min_mb_per_s,
                  f"{fmt_ns(ns(e, 'cpu_time'))} per run")

    def info(self, figure, what, subject):
        """The median CPU time of `subject`, no goal."""
        e = self._get(figure, what, subject)
        if e is None:
            return
        self._row(figure, what, f"{fmt_ns(ns(e, 'cpu_time'))} (real {fmt_ns(ns(e, 'real_time'))})",
                  "-", None, "median CPU time")

    def difference(self, figure, what, subject, baseline):
        """subject minus baseline, CPU time (real time beside it)."""
        s = self._get(figure, what, subject)
        b = self._get(figure, what, baseline)
        if s is None or b is None:
            return
        cpu = ns(s, "cpu_time") - ns(b, "cpu_time")
        real = ns(s, "real_time") - ns(b, "real_time")
        self._row(figure, what, f"{fmt_ns(cpu)} (real {fmt_ns(real)})", "-", None,
                  f"{subject} - {baseline}")

    def counter(self, figure, what, prefix, key, goal=None, stat="median"):
        e = self._get(figure, what, prefix, stat)
        if e is None:
            return
        if key not in e:
            self._row(figure, what, "no counter", "", False, key)
            self.missing = True
            return
        v = e[key]
        value = fmt_counter(key, v)
        if goal is None:
            self._row(figure, what, value, "-", None, stat)
            return
        op, limit = goal
        ok = {"<=": v <= limit, ">=": v >= limit, "==": v == limit}[op]
        self._row(figure, what, value, f"{op} {fmt_counter(key, limit)}", ok, stat)

    def print(self):
        print("Figures (ratios on CPU time of the calling thread)")
        widths = [max(len(str(r[i])) for r in self.rows) for i in range(5)]
        for r in self.rows:
            print("  " + "  ".join(str(r[i]).ljust(widths[i]) for i in range(5)) + "  " + r[5])


def main(paths):
    runs = load(paths)
    medians_table(runs)
    f = Figures(runs)

    own = "BM_ChatCallbackWithoutHandover"
    chat = "BM_ChatCallback/healthy"
    f.budget("1 chat", "callback, 100-unit line, request service discarding", own, 5e3)
    f.counter("1 chat", "hand-overs per call", own, "handed_over", ("==", 1), stat="min")
    f.counter("1 chat", "failure lines per call", own, "failure_lines", ("==", 0), stat="max")
    f.ratio("1 chat", "callback / bare nlohmann build+dump", own, "BM_NlohmannBuildDump")

    f.budget_difference("2 say", "say command, 3 KiB payload, 10 players: the plug-in's share",
                        "BM_SayCommand", "BM_StandInRelay", 50e3)
    f.info("2 say", "the whole command, with the stand-in's relay", "BM_SayCommand")
    f.info("2 say", "the stand-in's relay and its 10 deliveries alone", "BM_StandInRelay")
    f.counter("2 say", "\"OK\" replies per command", "BM_SayCommand", "ok_replies", ("==", 1),
              stat="min")
    f.counter("2 say", "lines per player per command", "BM_SayCommand", "lines_per_player",
              ("==", 1), stat="min")
    f.counter("2 say", "relay alone: lines per player per call", "BM_StandInRelay",
              "lines_per_player", ("==", 1), stat="min")

    f.ratio("3 heartbeat", "OnHeartbeat not due / steady_clock::now()", "BM_OnHeartbeatNotDue",
            "BM_SteadyClockNow", ("<=", 1.5))
    f.counter("3 heartbeat", "OnHeartbeat not due: operator new per tick", "BM_OnHeartbeatNotDue",
              "allocs_per_iter", ("==", 0), stat="max")
    f.counter("3 heartbeat", "OnHeartbeat not due: engine heap per tick", "BM_OnHeartbeatNotDue",
              "engine_allocs_per_iter", ("==", 0), stat="max")
    f.ratio("3 heartbeat", "HeartbeatTick(now) not due / steady_clock::now()",
            "BM_HeartbeatTickNotDue", "BM_SteadyClockNow")
    f.counter("3 heartbeat", "HeartbeatTick not due: operator new per tick",
              "BM_HeartbeatTickNotDue", "allocs_per_iter", ("==", 0), stat="max")
    f.counter("3 heartbeat", "baseline now(): operator new per call", "BM_SteadyClockNow",
              "allocs_per_iter", ("==", 0), stat="max")

    f.throughput("4 base64", "DecodeBase64 48 KiB", "BM_DecodeBase64/49152", 250)
    f.ratio("4 base64", "DecodeBase64 3 KiB / EVP_DecodeBlock", "BM_DecodeBase64/3072",
            "BM_OpenSslDecodeBlock/3072")
    f.ratio("4 base64", "DecodeBase64 48 KiB / EVP_DecodeBlock", "BM_DecodeBase64/49152",
            "BM_OpenSslDecodeBlock/49152")

    # The stand-in host's share: its hand-over and its request service.
    f.difference("5 stand-in", "hand-over to the stand-in's request service (per call)", chat,
                 own)
    f.ratio("5 stand-in", "callback with the stand-in's hand-over / bare", chat,
            "BM_NlohmannBuildDump")
    f.ratio("5 stand-in", "thread per request / callback with hand-over", chat,
            "BM_ThreadPerRequest", inverse=True)
    f.counter("5 stand-in", "healthy: received per call", chat, "received", ("==", 1),
              stat="min")
    f.counter("5 stand-in", "healthy: failure lines per call", chat, "failure_lines", ("==", 0),
              stat="max")

    burst = "BM_RequestService/posts:20000/per_tick:0"
    paced = "BM_RequestService/posts:20000/per_tick:50"
    f.counter("6 requests", "burst of 20,000: POST/s", burst, "posts_per_s", (">=", 5000))
    f.counter("6 requests", "burst: p50 hand-over to receipt", burst, "p50_us")
    f.counter("6 requests", "burst: p99 hand-over to receipt", burst, "p99_us")
    f.counter("6 requests", "paced 5,000/s: p50 hand-over to receipt", paced, "p50_us")
    f.counter("6 requests", "paced 5,000/s: p99 hand-over to receipt", paced, "p99_us",
              ("<=", 20000))
    f.counter("6 requests", "paced 5,000/s: POST/s", paced, "posts_per_s", (">=", 4900))
    for run, label in ((burst, "burst"), (paced, "paced")):
        for key in ("lost", "failed", "refused", "duplicates"):
            f.counter("6 requests", f"{label}: {key}", run, key, ("==", 0), stat="max")

    outage = "BM_RequestBacklogOutage/posts:20000"
    f.counter("6 requests", "outage: 20,000 to a silent port, s until all failed", outage,
              "seconds_to_fail_all", ("<=", 20))
    f.counter("6 requests", "outage: unfinished", outage, "unfinished", ("==", 0),
              stat="max")
    f.counter("6 requests", "outage: refused", outage, "refused", ("==", 0), stat="max")

    f.ratio("7 outage", "receiver refused / healthy", "BM_ChatCallback/refused", chat,
            ("<=", 1.2))
    f.ratio("7 outage", "receiver silent / healthy", "BM_ChatCallback/silent", chat, ("<=", 1.2))
    f.counter("7 outage", "refused: failure lines per call", "BM_ChatCallback/refused",
              "failure_lines", ("==", 1), stat="min")

    f.ratio("text", "ToUtf8 20 units / host Utf16ToUtf8", "BM_ToUtf8/20", "BM_HostUtf16ToUtf8/20")
    f.ratio("text", "ToUtf8 500 units / host Utf16ToUtf8", "BM_ToUtf8/500",
            "BM_HostUtf16ToUtf8/500")
    f.print()
    return 1 if f.missing else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1:]))
