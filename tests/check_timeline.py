#!/usr/bin/env python3
"""Plays a scenario in the testbed with the real plugin, keeps its log, draws the timeline from
that log and checks that the picture tells the run as it happened: one row of --states for every
frame the game ran, up to the one the log's closing line names, each with the handbrake as the
testbed saw the game's byte and the reason the scenario expects (its why=), and a marker for
every game event the log names. Then the picture's bands, frame by frame: the handbrake's where
the game's byte was engaged, the windows' where the log has them open, the frames Taviro stood
aside where the log gives that reason, and the hotkey where the log's settings lines put it in
force; every engagement of Taviro's own labelled with its reason; no lane without a band. The
scenario turns the trace on before its first frame.

    check_timeline.py <work dir> [--emulator CMD] <taviro-testbed> <scenario>
"""
import collections
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
    svg = ElementTree.parse(picture)
    titles = [t.text for t in svg.iter("{http://www.w3.org/2000/svg}title")]
    for frame, name in events:
        if f"{name} after frame {frame}" not in titles:
            failures.append(f"no marker for {name} after frame {frame}")
    if not events:
        failures.append("the log names no game event: is the trace on in the scenario?")

    failures += check_bands(svg, shown, played, log)

    for failure in failures[:20]:
        print(failure)
    if failures:
        sys.exit(1)
    print(f"{picture}: {len(played)} frames as played, {reasons} with the reason expected, "
          f"{len(events)} events marked")


ASIDE = ("warm-up", "load-screen", "fade", "no-ui-yet", "tracked-object-not-ready", "game-flag")
SETTINGS = re.compile(r"settings in force: (.*?)(?:, (?:from|the key from) [^;]*)?; decision trace "
                      r".*; from frame=(\d+) on")


def frames_of(bands, lane, **wanted):
    """Frame -> band for every frame a band of the lane covers, and the frames covered twice."""
    covered, twice = {}, []
    for band in bands:
        if band.get("data-lane") != lane or any(band.get(f"data-{k}") != v
                                                for k, v in wanted.items()):
            continue
        for frame in range(int(band.get("data-first")), int(band.get("data-last")) + 1):
            twice += [frame] if frame in covered else []
            covered[frame] = band
    return covered, twice


def differ(what, drawn, wanted):
    odd = sorted(set(drawn) ^ set(wanted))
    return [f"{what}: the picture and the log differ on {len(odd)} frames, first {odd[:8]}"] \
        if odd else []


def check_bands(svg, shown, played, log):
    ns = "{http://www.w3.org/2000/svg}"
    bands = [r for r in svg.iter(ns + "rect") if r.get("class") == "band"]
    failures = []
    engaged, twice = frames_of(bands, "handbrake")
    failures += differ("handbrake engaged", engaged,
                       [f for f, (byte, _) in played.items() if byte == "engaged"])
    failures += [f"frames {twice[:8]} under two handbrake bands"] if twice else []
    for frame, band in engaged.items():
        if band.get("data-why") != shown[frame]["why"]:
            failures.append(f"frame {frame}: its band says why={band.get('data-why')}, the log "
                            f"why={shown[frame]['why']}")
    for key in ("exit", "activation"):
        failures += differ(f"{key} window open", frames_of(bands, key)[0],
                           [f for f, row in shown.items() if row[key] == "open"])
    for why in ASIDE:
        failures += differ(f"standing aside for {why}", frames_of(bands, "aside", why=why)[0],
                           [f for f, row in shown.items() if row["why"] == why])

    # The hotkey in force on each frame: the last settings line at or before it.
    with open(log, encoding="utf-8", errors="replace") as f:
        lines = [(int(frame), words) for words, frame in SETTINGS.findall(f.read())]
    in_force = {}
    for frame in shown:
        words = [w for start, w in lines if start <= frame]
        if words:
            in_force[frame] = words[-1]
    hotkey = {f: band.get("data-words") for f, band in frames_of(bands, "settings")[0].items()}
    if hotkey != in_force:
        odd = sorted(f for f in set(hotkey) | set(in_force) if hotkey.get(f) != in_force.get(f))
        failures.append(f"the settings lane differs from the log's settings lines on frames "
                        f"{odd[:8]}: {[(f, hotkey.get(f), in_force.get(f)) for f in odd[:3]]}")

    # Taviro's own engagements are labelled, whatever room there is.
    labelled = collections.Counter(ident for t in svg.iter(ns + "text")
                                   for ident in (t.get("data-for") or "").split())
    for band in bands:
        if (band.get("data-why") or "").startswith("counting:") and not labelled[band.get("id")]:
            failures.append(f"the band {band.get('id')} ({band.get('data-why')}) has no label")
    lanes = {r.get("data-lane") for r in svg.iter(ns + "rect") if r.get("class") == "lane"}
    filled = {b.get("data-lane") for b in bands} | {"handbrake", "stage"}
    if lanes != filled:
        failures.append(f"lanes drawn {sorted(lanes)}, lanes with something in them "
                        f"{sorted(filled)}")
    return failures


if __name__ == "__main__":
    main()
