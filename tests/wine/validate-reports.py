#!/usr/bin/python3
"""Checks saved process list reports against docs/process-list.schema.json.

  validate-reports.py SCHEMA REPORT_DIR   every line of REPORT_DIR/*.jsonl is one report

A suite that saves reports creates its file when it starts: an empty file means
it ran and saved nothing (a failure), no file at all that no such suite ran
(exit 77, skipped).
  validate-reports.py --self-test SCHEMA  a sample report and mutants of it

Besides the schema it checks what JSON Schema cannot state: strict JSON (UTF-8,
no repeated member, no NaN), member order, the System record last, pids and the
ports of each port list ascending. Uses Debian's python3-jsonschema.
"""

import copy
import glob
import json
import os
import sys

from jsonschema import Draft202012Validator

MOST_ERRORS_SHOWN = 5
SKIPPED = 77


class ReportError(Exception):
    pass


def reject_repeated_members(pairs):
    names = [name for name, _ in pairs]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ReportError("repeated member " + ", ".join(repeated))
    return dict(pairs)


def reject_constant(name):
    raise ReportError("not standard JSON: " + name)


def parse(raw):
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ReportError("not UTF-8: %s" % error)
    try:
        return json.loads(text, object_pairs_hook=reject_repeated_members,
                          parse_constant=reject_constant)
    except ValueError as error:
        raise ReportError("not JSON: %s" % error)


def where(path):
    text = "report"
    for step in path:
        text += "[%d]" % step if isinstance(step, int) else "." + step
    return text


def is_system(record):
    return isinstance(record, dict) and record.get("cpu_time") == -1


def order_problems(report, schema):
    """Member order and the other rules beyond the schema, on a schema-valid report."""
    problems = []

    def in_order(value, definition, path):
        order = list(definition["properties"])
        expected = [name for name in order if name in value]
        if list(value) != expected:
            problems.append("%s: members %s, expected %s" % (where(path), list(value), expected))

    defs = schema["$defs"]
    in_order(report, schema, [])
    in_order(report["package_info"], schema["properties"]["package_info"], ["package_info"])
    records = report["process"]
    previous_pid = None
    for index, record in enumerate(records):
        path = ["process", index]
        if is_system(record):
            in_order(record, defs["systemRecord"], path)
            if index != len(records) - 1:
                problems.append("%s: the System record is not the last element" % where(path))
        else:
            in_order(record, defs["processRecord"], path)
            if previous_pid is not None and record["pid"] <= previous_pid:
                problems.append("%s: pid %d after pid %d" % (where(path), record["pid"],
                                                             previous_pid))
            previous_pid = record["pid"]
        for key in ("listen_port", "establish_port"):
            ports = [int(port) for port in record[key].split(",") if port.isdigit()]
            if ports != sorted(set(ports)):
                problems.append("%s.%s: %r is not strictly ascending" % (where(path), key,
                                                                         record[key]))
    return problems


def check(raw, schema, validator):
    """(stage, problems): stage is "parse", "schema" or "order" for the first failing
    stage, None when the report is valid."""
    try:
        report = parse(raw)
    except ReportError as error:
        return "parse", [str(error)]
    errors = sorted(validator.iter_errors(report), key=lambda error: [str(step) for step in error.absolute_path])
    if errors:
        return "schema", ["%s: %s" % (where(error.absolute_path), error.message)
                          for error in errors]
    problems = order_problems(report, schema)
    return ("order", problems) if problems else (None, [])


def load_schema(path):
    with open(path, encoding="utf-8") as file:
        schema = json.load(file)
    Draft202012Validator.check_schema(schema)
    return schema, Draft202012Validator(schema)


def validate(schema_path, report_dir):
    schema, validator = load_schema(schema_path)
    counts = []
    invalid = 0
    empty = []
    for path in sorted(glob.glob(os.path.join(report_dir, "*.jsonl"))):
        count = 0
        with open(path, "rb") as file:
            for number, line in enumerate(file, 1):
                line = line.rstrip(b"\n")
                count += 1
                stage, problems = check(line, schema, validator)
                if stage:
                    invalid += 1
                    print("INVALID %s line %d (%s):" % (os.path.basename(path), number, stage))
                    for problem in problems[:MOST_ERRORS_SHOWN]:
                        print("  " + problem[:300])
        counts.append("%s %d" % (os.path.basename(path), count))
        if count == 0:
            empty.append(os.path.basename(path))
    total = sum(int(entry.rsplit(" ", 1)[1]) for entry in counts)
    print("validated %d report%s against %s (%s): %d invalid" %
          (total, "" if total == 1 else "s", os.path.basename(schema_path),
           ", ".join(counts) or "no report files", invalid))
    if not counts:
        print("no report file in %s: no suite that saves reports ran" % report_dir)
        return SKIPPED
    for name in empty:
        print("FAILED %s: its suite ran and saved no report" % name)
    return 1 if invalid or empty else 0


