#!/usr/bin/env python3
"""Splits the instructions of a callgrind profile between the module and what the
native build puts around it.

    profile_split.py PROFILE [BASELINE_PROFILE] [PROCESSES]

Reads callgrind output files (collected inside CKorvaProcInterfaceImp::run only).
Every call from code outside the scripted layer and the agent-library sources into
them is charged, with everything below it, to "scripted layer" or "agent library"
(TimeUtil, the one real rynUtil source of the native build); the rest is the module's
(its code, RapidJSON, and the C/C++ runtime it calls). With a baseline profile (the
first pass alone) the baseline's counts are subtracted, leaving the warm pass.
"""

import re
import sys

KINDS = (("layer", "/tests/layer/"), ("agent", "/agent/"), ("bench", "/bench/"))


def kind_of(path):
    for kind, marker in KINDS:
        if marker in path:
            return kind
    return "module"


def split(path):
    files = {}      # file id -> path
    fn_file = {}    # function id -> path
    totals = {"layer": 0, "agent": 0, "bench_self": 0}
    summary = 0
    current_file = ""
    current_fn = None
    callee = None
    callee_file = None
    pending_call = False

    def file_ref(text):
        m = re.match(r"\((\d+)\)(?: (.*))?", text)
        if not m:
            return text
        if m.group(2) is not None:
            files[m.group(1)] = m.group(2)
        return files.get(m.group(1), "")

    def fn_ref(text, file_path):
        m = re.match(r"\((\d+)\)(?: (.*))?", text)
        key = m.group(1) if m else text
        if key not in fn_file or (m and m.group(2) is not None):
            fn_file.setdefault(key, file_path)
        return key

    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("summary:"):
                summary = int(line.split()[1])
            elif line.startswith("fl="):
                current_file = file_ref(line[3:])
            elif line.startswith(("fi=", "fe=")):
                file_ref(line[3:])
            elif line.startswith("fn="):
                current_fn = fn_ref(line[3:], current_file)
            elif line.startswith(("cfi=", "cfl=")):
                callee_file = file_ref(line[4:])
            elif line.startswith("cfn="):
                callee = fn_ref(line[4:], callee_file if callee_file is not None else current_file)
            elif line.startswith("calls="):
                pending_call = True
            elif line and (line[0].isdigit() or line[0] in "+-*"):
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    caller_kind = kind_of(fn_file.get(current_fn, current_file))
                    callee_kind = kind_of(fn_file.get(callee, ""))
                    if caller_kind not in ("layer", "agent") and callee_kind in ("layer", "agent"):
                        totals[callee_kind] += cost
                    pending_call = False
                    callee_file = None
                elif kind_of(fn_file.get(current_fn, current_file)) == "bench":
                    totals["bench_self"] += cost
    totals["total"] = summary
    return totals


def shares(totals):
    """Instructions of the module, the layer and the agent library, and the total."""
    total = totals["total"]
    return {"module": total - totals["layer"] - totals["agent"], "layer": totals["layer"],
            "agent": totals["agent"], "total": total, "heap_counter": totals["bench_self"]}


def main():
    profile = split(sys.argv[1])
    if len(sys.argv) > 2 and not sys.argv[2].isdigit():
        base = split(sys.argv[2])
        profile = {k: profile[k] - base[k] for k in profile}
        args = sys.argv[3:]
    else:
        args = sys.argv[2:]
    processes = int(args[0]) if args else 1
    total = profile["total"]
    module = total - profile["layer"] - profile["agent"]
    for label, value in (("module (its code, RapidJSON, C/C++ runtime)", module),
                         ("scripted layer (Win32 calls and rynUtil doubles)", profile["layer"]),
                         ("agent library source (CTimeUtil)", profile["agent"]),
                         ("all", total)):
        print(f"split {label}: {value / processes:,.0f} instructions per process "
              f"({100.0 * value / max(total, 1):.1f}%)")
    print(f"split note: the bench's heap counter adds {profile['bench_self'] / processes:,.0f} "
          f"instructions per process to these")


if __name__ == "__main__":
    main()
