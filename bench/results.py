#!/usr/bin/env python3
"""Writes the plain-text results table of bench/run.sh.

    results.py [--pass-cost PASS_COST_LINES] NATIVE_JSON MD5_LINES MACHINE_LINES
               [FIRST WARM [WARM_100 [WARM_10000]]]
    results.py --pass-cost PASS_COST_LINES [--machine MACHINE_LINES]


NATIVE_JSON is korva_bench's --benchmark_out (aggregates), MD5_LINES the output of
bench/md5-bench.sh, MACHINE_LINES "key: value" lines about the machine and the run,
the profiles callgrind's output for one first and one warm pass of 1,000 processes
and one warm pass each of 100 and 10,000. PASS_COST_LINES is the output of
bench/pass-cost.sh; given alone, only its section and its targets are written.
Medians are shown throughout; targets are compared, never enforced.
"""

import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import profile_split  # noqa: E402


def load_medians(path):
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for run in data.get("benchmarks", []):
        if run.get("aggregate_name", "median") != "median" or run.get("error_occurred"):
            continue
        name = run["run_name"] if "run_name" in run else run["name"]
        name = re.sub(r"/(process_time|min_time:[0-9.]+)", "", name)
        medians[name] = run
    repetitions = max((r.get("repetitions", 1) for r in data.get("benchmarks", [])), default=1)
    return medians, repetitions, data.get("context", {})


def load_md5(path):
    rows = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if parts[:1] == ["md5"]:
                    rows.append(dict(p.split("=", 1) for p in parts[1:]))
    except FileNotFoundError:
        pass
    return rows


def load_pass_cost(path):
    """pass_cost* lines of bench/pass-cost.sh, by kind, as dicts of their key=value words."""
    lines = {"pass_cost": [], "pass_cost_setup": [], "pass_cost_run": [], "pass_cost_calls": [],
             "pass_cost_step": []}
    current = None
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if not parts or parts[0] not in lines:
                    continue
                fields = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
                if parts[0] == "pass_cost_setup":
                    current = fields["processes"]
                fields.setdefault("processes", current)
                lines[parts[0]].append(fields)
    except FileNotFoundError:
        pass
    return lines


def pass_cost_section(table, out, lines):
    """The real pass next to the bare sequence; returns the target rows."""
    summaries = lines["pass_cost"]
    if not summaries:
        return []
    table.section("A pass of korvaProc.dll on Win32 (Wine, x64) next to the bare call sequence")
    out.append("N sleeping children of one 2.5 MB program; us per reported process, the pauses")
    out.append("each pass really slept taken out (counted at korvaProc.dll's import of msleep);")
    out.append("bare and warm are medians of alternating runs, warm/bare the median of each")
    out.append("pair's ratio; first is one pass with empty caches, over the median warm pass.")
    out.append("rt: the same in wineserver round trips (one ResetEvent, timed in the same run).")
    rows = []
    for s in summaries:
        rows.append([s["processes"], s["reported"], s["roundtrip_us"], s["bare_us"], s["first_us"],
                     s["warm_us"], s["first_over_warm"] + "x", s["warm_over_bare"] + "x",
                     s["bare_roundtrips"], s["warm_roundtrips"]])
    table.rows(["processes", "reported", "rt_us", "bare_us/proc", "first_us/proc", "warm_us/proc",
                "first/warm", "warm/bare", "bare_rt/proc", "warm_rt/proc"], rows)
    for s in summaries:
        runs = [r for r in lines["pass_cost_run"]
                if r["processes"] == s["processes"] and r["kind"] in ("first", "warm")]
        slept = ", ".join(f"{r['kind']} {r['slept_ms']} ms ({r['pauses']} pauses of "
                          f"{r['requested_ms']} ms asked)" for r in runs[:2])
        out.append(f"  {s['processes']}: slept {slept}")

    # Calls per process: every pass counts them; the profiled warm pass times them.
    largest = max(summaries, key=lambda s: int(s["processes"]))["processes"]
    wanted = "300" if any(s["processes"] == "300" for s in summaries) else largest
    calls = [c for c in lines["pass_cost_calls"] if c["processes"] == wanted]
    if calls:
        table.section(f"Where a pass over {wanted} processes goes, per kind of call "
                      f"(hooks at korvaProc.dll's and rynUtil.dll's imports)")
        out.append("calls/proc of the first and the warm pass; us of the warm pass, timed in an")
        out.append("extra profiled pass (inclusive: GetProcessCommandLine contains its ReadProcessMemory).")
        by_name = {}
        for c in calls:
            by_name.setdefault(c["name"], {})[c["pass"]] = c
        rows = []
        for name, kinds in by_name.items():
            first = kinds.get("first", {}).get("per_process", "0")
            warm = kinds.get("warm", {}).get("per_process", "0")
            timed = kinds.get("warm-profiled", {})
            rows.append([name, first, warm, timed.get("us_per_call", "-"),
                         timed.get("us_per_process", "-")])
        table.rows(["call", "first/proc", "warm/proc", "us/call", "warm_us/proc"], rows)
        steps = [st for st in lines["pass_cost_step"] if st["processes"] == wanted]
        if steps:
            out.append("bare sequence, us per process by step: " + ", ".join(
                f"{st['name']} {st['us_per_process']}" for st in steps))

    targets = []
    for s in summaries:
        ratio = float(s["first_over_warm"])
        targets.append([f"first pass vs warm pass at {int(s['processes']):,} (one executable)",
                        "<= 1.5x", f"{ratio:.2f}x", verdict(ratio <= 1.5)])
    for s in summaries:
        if s["processes"] == "300":
            ratio = float(s["warm_over_bare"])
            targets.append(["warm pass vs bare Win32 sequence at 300", "<= 1.2x", f"{ratio:.2f}x",
                            verdict(ratio <= 1.2)])
    return targets