# ---- Self-test: what the schema and the checks above must accept and reject.

def sample_report():
    full = {
        "pid": 1200, "ppid": 4, "proc_name": "agent.exe", "proc_path": "C:\\Korva\\agent.exe",
        "cmd_line": "\"C:\\Korva\\agent.exe\" -s", "user": "SYSTEM",
        "start_time": "20240501102030", "cpu_time": 12, "elapsed_time": 3600,
        "listen_port": "80,443,8080", "establish_port": "49152", "connect_count": 2,
        "file_size": 123456, "file_create_time": "20240101000000",
        "file_modify_time": "20240102030405", "file_md5": "0123456789abcdef0123456789abcdef",
        "description": "Korva Agent", "company": "Korva Labs",
        "app_sign": "SignCompany: Korva Labs SignDate: 20190305160709"}
    short = {key: value for key, value in full.items()
             if key not in ("file_size", "file_create_time", "file_modify_time", "file_md5")}
    short.update(pid=1300, ppid=-1, listen_port="", establish_port="", connect_count=0,
                 description="", company="", app_sign="")
    system = {
        "pid": 4, "ppid": -1, "proc_name": "System", "proc_path": "", "cmd_line": "",
        "user": "SYSTEM", "start_time": "", "cpu_time": -1, "elapsed_time": -1,
        "description": "", "company": "", "listen_port": "135,445", "establish_port": "",
        "connect_count": 0, "file_size": -1, "file_create_time": "", "file_modify_time": "",
        "file_md5": "", "app_sign": ""}
    return {"package_info": {"total_package": 1, "current_package": 1},
            "cmd_idx": "7", "trigger_type": "manual", "scan_time": "20240501102031",
            "process": [full, short, system]}


def setting(path, value):
    def mutate(report):
        target = report
        for step in path[:-1]:
            target = target[step]
        if value is DELETE:
            del target[path[-1]]
        else:
            target[path[-1]] = value
    return mutate


def moving(path, key, to_end=True):
    def mutate(report):
        target = report
        for step in path:
            target = target[step]
        value = target.pop(key)
        if to_end:
            target[key] = value
        else:
            rest = dict(target)
            target.clear()
            target[key] = value
            target.update(rest)
    return mutate


DELETE = object()
FULL, SHORT, SYSTEM = ["process", 0], ["process", 1], ["process", 2]

