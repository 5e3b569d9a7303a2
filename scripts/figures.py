"""Turns the outputs scripts/figures.sh collected into README.md's figures block.

    python3 scripts/figures.py OUTPUT_FOLDER README.md
    python3 scripts/figures.py --help                  this text

scripts/figures.sh collects the outputs and runs it.

Every number and every outcome comes from a file in OUTPUT_FOLDER; what is written here is only
the wording around them.
"""

import fnmatch
import json
import re
import statistics
import sys
from pathlib import Path

BEGIN = "<!-- figures:begin -->"
END = "<!-- figures:end -->"


def load_json(path):
    try:
        return json.loads(Path(path).read_text(encoding="utf-8", errors="replace"))
    except (OSError, ValueError):
        return None


def ns(value):
    if value is None:
        return "n/a"
    if value >= 1e6:
        return f"{value / 1e6:,.2f} ms"
    if value >= 1e4:
        return f"{value / 1e3:,.1f} µs"
    return f"{value:,.1f} ns"


def count(value):
    return f"{value:,.0f}"


# --- The hook's cost ---

CASES = [
    ("BM_GameFunctionDirect", "The game's vehicle update, called directly"),
    ("BM_GameCallsOfTheResetPath", "The game calls the reset path makes, called directly"),
    ("BM_HookResetPath/trace:0", "Hook, reset path (driving, no window), trace off"),
    ("BM_HookResetPath/trace:1", "Hook, reset path, trace on"),
    ("BM_HookEngagedPath/trace:0", "Hook, engaged path (runs the game's update), trace off"),
    ("BM_HookEngagedPath/trace:1", "Hook, engaged path, trace on"),
    ("BM_HookResetPathKeyHotkey",
     "Hook, reset path, a key bound and not held (G): its state asked on every call"),
    ("BM_HookResetPathPadHotkey",
     "Hook, reset path, a controller button bound and not held (A), the pad reader running"),
    ("BM_HookResetPathKeyToggle",
     "Hook, reset path, a key bound as a toggle (G), toggled off: its state asked on every call"),
    ("BM_HookResetPathPadToggle",
     "Hook, reset path, a controller button bound as a toggle (A), toggled off"),
    ("BM_HookToggledOn",
     "Hook, a controller button's toggle (A) on: the handbrake engaged, the game's update run"),
    ("BM_HookBusyPath", "Hook, busy path (another thread holds the state)"),
    ("BM_TraceLine", "One trace line handed to the log's queue"),
]


def to_ns(entry):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
    return entry["real_time"] * scale


def medians(report):
    """Median real time per case, and each case's counters from its median entry."""
    found = {}
    for entry in (report or {}).get("benchmarks", []):
        if entry.get("aggregate_name") == "median":
            name = entry.get("run_name") or entry["name"].removesuffix("_median")
            found[name] = entry
    return found