def to_us(run, key="cpu_time"):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[run["time_unit"]]
    return run[key] * scale


def fmt(value, digits=2):
    return "-" if value is None else f"{value:,.{digits}f}"


def verdict(ok):
    return "met" if ok else "MISSED"


class Table:
    def __init__(self, out):
        self.out = out

    def section(self, title):
        self.out.append("")
        self.out.append(title)
        self.out.append("-" * len(title))

    def rows(self, header, rows):
        widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
        for row in [header] + rows:
            cells = [str(row[0]).ljust(widths[0])]
            cells += [str(c).rjust(w) for c, w in zip(row[1:], widths[1:])]
            self.out.append("  ".join(cells).rstrip())


def pass_cost_only(path, machine_path):
    out = ["korvaProc: a pass on Win32 (Wine)"]
    if machine_path:
        with open(machine_path) as f:
            out += [line.rstrip("\n") for line in f if line.strip()]
    table = Table(out)
    targets = pass_cost_section(table, out, load_pass_cost(path))
    table.section("Targets (measured, not enforced)")
    table.rows(["target", "goal", "measured", ""], targets)
    print("\n".join(out))


def main():
    pass_cost = None
    if "--pass-cost" in sys.argv:
        at = sys.argv.index("--pass-cost")
        pass_cost = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    if pass_cost and len(sys.argv) < 4:
        machine = sys.argv[sys.argv.index("--machine") + 1] if "--machine" in sys.argv else None
        pass_cost_only(pass_cost, machine)
        return
    medians, repetitions, context = load_medians(sys.argv[1])
    md5 = load_md5(sys.argv[2])
    with open(sys.argv[3]) as f:
        machine = [line.rstrip("\n") for line in f if line.strip()]
    get = medians.get
    out = ["korvaProc benchmarks"]
    out += machine
    out.append(f"repetitions: {repetitions} per benchmark, medians shown; CPU is process CPU time")
    table = Table(out)

    table.section("Whole pass over the scripted machine (Start to thread end; scripted pauses cost nothing)")
    out.append("cpu_us/proc counts every thread of the bench process: the module, the scripted")
    out.append("layer's bookkeeping (fault counters, handle table, journal) and the network double.")
    rows = []
    for kind in ("Cold", "Warm"):
        for n in (100, 1000, 10000):
            run = get(f"BM_Pass{kind}/{n}")
            if run is None:
                continue
            rows.append([("first (cold)" if kind == "Cold" else "warm"), f"{n:,}",
                         fmt(run["cpu_us_per_proc"]), fmt(to_us(run) / 1e3, 1),
                         fmt(to_us(run, "real_time") / 1e3, 1), fmt(run["peak_heap_MiB"]),
                         fmt(run["peak_heap_per_proc"], 0), fmt(run["json_bytes"], 0)])
    table.rows(["pass", "processes", "cpu_us/proc", "cpu_ms/pass", "wall_ms/pass",
                "peak_heap_MiB", "heap_B/proc", "json_bytes"], rows)

    profiles = {}
    instructions = {}  # (small, large) -> instructions of the large pass over the small one
    if len(sys.argv) > 5 and os.path.exists(sys.argv[5]):
        profiles = {"first (cold)": profile_split.shares(profile_split.split(sys.argv[4])),
                    "warm": profile_split.shares(profile_split.split(sys.argv[5]))}
        table.section("Where a pass of 1,000 processes spends its instructions (callgrind)")
        out.append("Calls into the scripted layer and into the agent library's CTimeUtil are charged")
        out.append("to them with all they call; the rest is the module's (its code, RapidJSON, runtime).")
        rows = []
        for name, s in profiles.items():
            rows.append([name, f"{s['total'] / 1000:,.0f}", f"{s['module'] / 1000:,.0f}",
                         f"{s['layer'] / 1000:,.0f}", f"{s['agent'] / 1000:,.0f}",
                         f"{100.0 * s['module'] / s['total']:.0f}%"])
        table.rows(["pass", "instr/proc", "module", "scripted_layer", "CTimeUtil",
                    "module_share"], rows)
        per_process = {1000: profiles["warm"]["total"] / 1000}
        for arg, n in ((6, 100), (7, 10000)):
            if len(sys.argv) > arg and os.path.exists(sys.argv[arg]):
                per_process[n] = profile_split.shares(
                    profile_split.split(sys.argv[arg]))["total"] / n
        if len(per_process) > 1:
            out.append("warm instructions per process: " + ", ".join(
                f"{value:,.0f} at {n:,}" for n, value in sorted(per_process.items())))
            for small, large in ((100, 1000), (1000, 10000)):
                if small in per_process and large in per_process:
                    instructions[(small, large)] = 10 * per_process[large] / per_process[small]
        warm_share = profiles["warm"]["module"] / profiles["warm"]["total"]
        run = get("BM_PassWarm/10000")
        if run:
            out.append(f"warm pass at 10,000: {fmt(run['cpu_us_per_proc'])} us/proc measured, of which "
                       f"the module's share is about {fmt(run['cpu_us_per_proc'] * warm_share)} us")

    table.section("Report alone (CProcessListReport over test parsers) vs a direct RapidJSON Writer")
    rows = []
    report_ratios = {}
    heap_ratios = {}
    for n in (100, 1000, 10000):
        report, direct = get(f"BM_Report/{n}"), get(f"BM_ReportDirectWriter/{n}")
        if report is None or direct is None:
            continue
        ratio = to_us(report) / to_us(direct)
        report_ratios[n] = ratio
        heap_ratios[n] = report["peak_heap_per_json"]
        rows.append([f"{n:,}", fmt(to_us(report), 0), fmt(to_us(direct), 0), fmt(ratio),
                     fmt(report["json_bytes"], 0), fmt(report["peak_heap_per_json"])])
    table.rows(["processes", "report_cpu_us", "direct_cpu_us", "ratio", "json_bytes",
                "peak_heap/json"], rows)

    table.section("TCP summary (scripted pauses cost nothing)")
    rows = []
    for n in (1000, 10000, 100000):
        parse, read = get(f"BM_TcpParse/{n}"), get(f"BM_TcpTableRead/{n}")
        if parse is None:
            continue
        rows.append([f"{n:,}", fmt(to_us(parse) / 1e3, 3),
                     fmt(to_us(read) / 1e3 if read else None, 3),
                     fmt(to_us(parse) * 1e3 / n, 1)])
    table.rows(["rows", "Parse_cpu_ms", "of_which_table_read_ms", "ns/row"], rows)
    lookups = get("BM_TcpGetConnectInfo/100000")
    if lookups:
        out.append(f"100,000 GetConnectInfo lookups after a 100,000-row parse: "
                   f"{fmt(to_us(lookups) / 1e3, 3)} ms CPU")

    table.section("File caches (a miss includes the scripted layer's hashing or reading of 4 KiB)")
    rows = []
    for name, label in (("BM_Md5CacheHit", "digest cache hit"),
                        ("BM_Md5CacheMiss", "digest cache miss (stale time, rehash)"),
                        ("BM_PropertyCacheHit", "property cache hit"),
                        ("BM_PropertyCacheMiss", "property cache miss (stale time, reread)"),
                        ("BM_PropertyCacheEvict", "property cache addition at 1001 entries "
                                                  "(1 in 19 evicts 19)")):
        run = get(name)
        if run:
            rows.append([label, fmt(to_us(run) * 1e3, 0)])
    table.rows(["operation", "cpu_ns"], rows)

    table.section("GetFileMD5 (rynUtil.dll under Wine) vs md5sum, same file, same run")
    table.rows(["size_MiB", "md5sum_MiB/s", "GetFileMD5_MiB/s", "ratio", "peak_working_set_KiB",
                "peak_pagefile_KiB"],
               [[r["size_mib"], r["md5sum_mib_s"], r["getfilemd5_mib_s"], r["ratio"],
                 r["peak_working_set_kib"], r["peak_pagefile_kib"]] for r in md5])

    pass_targets = pass_cost_section(table, out, load_pass_cost(pass_cost)) if pass_cost else []

    table.section("Targets (measured, not enforced)")
    rows = []
    warm = {n: get(f"BM_PassWarm/{n}") for n in (100, 1000, 10000)}
    if warm[10000]:
        value = warm[10000]["cpu_us_per_proc"]
        rows.append(["warm pass CPU per process at 10,000 (all)", "<= 5 us", f"{fmt(value)} us",
                     verdict(value <= 5)])
        if profiles:
            share = profiles["warm"]["module"] / profiles["warm"]["total"]
            rows.append(["  of it the module's (by instruction share)", "<= 5 us",
                         f"{fmt(value * share)} us", verdict(value * share <= 5)])
    for small, large in ((100, 1000), (1000, 10000)):
        if warm[small] and warm[large]:
            growth = to_us(warm[large]) / to_us(warm[small])
            rows.append([f"warm pass {large:,} vs {small:,} processes, CPU time", "<= 11x",
                         f"{fmt(growth)}x", verdict(growth <= 11)])
        if (small, large) in instructions:
            growth = instructions[(small, large)]
            rows.append([f"warm pass {large:,} vs {small:,} processes, instructions", "<= 11x",
                         f"{fmt(growth)}x", verdict(growth <= 11)])
    for n, ratio in report_ratios.items():
        rows.append([f"report vs direct writer at {n:,}", "<= 1.5x", f"{fmt(ratio)}x",
                     verdict(ratio <= 1.5)])
    for n, ratio in heap_ratios.items():
        rows.append([f"report peak heap / JSON size at {n:,}", "<= 3x", f"{fmt(ratio)}x",
                     verdict(ratio <= 3)])
    parse = get("BM_TcpParse/100000")
    if parse:
        value = to_us(parse) / 1e3
        rows.append(["TCP Parse of 100,000 rows", "<= 20 ms", f"{fmt(value, 3)} ms",
                     verdict(value <= 20)])
    big = [r for r in md5 if r["ratio"]]
    if big:
        largest = max(big, key=lambda r: int(r["size_mib"]))
        ratio = float(largest["ratio"])
        rows.append([f"GetFileMD5 vs md5sum at {largest['size_mib']} MiB", ">= 0.9x",
                     f"{ratio:.2f}x", verdict(ratio >= 0.9)])
        sets = [int(r["peak_working_set_kib"]) for r in big]
        spread = (max(sets) - min(sets)) / max(1, min(sets))
        rows.append(["hashing memory independent of file size",
                     "flat peak working set",
                     f"{min(sets):,}-{max(sets):,} KiB over "
                     f"{', '.join(r['size_mib'] for r in big)} MiB", verdict(spread < 0.1)])
    table.rows(["target", "goal", "measured", ""], rows + pass_targets)
    print("\n".join(out))


if __name__ == "__main__":
    main()
