#!/usr/bin/env python3
"""bench/report.py judged on made-up Google Benchmark results: its verdicts
must follow the plug-in's ratios to their anchors, not the machine's speed nor
the stand-in's, and a missing or failed benchmark must show.

    tests/bench_report_test.py      (ctest: bench_report)
"""

import importlib.util
import io
import json
import os
import pathlib
import sys
import tempfile
import unittest
from contextlib import redirect_stdout

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True  # no __pycache__ left in bench/
found = importlib.util.spec_from_file_location("report", ROOT / "bench" / "report.py")
report = importlib.util.module_from_spec(found)
found.loader.exec_module(report)

PLUGIN_BUDGETS = [
    "the plug-in's share / bare nlohmann build+dump",
    "the plug-in's share / EVP_DecodeBlock + nlohmann parse",
    "OnHeartbeat not due / steady_clock::now()",
    "DecodeBase64 48 KiB / EVP_DecodeBlock",
]


def budget(what):
    return next(goal[1] for _, w, _, goal in report.FIGURES if w == what)


def plugin_times(fraction):
    """CPU times in ns of the plug-in's timed figures at `fraction` of each
    budget, over the stand-in's parts and the anchors of BASE. The say command
    reports its parts as counters: say_counters() holds those."""
    chat, _, tick, base64 = (budget(w) * fraction for w in PLUGIN_BUDGETS)
    return {
        "BM_ChatCallbackWithoutHandover": BASE["BM_StandInChatConversions"]
        + chat * BASE["BM_NlohmannBuildDump"],
        "BM_OnHeartbeatNotDue": tick * BASE["BM_SteadyClockNow"],
        "BM_DecodeBase64/49152": base64 * BASE["BM_OpenSslDecodeBlock/49152"],
    }


def say_counters(fraction, anchor_us=20.0, relay_us=30.0, conversions_us=10.0):
    """The say command's counters with its share at `fraction` of its budget."""
    share = budget(PLUGIN_BUDGETS[1]) * fraction * anchor_us
    return {"whole_us": share + relay_us + conversions_us, "relay_us": relay_us,
            "conversions_us": conversions_us, "share_us": share, "anchor_us": anchor_us}


# The stand-in's parts and the anchors, CPU times in ns; results() adds the
# plug-in's figures at three quarters of their budgets.
BASE = {
    "BM_StandInChatConversions": 500,
    "BM_NlohmannBuildDump": 1000,
    "BM_HeartbeatTickNotDue": 3,
    "BM_SteadyClockNow": 30,
    "BM_OpenSslDecodeBlock/49152": 30000,
    "BM_DecodeBase64/3072": 5000,
    "BM_OpenSslDecodeBlock/3072": 2000,
}
# Every counter a figure reads, at a value its goal accepts.
COUNTERS = {
    "handed_over": 1, "failure_lines": 0, "ok_replies": 1, "lines_per_player": 1,
    "relay_lines_per_player": 1, **say_counters(0.75),
    "allocs_per_iter": 0, "engine_allocs_per_iter": 0, "received": 1, "posts_per_s": 20000,
    "p50_us": 500, "p99_us": 2000, "tick_p99_us": 10100, "lost": 0, "failed": 0, "refused": 0, "duplicates": 0,
    "seconds_to_fail_all": 5.1, "unfinished": 0, "rss_growth_mib": 1,
}
OVERRIDES = {"BM_ChatCallback/refused": {"failure_lines": 1}}


def every_benchmark():
    names = set(BASE) | set(plugin_times(1.0))
    for _, _, source, _ in report.FIGURES:
        names.update(report.terms(source))
    return sorted(names)


def results(times=None, scale=1.0, counters=None):
    """Benchmark JSON of one run: CPU and real times scaled by `scale`, the
    counters of COUNTERS with `counters` over them (name -> {key: value})."""
    times = {**BASE, **plugin_times(0.75), **(times or {})}
    entries = []
    for name in every_benchmark():
        values = {**COUNTERS, **OVERRIDES.get(name, {}), **(counters or {}).get(name, {})}
        if name == "BM_SayCommand":
            values.update({k: v * scale for k, v in values.items() if k in say_counters(1)})
        if name.startswith("BM_DecodeBase64") or name.startswith("BM_OpenSslDecodeBlock"):
            size = int(name.split("/")[1])
            values["bytes_per_second"] = size / (times[name] * scale) * 1e9
        t = times.get(name, 1000) * scale
        for stat in ("median", "min", "max"):
            entries.append({"name": f"{name}_{stat}", "run_name": name, "run_type": "aggregate",
                            "aggregate_name": stat, "real_time": t, "cpu_time": t,
                            "time_unit": "ns", **values})
    return {"benchmarks": entries}