def hook_section(out):
    native = medians(load_json(out / "hook_bench.json"))
    wine = medians(load_json(out / "hook_timing.json"))
    bench = load_json(out / "hook_bench.json") or {}
    repetitions = (bench.get("context") or {}).get("repetitions") or next(
        (e.get("repetitions") for e in bench.get("benchmarks", []) if "repetitions" in e), "?")
    wine_context = (load_json(out / "hook_timing.json") or {}).get("context", {})
    lines = [
        "### The hook per frame",
        "",
        f"Time per call. Natively: `hook_bench` (Google Benchmark), the median of {repetitions} "
        f"repetitions. Under Wine: `hook_timing.exe`, the median of "
        f"{wine_context.get('batches', '?')} timed batches (QueryPerformanceCounter). Allocations "
        "and page-protection calls are counted natively over each steady state, after the call "
        "that enters it.",
        "",
        "| Case | Native | Under Wine | Heap allocations per call | Page-protection calls per call |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, label in CASES:
        n = native.get(name)
        w = wine.get(name)
        allocs = n.get("allocs_per_call") if n else None
        protects = n.get("protects_per_call") if n else None
        lines.append(
            f"| {label} | {ns(to_ns(n)) if n else 'n/a'} | {ns(to_ns(w)) if w else 'n/a'} | "
            f"{'' if allocs is None else f'{allocs:g}'} | "
            f"{'' if protects is None else f'{protects:g}'} |")

    def share(source, hook, game):
        if hook in source and game in source:
            return ns(to_ns(source[hook]) - to_ns(source[game]))
        return "n/a"

    lines += [
        "",
        "The hook's own share on the reset path, beyond the game calls it must make: "
        f"{share(native, 'BM_HookResetPath/trace:0', 'BM_GameCallsOfTheResetPath')} natively, "
        f"{share(wine, 'BM_HookResetPath/trace:0', 'BM_GameCallsOfTheResetPath')} under Wine "
        "(trace off).",
    ]

    held = [e for e in bench.get("benchmarks", [])
            if e.get("run_type") == "iteration"
            and e["name"].startswith("BM_HookWhileASinkHoldsTheLockFor100ms")]
    if held:
        longest = [e["longest_call_ns"] for e in held]
        meanwhile = [e["calls_meanwhile"] for e in held]
        lines += [
            "",
            "While a sink holds the state for 100 ms (far longer than any sink holds it: the "
            "settings files are read without it), the longest hook call was "
            f"{ns(max(longest))} "
            f"(median over {len(held)} repetitions of 3 holds: {ns(statistics.median(longest))}), "
            f"with {count(statistics.median(meanwhile))} calls made per hold. No call waits for "
            "the lock; what shows here is the thread being preempted on a busy machine.",
        ]
    return lines


# --- The plugin's own threads ---

def threads_section(out):
    native = load_json(out / "background_costs.json") or {}
    wine = load_json(out / "background_costs-wine.json") or {}
    lines = [
        "### The plugin's own threads",
        "",
        "`background_costs`, natively and under Wine: the pad reader with one pad connected and a "
        "controller code bound, and the settings watcher, each for 3 s while the program sleeps "
        "(the process's CPU time, less its idle share); then TaviroCustom.ini saved "
        f"{native.get('saves', '?')} times at moments spread over the watcher's period, each "
        "timed until the new hotkey was in force.",
        "",
        "| | Native | Under Wine |",
        "|---|---:|---:|",
    ]

    def value(report, key, shown):
        return shown(report[key]) if key in report else "n/a"

    def share(x):
        return f"{x * 100:.2f} % of one core"

    def saves(report):
        s = report.get("save_in_force_ms")
        if not s:
            return "n/a"
        return f"{s['median']:.0f} ms (from {s['min']:.0f} to {s['max']:.0f} ms)"

    rows = [
        ("Pad reader: reads of the connected pad per second", "pad_reads_per_second",
         lambda x: f"{x:.0f}"),
        ("Pad reader: CPU", "pad_reader_cpu_share", share),
        ("Settings watcher (ten looks a second at two files): CPU", "watcher_cpu_share", share),
    ]
    for label, key, shown in rows:
        lines.append(f"| {label} | {value(native, key, shown)} | {value(wine, key, shown)} |")
    lines.append(f"| A save of TaviroCustom.ini in force after (median) | {saves(native)} | "
                 f"{saves(wine)} |")
    return lines


# --- Fuzzing ---

def fuzz_section(out):
    text = (out / "fuzz.log").read_text(errors="replace") if (out / "fuzz.log").exists() else ""
    names = {}
    results = {}
    for line in text.splitlines():
        if m := re.match(r"^(\d+): Test command: \S*?([\w-]+)(?:\.exe)?\s", line):
            names[m.group(1)] = m.group(2)
        elif m := re.match(r"^(\d+): Done (\d+) runs in (\d+) second", line):
            results[m.group(1)] = (int(m.group(2)), int(m.group(3)))
    lengths = sorted({int(s) for s in re.findall(r"-max_total_time=(\d+)", text)})
    lasting = " or ".join(f"{s} s" for s in lengths) if lengths else "?"
    lines = [
        "### Fuzzing",
        "",
        "The libFuzzer targets (ASan+UBSan) as CI runs them, two at a time, for "
        f"{lasting} each (the INI fuzzer, whose every run writes and reads real files, for "
        "longest):",
        "",
        "| Target | Runs | Seconds | Runs per second |",
        "|---|---:|---:|---:|",
    ]
    for number, name in sorted(names.items(), key=lambda item: item[1]):
        if number in results:
            runs, secs = results[number]
            lines.append(f"| `{name}` | {count(runs)} | {secs} | {count(runs / max(secs, 1))} |")
        else:
            lines.append(f"| `{name}` | did not finish | | |")
    return lines


# --- The stress test ---

def stress_section(out):
    text = (out / "stress-tsan.log").read_text(errors="replace") if (
        out / "stress-tsan.log").exists() else ""
    summary = re.search(r"stress summary: (.*)", text)
    took = re.search(r"Test\s+#\d+: concurrency_test \.*\s*(\w+)\s+([\d.]+) sec", text)
    lines = ["### The stress test", ""]
    if not summary:
        return lines + ["`concurrency_test` under TSan printed no summary."]
    values = dict(pair.split("=", 1) for pair in summary.group(1).split())
    v = {k: int(x) for k, x in values.items()}
    lines.append(
        f"`concurrency_test` under ThreadSanitizer: {v['hook_threads']} hook threads made "
        f"{count(v['hook_calls'])} hook calls while a dispatcher sent {count(v['events_dispatched'])} "
        f"events of all four kinds ({count(v['load_game_events'])} of them load-game events, each "
        f"a settings reload), a host thread reloaded the settings {v['reloads']} times, a player "
        f"saved TaviroCustom.ini {v.get('settings_saves', 0)} times (a controller combination and "
        "back) for the plugin's own watcher to read, a monitor "
        "checked the state's invariants and the log's writer drained the trace: "
        f"{count(v['log_lines'])} lines reached Taviro.log and "
        f"{count(v['trace_lines_dropped'])} trace lines were dropped with the queue full."
        + (f" The test {took.group(1).lower()} in {float(took.group(2)):.1f} s." if took else ""))
    return lines


# --- Bad inputs ---

ACRONYMS = {"utf": "UTF", "fifo": "FIFO", "cr": "CR", "lf": "LF", "ui": "UI", "ini": "INI",
            "mebibyte": "MiB"}


def words(camel):
    parts = re.findall(r"0x[0-9A-Fa-f]+|[0-9]+|[A-Z]+(?![a-z])|[A-Z]?[a-z]+", camel)
    out = []
    for i, part in enumerate(parts):
        lower = part.lower()
        if lower in ACRONYMS:
            out.append(ACRONYMS[lower])
        elif part.isupper() and len(part) > 1 or part.startswith("0x"):
            out.append(part)
        else:
            out.append(lower)
    text = " ".join(out)
    text = re.sub(r"\bUTF (\d+)", r"UTF-\1", text)
    text = re.sub(r"\bCR LF\b", "CRLF,", text)
    return text[:1].upper() + text[1:]


def results_of(path):
    """Full test name -> outcome, from one GoogleTest JSON report."""
    report = load_json(path)
    if report is None:
        return None
    found = {}
    for suite in report.get("testsuites", []):
        for test in suite.get("testsuite", []):
            full = f"{suite['name']}.{test['name']}"
            if test.get("failures"):
                found[full] = "**failed**"
            elif test.get("result") == "SKIPPED":
                found[full] = "skipped"
            elif test.get("status") == "RUN":
                found[full] = "passed"
            else:
                found[full] = test.get("result", "?").lower()
    return found


def bad_input_section(out):
    rows = []
    for line in (out / "bad-inputs.list").read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        program, pattern, bad = (field.strip() for field in line.split("|"))
        native = results_of(out / f"native-{program}.json")
        wine = results_of(out / f"wine-{program}.json")
        names = sorted(set(native or {}) | set(wine or {}))
        matched = [n for n in names if fnmatch.fnmatchcase(n, pattern)]
        if not matched:
            rows.append((bad, f"no test matched `{pattern}`", "no result", "no result"))
        for name in matched:
            test = name.split(".", 1)[1]
            happened, _, param = test.partition("/")
            what = bad + (": " + words(param)[:1].lower() + words(param)[1:] if param else "")
            rows.append((
                what,
                words(happened),
                "no result" if native is None else native.get(name, "Windows only"),
                "no result" if wine is None else wine.get(name, "native only"),
            ))
    lines = [
        "### Bad inputs",
        "",
        "What the test programs tried, what happened (the test's name) and whether it held: "
        "natively, and with the Windows build under Wine (where the real Windows functions "
        "answer).",
        "",
        "| Bad input | What happened | Native | Under Wine |",
        "|---|---|---|---|",
    ]
    lines += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
    return lines


def machine_section(out):
    facts = dict(line.split("=", 1) for line in
                 (out / "machine.txt").read_text().splitlines() if "=" in line)
    return [
        f"*Measured {facts.get('date', '?')} by `scripts/figures.sh` on {facts.get('cpus', '?')} "
        f"× {facts.get('cpu', '?')} (load average {facts.get('load', '?')} at the start), "
        f"{facts.get('wine', '?')}. Rewritten by the script; edits here are lost.*",
    ]


def main():
    args = sys.argv[1:]
    if args[:1] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return
    if len(args) != 2 or any(arg.startswith("-") for arg in args):
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    out = Path(args[0])
    readme = Path(args[1])
    block = []
    for section in (machine_section, hook_section, threads_section, fuzz_section, stress_section,
                    bad_input_section):
        block += [""] + section(out)
    text = readme.read_text(encoding="utf-8")
    begin = text.find(BEGIN)
    end = text.find(END)
    if begin < 0 or end < begin:
        sys.exit(f"figures.py: {readme} has no {BEGIN} ... {END} block")
    readme.write_text(text[:begin + len(BEGIN)] + "\n".join(block) + "\n\n" + text[end:],
                      encoding="utf-8")


if __name__ == "__main__":
    main()
