#!/usr/bin/env python3
"""Plays a scenario in the testbed with the real plugin, keeps its log, draws the timeline from
that log and checks that the picture tells the run as it happened: one row of --states for every
frame the game ran, up to the one the log's closing line names, each with the handbrake as the
testbed saw the game's byte and the reason the scenario expects (its why=), and a marker for
every game event the log names. The scenario turns the trace on before its first frame.

    check_timeline.py <work dir> [--emulator CMD] <taviro-testbed> <scenario>
"""
import csv
import os
import re
import shlex
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
TIMELINE = os.path.join(HERE, "..", "scripts", "timeline.py")


def main():
    args = sys.argv[1:]
    if len(args) < 3:
        sys.exit(__doc__)
    work = os.path.abspath(args.pop(0))
    emulator = []
    if args[0] == "--emulator":
        args.pop(0)
        emulator = shlex.split(args.pop(0))
    testbed, scenario = args
    os.makedirs(work, exist_ok=True)
    log, frames, picture = (os.path.join(work, name) for name in ("run.log", "frames.csv",
                                                                    "timeline.svg"))
    run = subprocess.run(emulator + [testbed, scenario, "--work-dir", work, "--keep-log", log,
                                     "--frames", frames], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"the scenario failed:\n{run.stdout}\n{run.stderr}")

    drawn = subprocess.run([sys.executable, TIMELINE, log, "-o", picture, "--states"],
                           capture_output=True, text=True)
    if drawn.returncode != 0:
        sys.exit(f"timeline.py failed:\n{drawn.stdout}\n{drawn.stderr}")
    rows = list(csv.DictReader(
        line for line in drawn.stdout.splitlines() if re.match(r"(frame,|\d)", line)))
    shown = {int(row["frame"]): row for row in rows}
    with open(frames, newline="", encoding="utf-8") as f:
        played = {int(row[0]): (row[2], row[4]) for row in csv.reader(f)}

    failures = []
    listed = [int(row["frame"]) for row in rows]
    if listed != sorted(played):
        odd = [frame for frame in listed if frame not in played or listed.count(frame) > 1]
        failures.append(f"--states gave {len(listed)} rows, the run played frames 1 to "
                        f"{max(played)}; rows twice or of no frame played: {odd[:10]}\n"
                        f"{drawn.stderr}")
    for frame, (byte, why) in sorted(played.items()):
        row = shown.get(frame, {})
        if row.get("handbrake") != byte:
            failures.append(f"frame {frame}: the run's byte was {byte}, the picture shows "
                            f"{row.get('handbrake')}")
        if why and row.get("why") != why:
            failures.append(f"frame {frame}: the scenario expects why={why}, the picture says "
                            f"why={row.get('why')}")
    reasons = sum(1 for _, why in played.values() if why)
    with open(log, encoding="utf-8", errors="replace") as f:
        events = re.findall(r" event frame=(\d+) (\S+)", f.read())
    titles = [t.text for t in ElementTree.parse(picture).iter("{http://www.w3.org/2000/svg}title")]
    for frame, name in events:
        if f"{name} after frame {frame}" not in titles:
            failures.append(f"no marker for {name} after frame {frame}")
    if not events:
        failures.append("the log names no game event: is the trace on in the scenario?")

    for failure in failures[:20]:
        print(failure)
    if failures:
        sys.exit(1)
    print(f"{picture}: {len(played)} frames as played, {reasons} with the reason expected, "
          f"{len(events)} events marked")


if __name__ == "__main__":
    main()