# (what, mutation, the stage that must reject it or None when it stays valid)
CASES = [
    ("an extra root member", setting(["extra"], 1), "schema"),
    ("an extra package member", setting(["package_info", "extra"], 1), "schema"),
    ("an extra process member", setting(FULL + ["extra"], ""), "schema"),
    ("an extra System member", setting(SYSTEM + ["extra"], ""), "schema"),
    ("a missing root member", setting(["trigger_type"], DELETE), "schema"),
    ("total_package 2", setting(["package_info", "total_package"], 2), "schema"),
    ("a 13-digit scan time", setting(["scan_time"], "2024050110203"), "schema"),
    ("month 13", setting(["scan_time"], "20241301102030"), "schema"),
    ("hour 24", setting(FULL + ["start_time"], "20240501242030"), "schema"),
    ("a time with a final line break", setting(["scan_time"], "20240501102031\n"), "schema"),
    ("an empty process start time", setting(FULL + ["start_time"], ""), "schema"),
    ("an empty file time", setting(FULL + ["file_create_time"], ""), None),
    ("pid as text", setting(FULL + ["pid"], "1200"), "schema"),
    ("ppid -2", setting(FULL + ["ppid"], -2), "schema"),
    ("cpu_time -1 in a process record", setting(FULL + ["cpu_time"], -1), "schema"),
    ("elapsed_time -1", setting(FULL + ["elapsed_time"], -1), "schema"),
    ("elapsed_time below 0 after a clock change", setting(FULL + ["elapsed_time"], -5), None),
    ("connect_count -1", setting(FULL + ["connect_count"], -1), "schema"),
    ("file_size 0", setting(FULL + ["file_size"], 0), "schema"),
    ("file_size -1", setting(FULL + ["file_size"], -1), None),
    ("three of the four file members", setting(FULL + ["file_md5"], DELETE), "schema"),
    ("an upper-case digest", setting(FULL + ["file_md5"], "0123456789ABCDEF0123456789ABCDEF"),
     "schema"),
    ("a 31-digit digest", setting(FULL + ["file_md5"], "0123456789abcdef0123456789abcde"),
     "schema"),
    ("an empty digest", setting(FULL + ["file_md5"], ""), None),
    ("a port list with a blank", setting(FULL + ["listen_port"], "80, 443"), "schema"),
    ("a port list with a trailing comma", setting(FULL + ["listen_port"], "80,443,"), "schema"),
    ("an empty port in a list", setting(FULL + ["listen_port"], "80,,443"), "schema"),
    ("a port with a leading zero", setting(FULL + ["listen_port"], "080"), "schema"),
    ("port 65536", setting(FULL + ["establish_port"], "65536"), "schema"),
    ("ports 0 and 65535", setting(FULL + ["establish_port"], "0,65535"), None),
    ("a descending port list", setting(FULL + ["listen_port"], "443,80"), "order"),
    ("a repeated port", setting(SYSTEM + ["listen_port"], "135,135"), "order"),
    ("the signer alone", setting(FULL + ["app_sign"], "SignCompany: Korva Labs"), None),
    ("the date alone", setting(FULL + ["app_sign"], " SignDate: 20190305160709"), None),
    ("the date without its leading blank", setting(FULL + ["app_sign"], "SignDate: 20190305160709"),
     "schema"),
    ("a 13-digit signing date", setting(FULL + ["app_sign"], " SignDate: 2019030516070"),
     "schema"),
    ("an empty signer name", setting(FULL + ["app_sign"], "SignCompany: "), "schema"),
    ("a System record with a user", setting(SYSTEM + ["user"], "system"), "schema"),
    ("a System start time", setting(SYSTEM + ["start_time"], "20240501102030"), "schema"),
    ("a System record without file_md5", setting(SYSTEM + ["file_md5"], DELETE), "schema"),
    ("no System record", setting(["process"], []), "schema"),
    ("two System records", lambda report: report["process"].append(
        copy.deepcopy(report["process"][2])), "schema"),
    ("a process record with pid 4", setting(FULL + ["pid"], 4), None),
    ("the System record first", lambda report: report["process"].insert(
        0, report["process"].pop()), "order"),
    ("pids descending", setting(SHORT + ["pid"], 1100), "order"),
    ("file_size after file_md5", moving(FULL, "file_size"), "order"),
    ("the System record in process-record order", lambda report: report["process"].__setitem__(
        2, {key: report["process"][2][key] for key in report["process"][0]}), "order"),
    ("process before package_info", moving([], "package_info"), "order"),
]


def self_test(schema_path):
    schema, validator = load_schema(schema_path)
    failures = []
    stage, problems = check(compact(sample_report()), schema, validator)
    if stage:
        failures.append("the sample report is rejected (%s): %s" % (stage, problems))
    by_stage = {}
    for what, mutate, expected in CASES:
        report = sample_report()
        mutate(report)
        stage, problems = check(compact(report), schema, validator)
        by_stage[stage] = by_stage.get(stage, 0) + 1
        if stage != expected:
            failures.append("%s: expected %s, got %s %s" % (what, expected or "valid",
                                                            stage or "valid", problems[:2]))
    raw_cases = [
        ("a repeated member", b'{"cmd_idx":"1","cmd_idx":"2"}', "parse"),
        ("a byte that is not UTF-8", compact(sample_report()).replace(b"Korva", b"K\xf6rva"),
         "parse"),
        ("NaN", b'{"package_info":NaN}', "parse"),
    ]
    for what, raw, expected in raw_cases:
        stage, problems = check(raw, schema, validator)
        by_stage[stage] = by_stage.get(stage, 0) + 1
        if stage != expected:
            failures.append("%s: expected %s, got %s" % (what, expected, stage or "valid"))
    for failure in failures:
        print("FAILED " + failure)
    print("self-test: %d cases; rejected by the parser %d, the schema %d, the order checks %d; "
          "valid %d; %d failed" % (len(CASES) + len(raw_cases), by_stage.get("parse", 0),
                                   by_stage.get("schema", 0), by_stage.get("order", 0),
                                   by_stage.get(None, 0), len(failures)))
    return 1 if failures else 0


def compact(report):
    return json.dumps(report, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def main(argv):
    if len(argv) == 3 and argv[1] == "--self-test":
        return self_test(argv[2])
    if len(argv) == 3:
        return validate(argv[1], argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