def judge(*runs):
    """(exit status, {what: verdict}, printed text) of report.py over the runs,
    one JSON file each."""
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i, run in enumerate(runs):
            path = os.path.join(tmp, f"bench_{i}.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(run if isinstance(run, str) else json.dumps(run))
            paths.append(path)
        markdown = os.path.join(tmp, "figures.md")
        out = io.StringIO()
        with redirect_stdout(out):
            status = report.main(["--markdown", markdown] + paths)
        verdicts = {}
        with open(markdown, encoding="utf-8") as f:
            for line in f:
                cells = [c.strip() for c in line.strip().strip("|").split("|")]
                if len(cells) == 6 and cells[0] not in ("#", "---"):
                    verdicts[cells[1]] = cells[4]
    return status, verdicts, out.getvalue()


class Verdicts(unittest.TestCase):
    def test_all_pass_at_any_machine_speed(self):
        # The same code on a machine three times slower or faster: every
        # figure and its anchor move together, the verdicts do not.
        for scale in (1 / 3, 1.0, 3.0):
            with self.subTest(scale=scale):
                status, verdicts, text = judge(results(scale=scale))
                self.assertEqual(status, 0, text)
                for what in PLUGIN_BUDGETS:
                    self.assertEqual(verdicts[what], "PASS", what)
                self.assertNotIn("MISS", verdicts.values(), text)
                self.assertIn("verdicts: ", text)

    def test_a_slower_stand_in_does_not_move_the_plugin(self):
        # The stand-in's conversions three times slower: the whole chat figure
        # grows by what they add, the plug-in's share does not. (The say
        # command subtracts its parts itself, in the benchmark.)
        plugin = plugin_times(0.75)
        slow = {
            "BM_StandInChatConversions": 3 * BASE["BM_StandInChatConversions"],
            "BM_ChatCallbackWithoutHandover": plugin["BM_ChatCallbackWithoutHandover"]
            + 2 * BASE["BM_StandInChatConversions"],
        }
        status, verdicts, text = judge(results(slow))
        self.assertEqual(status, 0, text)
        self.assertEqual(verdicts[PLUGIN_BUDGETS[0]], "PASS")

    def test_a_slower_plugin_misses_each_budget(self):
        # Each figure at 110% of its budget, the others at 75%.
        over = plugin_times(1.1)
        cases = [({name: over[name]}, {}) for name in over]
        cases.insert(1, ({}, {"BM_SayCommand": say_counters(1.1)}))
        for (times, counters), missed in zip(cases, PLUGIN_BUDGETS):
            with self.subTest(missed=missed):
                _, verdicts, text = judge(results(times, counters=counters))
                self.assertEqual(verdicts[missed], "MISS", text)
                others = [w for w in PLUGIN_BUDGETS if w != missed]
                self.assertEqual([verdicts[w] for w in others], ["PASS"] * len(others))
                self.assertIn(f"MISS {report_figure(missed)}: {missed}", text)

    def test_a_share_whose_parts_outweigh_it_is_unsound(self):
        # A whole less its parts at or below zero says the parts were measured
        # in another state of the machine: the ratio would pass anything.
        chat = {"BM_ChatCallbackWithoutHandover": BASE["BM_StandInChatConversions"] - 1}
        say = {"BM_SayCommand": {"share_us": -6.9}}
        for times, counters, what in ((chat, {}, PLUGIN_BUDGETS[0]),
                                      ({}, say, PLUGIN_BUDGETS[1])):
            with self.subTest(what=what):
                status, verdicts, text = judge(results(times, counters=counters))
                self.assertEqual(status, 1, text)
                self.assertEqual(verdicts[what], "MISS", text)
                self.assertIn("unsound", text)

    def test_one_bad_repetition_of_a_count_shows(self):
        # Zero counts are judged on their maximum over the repetitions.
        run = results()
        for entry in run["benchmarks"]:
            if entry["run_name"] == "BM_OnHeartbeatNotDue" and entry["aggregate_name"] == "max":
                entry["allocs_per_iter"] = 0.001
        _, verdicts, _ = judge(run)
        self.assertEqual(verdicts["OnHeartbeat not due: operator new per tick"], "MISS")

    def test_missing_or_failed_benchmarks_fail_the_report(self):
        without_anchor = results()
        without_anchor["benchmarks"] = [
            e for e in without_anchor["benchmarks"] if e["run_name"] != "BM_NlohmannBuildDump"]
        failed = results()
        failed["benchmarks"].append({"name": "BM_SteadyClockNow", "run_name": "BM_SteadyClockNow",
                                     "error_occurred": True, "error_message": "broken"})
        for run, what in ((without_anchor, PLUGIN_BUDGETS[0]), (failed, PLUGIN_BUDGETS[2])):
            with self.subTest(what=what):
                status, verdicts, _ = judge(run)
                self.assertEqual(status, 1)
                self.assertEqual(verdicts[what], "MISS")

    def test_an_empty_file_is_skipped(self):
        # BENCH_FILTER leaves an empty file for a binary with nothing to run.
        status, _, text = judge(results(), "")
        self.assertEqual(status, 0, text)


def report_figure(what):
    return next(f for f, w, _, _ in report.FIGURES if w == what)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
