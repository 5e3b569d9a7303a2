#!/usr/bin/env python3
"""Draws what Taviro decided about the handbrake, frame by frame, from a player's Taviro.log.

The log holds these decisions only if the player had bLogging=1 in
Data\\SFSE\\Plugins\\TaviroCustom.ini (under [Settings]) when the game ran; without it, ask
for a log written that way. Needs only Python 3 (on Windows, type `py` for `python3`).

    python3 timeline.py Taviro.log                    picture beside the log: Taviro-timeline.svg
    python3 timeline.py Taviro.log -o drive.svg       picture where you want it
    python3 timeline.py Taviro.log --frames 2000:2600 only those frames, to zoom in
    python3 timeline.py Taviro.log --launch 1         an earlier game start in the same file
                                                      (default: the last; each starts with a
                                                      "Taviro.log, started" line, and where the log
                                                      goes on after the last one's, a "---- a new
                                                      launch" line)
    python3 timeline.py Taviro.log --states > s.csv   the state of every frame as text instead
                                                      (add -o to get the picture as well)

Open the SVG in a web browser; hovering a band, label or marker tells its frames.

A frame is one vehicle update the game ran through the plugin. The picture's lanes, top to
bottom, over the frames:
  handbrake          filled while the plugin had the handbrake engaged; the small labels
                     say why it switched (the decision's reason, or the game event)
  engage stage       -1 up to 3: counting frames before the plugin engages
  exit window,       filled while open
  activation window
  warm-up            filled while the plugin warms up after a load screen, fade or the end
                     credits (30 frames in which it decides nothing), paler while a load
                     screen or fade holds the count at 0; a triangle marks each restart
  game events        dashed lines, coloured as the lane they act on, between two frames

--states writes `frame,handbrake,stage,warmup,exit,activation`, one row per frame: the state
right after that frame's decision; a game event between two frames counts from the next one.
The log has a line only where something changed, so a row repeats the line before it. The
warm-up count is the exception: it is logged when a warm-up starts, restarts or completes, not
at every frame, so a count from 1 to 29 stands only on the frame of its own line, and the
frames after it say `warming` until the next line; 0 (held by a load screen) and 30 (done)
hold as they are. A field the log never gave is empty. It writes at most 2,000,000 rows; pick a
range with --frames for more.

A last line with no newline (the game ended while it was written) is read past, and said so.

Exit status: 0 done; 1 the log (or the chosen launch) holds no decision trace; 2 the log
cannot be read, the output cannot be written, or the command line is wrong.
"""
import argparse
import csv
import math
import os
import re
import sys
from xml.sax.saxutils import escape

PROG = "timeline.py"
FIELDS = ("handbrake", "stage", "warmup", "exit", "activation")
WARMUP_DONE = 30
TIME = re.compile(r"\d{1,2}:\d{2}:\d{2}(?:[.,]\d+)?$")
FRAME = re.compile(r"[0-9]{1,9}$")  # more would be months of driving: garbage
NO_TRACE = "no decision trace in this log: set bLogging=1 in TaviroCustom.ini"
MAX_STATE_ROWS = 2_000_000  # over nine hours of driving at 60 frames a second; about 70 MB


class Failure(Exception):
    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def _one_of(*allowed):
    return lambda text: text if text in allowed else None


def _count(low, high):
    def parse(text):
        try:
            number = int(text)
        except ValueError:
            return None
        return number if low <= number <= high else None
    return parse


# Other keys (window=, and whatever later versions add) are read past.
PARSERS = {
    "handbrake": _one_of("engaged", "released"),
    "stage": _count(-1, 3),
    "warmup": _count(0, WARMUP_DONE),
    "exit": _one_of("open", "closed"),
    "activation": _one_of("open", "closed"),
}


class Step:
    """One trace or event line: from frame `start` on, the state is `state` until the next."""

    def __init__(self, kind, frame, time, reason, values, line):
        self.kind, self.frame, self.time, self.reason = kind, frame, time, reason
        self.values, self.line = values, line
        # An event comes between frame N and N+1, so it holds from N+1.
        self.start = frame if kind == "trace" else frame + 1
        self.order = (frame, 0 if kind == "trace" else 1)
        self.state = None


class Launch:
    def __init__(self):
        self.steps = []
        self.header = None
        self.lines = 0

    def frames(self):
        return self.steps[0].start, max(self.steps[0].start, max(s.frame for s in self.steps))


def read_text(path):
    try:
        with open(path, "rb") as log:
            data = log.read()
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror or error}", 2)
    # Notepad's "Unicode" saves as UTF-16, which a log passed between people may have gone through.
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        return data.decode("utf-16", errors="replace")
    return data.decode("utf-8-sig", errors="replace")


def parse_step(kind, time, words, line):
    """Returns (step or None, [problems])."""
    values, bad, name, frame, why = {}, [], None, None, None
    for word in words:
        key, eq, value = word.partition("=")
        if not eq:
            if kind == "event" and name is None:
                name = word
        elif key == "frame":
            frame = int(value) if FRAME.match(value) else None
        elif key == "why":
            why = value
        elif key in PARSERS:
            parsed = PARSERS[key](value)
            if parsed is None:
                bad.append(word)
            else:
                values[key] = parsed
    if frame is None:
        return None, [f"line {line}: no frame number, skipped"]
    problems = [f"line {line}: {word} is no value the plugin writes, read past" for word in bad]
    if not values:
        return None, problems + [f"line {line}: no state on it (cut short?), skipped"]
    missing = [f for f in FIELDS if f not in values and not any(b.startswith(f + "=") for b in bad)]
    if missing:
        problems.append(f"line {line}: no {', '.join(missing)} (cut short?): "
                        "taken as they were before")
    reason = why if kind == "trace" else name
    return Step(kind, frame, time, reason or "?", values, line), problems


def is_launch_start(kind, rest):
    """The plugin's first lines of a launch: "---- a new launch; ..." where the log goes on after
    the last launch's, and "Taviro.log, started <date>; ..." at the start of every launch."""
    return kind == "info" and (rest[:4] == ["----", "a", "new", "launch;"] or
                               rest[:2] == ["Taviro.log,", "started"])


def parse_log(text):
    """Splits the log into launches of steps. Returns (launches, problems, recognised lines)."""
    launches, problems, recognised, after_mark = [Launch()], [], 0, False
    # One record per line, and only a newline ends one: the plugin escapes every other character
    # that some reader takes for a line break.
    lines = text.split("\n")
    if lines[-1].strip():
        problems.append(f"line {len(lines)}: the last line has no newline (cut short as the game "
                        "ended?), read past")
    for number, raw in enumerate(lines[:-1], 1):
        line = raw.strip()
        if not line:
            continue
        launch = launches[-1]
        words = line.split()
        if len(words) < 2 or not TIME.match(words[0]):
            launch.lines += 1
            continue
        recognised += 1
        time, kind, rest = words[0], words[1], words[2:]
        # The start line that follows the plugin's "---- a new launch" belongs to its launch.
        starts = is_launch_start(kind, rest)
        if starts and launch.lines and not (rest[0] != "----" and after_mark):
            launch = Launch()
            launches.append(launch)
        after_mark = starts and rest[0] == "----"
        launch.lines += 1
        if kind == "info" and launch.header is None and rest[:1] == ["Taviro"]:
            launch.header = " ".join(rest)
        if kind not in ("trace", "event"):
            continue
        step, found = parse_step(kind, time, rest, number)
        problems += found
        if step is None:
            continue
        if launch.steps and step.order < launch.steps[-1].order:
            if found:
                problems.append(f"line {number}: its frame goes back, skipped")
                continue
            # A launch whose first lines got lost: the frames start again.
            problems.append(f"line {number}: frames start again at {step.frame}: "
                            "read as a new launch")
            launch = Launch()
            launch.lines = 1
            launches.append(launch)
        launch.steps.append(step)
    launches = [launch for launch in launches if launch.lines]
    for launch in launches:
        state = dict.fromkeys(FIELDS)
        for step in launch.steps:
            state = dict(state, **step.values)
            step.state = state
    return launches, problems, recognised


def pick_launch(launches, choice, recognised):
    traced = [i + 1 for i, launch in enumerate(launches) if launch.steps]
    if not traced:
        hint = ("" if recognised else " (the file is empty)" if not launches
                else " (nothing in this file looks like a Taviro log line)")
        raise Failure(NO_TRACE + hint, 1)
    if choice == "last":
        number = len(launches)
    else:
        try:
            number = int(choice)
        except ValueError:
            number = 0
        if not 1 <= number <= len(launches):
            raise Failure(f"--launch takes last or a number from 1 to {len(launches)} "
                          f"(this log holds {len(launches)} launches)", 2)
    if not launches[number - 1].steps:
        which = ", ".join(map(str, traced))
        raise Failure(f"launch {number} of {len(launches)} holds no decision trace; "
                      f"launches with one: {which} (pick one with --launch)", 1)
    return number


def parse_frames(text, first, last):
    low, sep, high = text.partition(":")
    try:
        low = int(low) if low.strip() else first
        high = int(high) if high.strip() else last
    except ValueError:
        raise Failure(f"--frames takes A:B, frame numbers (A: or :B leave an end open), "
                      f"not {text}", 2)
    if not sep:
        raise Failure(f"--frames takes A:B, not {text}", 2)
    if low > high:
        raise Failure(f"--frames {text}: the first frame comes after the last", 2)
    low, high = max(low, first), min(high, last)
    if low > high:
        raise Failure(f"--frames {text} holds none of this launch's frames ({first}:{last})", 2)
    return low, high


def effective_steps(steps):
    """One step per start frame: when an event and the next frame's line start together, the
    frame's line is what the frame ended with."""
    result = []
    for step in steps:
        if result and result[-1].start == step.start:
            result[-1] = step
        else:
            result.append(step)
    return result


def segments(steps, low, high):
    """(first frame, last frame, step) for each step's frames within low..high."""
    result = []
    for i, step in enumerate(steps):
        end = steps[i + 1].start - 1 if i + 1 < len(steps) else high
        a, b = max(step.start, low), min(end, high)
        if a <= b:
            result.append((a, b, step))
    return result


def check_states_size(segs, low, high):
    """--states writes a row per frame: a frame number no driving reaches (a garbage line) must
    not fill a disk."""
    rows = sum(b - a + 1 for a, b, _ in segs)
    if rows > MAX_STATE_ROWS:
        last = max((step for _, _, step in segs), key=lambda step: step.frame)
        raise Failure(f"--states: frames {low}-{high} would be {rows:,} rows, more than the "
                      f"{MAX_STATE_ROWS:,} written at once (line {last.line} says frame="
                      f"{last.frame}); pick a range with --frames A:B", 2)


def write_states(out, segs):
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(("frame",) + FIELDS)
    for low, high, step in segs:
        state = step.state
        own_count = step.kind == "trace" and "warmup" in step.values
        for frame in range(low, high + 1):
            warmup = state["warmup"]
            if warmup is not None and 0 < warmup < WARMUP_DONE and not (
                    own_count and frame == step.start):
                warmup = "warming"
            row = (state["handbrake"], state["stage"], warmup, state["exit"], state["activation"])
            writer.writerow((frame,) + tuple("" if v is None else v for v in row))


# --- the picture -------------------------------------------------------------------------------

INK, MUTED, FAINT, GRID, LANE = "#0f172a", "#64748b", "#94a3b8", "#e2e8f0", "#f1f5f9"
HANDBRAKE, STAGE, EXIT, ACTIVATION = "#e11d48", "#2563eb", "#0d9488", "#7c3aed"
WARMING, HELD, RESTART, OTHER_EVENT = "#fbbf24", "#fde8b0", "#b45309", "#475569"
EVENT_COLOURS = {"exit-vehicle": EXIT, "activation-matched": ACTIVATION,
                 "game-loaded": RESTART, "credits-closed": RESTART}
FONT = "'Segoe UI', 'Helvetica Neue', Arial, 'DejaVu Sans', sans-serif"
WIDTH, PLOT_LEFT, PLOT_RIGHT = 1200, 168, 1172
XML_UNSAFE = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def text(value, limit=60):
    """What the log gave, made safe for XML: garbage bytes must not make the picture unreadable."""
    value = XML_UNSAFE.sub("?", str(value))
    return escape(value if len(value) <= limit else value[:limit - 1] + "\u2026")


def text_width(value, size):
    return len(value) * size * 0.56


def nice_step(span, ticks=10):
    raw = max(span / ticks, 1)
    magnitude = 10 ** math.floor(math.log10(raw))
    for multiple in (1, 2, 2.5, 5, 10):
        step = multiple * magnitude
        if step >= raw and step == int(step):
            return int(step)
    return int(10 * magnitude)


class Rows:
    """Labels beside their markers, in rows counted from the lanes outwards, placed left to
    right. A marker's line may run behind a label of a nearer row: labels are drawn last, on a
    halo. A label that fits in no row is left out, and its marker keeps the tooltip."""

    def __init__(self, count):
        self.taken = [[] for _ in range(count)]

    def place(self, left, right):
        for row, taken in enumerate(self.taken):
            if all(right + 6 <= a or left - 6 >= b for a, b in taken):
                taken.append((left, right))
                return row
        return None

    def count(self):
        return max([row + 1 for row, taken in enumerate(self.taken) if taken] + [1])


class Picture:
    def __init__(self, low, high):
        self.low = low
        self.scale = (PLOT_RIGHT - PLOT_LEFT) / (high - low + 1)
        self.parts = []
        self.labels = []  # drawn last, over every marker

    def x(self, boundary):
        """x of a frame boundary: frame f spans f-0.5 .. f+0.5."""
        return PLOT_LEFT + (boundary - (self.low - 0.5)) * self.scale

    def add(self, part):
        self.parts.append(part)

    def band(self, runs, top, height, colour, what, value=True):
        for low, high, state in runs:
            if state != value:
                continue
            x = self.x(low - 0.5)
            width = max(self.x(high + 0.5) - x, 1.0)
            span = f"frame {low}" if low == high else f"frames {low}\u2013{high}"
            self.add(f'<rect x="{x:.2f}" y="{top}" width="{width:.2f}" height="{height}" '
                     f'fill="{colour}"><title>{what}, {span}</title></rect>')

    def label(self, x, y, value, size=11, colour=MUTED, anchor="start", weight="normal",
              halo=False):
        # A halo keeps a label readable where an event's marker runs behind it.
        ground = ' stroke="#ffffff" stroke-width="3" paint-order="stroke"' if halo else ""
        (self.labels if halo else self.parts).append(
            f'<text x="{x:.2f}" y="{y:.1f}" font-size="{size}" fill="{colour}" '
            f'text-anchor="{anchor}" font-weight="{weight}"{ground}>{value}</text>')

    def beside(self, rows, x, words, size):
        """Where a label for a marker at x goes, right of it if it can, else left of it:
        (row or None, text x, anchor)."""
        width = text_width(words, size)
        if x + 4 + width <= PLOT_RIGHT:
            row = rows.place(x + 4, x + 4 + width)
            if row is not None:
                return row, x + 4, "start"
        if x - 4 - width >= PLOT_LEFT - 40:
            return rows.place(x - 4 - width, x - 4), x - 4, "end"
        return None, x + 4, "start"


def runs(segs, field, test=lambda v: v):
    result = []
    for low, high, step in segs:
        value = step.state[field]
        value = None if value is None else test(value)
        if result and result[-1][2] == value and result[-1][1] == low - 1:
            result[-1][1] = high
        else:
            result.append([low, high, value])
    return result


def warmup_phase(count):
    return "held" if count == 0 else "warming" if count < WARMUP_DONE else "done"


def when(step):
    return f"after frame {step.frame}" if step.kind == "event" else f"at frame {step.frame}"


LANES = (("handbrake", "Handbrake", "engaged", 34), ("stage", "Engage stage", "\u22121 to 3", 62),
         ("exit", "Exit window", None, 22), ("activation", "Activation window", None, 22),
         ("warmup", "Warm-up", None, 22))
LEGEND = (("rect", HANDBRAKE, "handbrake engaged"), ("line", STAGE, "engage stage"),
          ("rect", EXIT, "exit window open"), ("rect", ACTIVATION, "activation window open"),
          ("rect", WARMING, "warming up"), ("rect", HELD, "warm-up held at 0"),
          ("restart", RESTART, "warm-up restart"), ("event", OTHER_EVENT, "game event"))


class Timeline:
    """The picture of one launch's frames low..high."""

    def __init__(self, launch, low, high):
        self.pic = Picture(low, high)
        self.low, self.high = low, high
        self.steps = effective_steps(launch.steps)
        self.segs = segments(self.steps, low, high)
        self.events = [s for s in launch.steps if s.kind == "event" and low - 1 <= s.frame <= high]
        self.switches = [
            after for before, after in zip(self.steps, self.steps[1:])
            if None not in (before.state["handbrake"], after.state["handbrake"])
            and before.state["handbrake"] != after.state["handbrake"] and low < after.start <= high]
        self.restarts = [
            after for before, after in zip(launch.steps, launch.steps[1:])
            if before.state["warmup"] is not None and "warmup" in after.values
            and after.values["warmup"] < before.state["warmup"] and low <= after.start <= high + 1]

        # Labels first: how many rows they take decides the layout.
        event_rows, switch_rows = Rows(3), Rows(2)
        self.placed_events = [
            (event, x) + self.pic.beside(event_rows, x, event.reason[:28], 11)
            for event, x in ((e, self.pic.x(e.frame + 0.5)) for e in self.events)]
        self.placed_switches = [
            (switch, x) + self.pic.beside(switch_rows, x, switch.reason[:28], 10)
            for switch, x in ((s, self.pic.x(s.start - 0.5)) for s in self.switches)]
        self.event_base = 92 + 15 * (event_rows.count() - 1)  # the row nearest the lanes
        self.lanes = {}
        y = self.event_base + 14 + 14 * switch_rows.count()
        for key, _, _, lane_height in LANES:
            self.lanes[key] = (y, lane_height)
            y += lane_height + 16
        self.bottom = y - 16
        self.height = self.bottom + 92

    def heading(self, name, launch, number, count):
        first, last = launch.frames()
        where = f"frames {self.low}\u2013{self.high}"
        if (self.low, self.high) != (first, last):
            where += f" of {first}\u2013{last}"
        if count > 1:
            where += f" \u00b7 launch {number} of {count}"
        self.pic.add(f'<text x="24" y="36" font-size="20" font-weight="600" fill="{INK}">'
                     f'{text(os.path.basename(name), 60)}<tspan font-size="14" '
                     f'font-weight="normal" fill="{MUTED}" dx="12">Taviro\u2019s handbrake '
                     f'decisions, frame by frame</tspan></text>')
        shown = [s for s in launch.steps if self.low - 1 <= s.frame <= self.high] or launch.steps
        caption = [f"{text(shown[0].time)} \u2192 {text(shown[-1].time)}", where]
        if launch.header:
            caption.append(text(launch.header, 90))
        self.pic.label(24, 58, "   \u00b7   ".join(caption), 12, MUTED)
        return where

    def grounds(self):
        """Lane titles and grounds, and the frame grid behind all that is drawn on them."""
        pic = self.pic
        for key, title, sub, _ in LANES:
            lane_top, lane_height = self.lanes[key]
            middle = lane_top + lane_height / 2
            pic.label(24, middle + (-1 if sub else 4), title, 12, INK, weight="600")
            if sub:
                pic.label(24, middle + 13, sub, 10.5, MUTED)
            pic.add(f'<rect x="{PLOT_LEFT}" y="{lane_top}" width="{PLOT_RIGHT - PLOT_LEFT}" '
                    f'height="{lane_height}" rx="3" fill="{LANE}"/>')
        step = nice_step(self.high - self.low + 1)
        for tick in range(math.ceil(self.low / step) * step, self.high + 1, step) or [self.low]:
            x = pic.x(tick)
            pic.add(f'<line x1="{x:.2f}" y1="{self.lanes["handbrake"][0]}" x2="{x:.2f}" '
                    f'y2="{self.bottom + 5}" stroke="{GRID}" stroke-width="1"/>')
            pic.label(x, self.bottom + 19, str(tick), 11, MUTED, "middle")
        pic.label(PLOT_RIGHT, self.bottom + 36, "frame", 11, FAINT, "end")

    def handbrake(self):
        pic = self.pic
        lane_top, lane_height = self.lanes["handbrake"]
        pic.band(runs(self.segs, "handbrake"), lane_top, lane_height, HANDBRAKE,
                 "handbrake engaged", "engaged")
        for switch, x, row, text_x, anchor in self.placed_switches:
            new = switch.state["handbrake"]
            colour = HANDBRAKE if new == "engaged" else MUTED
            label_y = lane_top - 5 - 14 * (row or 0)
            pic.add(f'<g class="switch"><title>handbrake {new} {when(switch)}: '
                    f'{text(switch.reason)}</title><line x1="{x:.2f}" y1="{label_y - 9:.1f}" '
                    f'x2="{x:.2f}" y2="{lane_top + lane_height}" stroke="{colour}" '
                    f'stroke-width="1" opacity="0.6"/></g>')
            if row is not None:
                pic.label(text_x, label_y, text(switch.reason, 28), 10, colour, anchor,
                          halo=True)

    def stage(self):
        """A step line over a light fill, a dotted level per stage."""
        pic = self.pic
        lane_top, lane_height = self.lanes["stage"]

        def stage_y(stage):
            return lane_top + lane_height - 6 - (stage + 1) * (lane_height - 12) / 4

        for stage in range(-1, 4):
            y = stage_y(stage)
            pic.add(f'<line x1="{PLOT_LEFT}" y1="{y:.1f}" x2="{PLOT_RIGHT}" y2="{y:.1f}" '
                    f'stroke="#cbd5e1" stroke-width="0.6" stroke-dasharray="2 3"/>')
            pic.label(PLOT_LEFT - 6, y + 3.5, str(stage).replace("-", "\u2212"), 9.5, FAINT,
                      "end")
        blocks, block = [], []
        for low, high, value in runs(self.segs, "stage"):
            if value is not None:
                block.append((pic.x(low - 0.5), pic.x(high + 0.5), stage_y(value)))
            elif block:
                blocks.append(block)
                block = []
        if block:
            blocks.append(block)
        base = stage_y(-1)
        for block in blocks:
            start = block[0][0]
            line = "".join(f"V{y:.1f}H{x2:.2f}" for x1, x2, y in block)
            pic.add(f'<path d="M{start:.2f},{base:.1f}{line}V{base:.1f}Z" fill="{STAGE}" '
                    f'fill-opacity="0.12"/>')
            pic.add(f'<path d="M{start:.2f},{block[0][2]:.1f}{line}" fill="none" '
                    f'stroke="{STAGE}" stroke-width="1.8" stroke-linejoin="round">'
                    f'<title>engage stage</title></path>')

    def windows(self):
        for key, colour, what in (("exit", EXIT, "exit window open"),
                                  ("activation", ACTIVATION, "activation window open")):
            lane_top, lane_height = self.lanes[key]
            self.pic.band(runs(self.segs, key), lane_top + 3, lane_height - 6, colour, what,
                          "open")

    def warmup(self):
        """Counting, or held at 0 by a load screen or fade; a restart is any line whose count
        is lower than the one before."""
        pic = self.pic
        lane_top, lane_height = self.lanes["warmup"]
        phases = runs(self.segs, "warmup", warmup_phase)
        pic.band(phases, lane_top + 3, lane_height - 6, WARMING, "warming up", "warming")
        pic.band(phases, lane_top + 3, lane_height - 6, HELD, "warm-up held at 0", "held")
        for restart in self.restarts:
            x = pic.x(restart.start - 0.5)
            pic.add(f'<g class="restart"><title>warm-up restart {when(restart)} '
                    f'({text(restart.reason)})</title><path d="M{x - 4.5:.2f},{lane_top - 7} '
                    f'h9 l-4.5,6 z" fill="{RESTART}"/><line x1="{x:.2f}" y1="{lane_top}" '
                    f'x2="{x:.2f}" y2="{lane_top + lane_height}" stroke="{RESTART}" '
                    f'stroke-width="1.2"/></g>')

    def game_events(self):
        """A dashed marker between two frames, over every lane."""
        for event, x, row, text_x, anchor in self.placed_events:
            colour = EVENT_COLOURS.get(event.reason, OTHER_EVENT)
            label_y = self.event_base - 15 * (row or 0)
            self.pic.add(f'<g class="event"><title>{text(event.reason)} after frame '
                         f'{event.frame}</title><line x1="{x:.2f}" y1="{label_y - 10:.1f}" '
                         f'x2="{x:.2f}" y2="{self.bottom}" stroke="{colour}" stroke-width="1.3" '
                         f'stroke-dasharray="4 3"/></g>')
            if row is not None:
                self.pic.label(text_x, label_y, text(event.reason, 28), 11, colour, anchor,
                               "600", True)

    def legend(self):
        pic = self.pic
        x, y = 24, self.height - 22
        for shape, colour, what in LEGEND:
            if shape == "rect":
                pic.add(f'<rect x="{x}" y="{y - 9}" width="14" height="10" rx="2" '
                        f'fill="{colour}"/>')
            elif shape == "line":
                pic.add(f'<path d="M{x},{y - 1} h5 v-7 h9" fill="none" stroke="{colour}" '
                        f'stroke-width="1.8"/>')
            elif shape == "restart":
                pic.add(f'<path d="M{x + 2.5},{y - 9} h9 l-4.5,6 z" fill="{colour}"/>')
            else:
                pic.add(f'<line x1="{x + 7}" y1="{y - 11}" x2="{x + 7}" y2="{y + 3}" '
                        f'stroke="{colour}" stroke-width="1.3" stroke-dasharray="4 3"/>')
            pic.label(x + 19, y, what, 11, MUTED)
            x += 19 + text_width(what, 11) + 18


def draw(name, launch, number, count, low, high):
    timeline = Timeline(launch, low, high)
    where = timeline.heading(name, launch, number, count)
    timeline.grounds()
    timeline.handbrake()
    timeline.stage()
    timeline.windows()
    timeline.warmup()
    timeline.game_events()
    timeline.legend()
    pic, height = timeline.pic, timeline.height
    title = text(f"{os.path.basename(name)}: Taviro's handbrake decisions, {where}", 200)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
            f'viewBox="0 0 {WIDTH} {height}" font-family="{FONT}">\n<title>{title}</title>\n'
            f'<rect width="{WIDTH}" height="{height}" fill="#ffffff"/>\n'
            + "\n".join(pic.parts + pic.labels) + "\n</svg>\n")


def main(argv=None):
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("log", help="the Taviro.log to read")
    parser.add_argument("-o", "--output", metavar="SVG",
                        help="where to write the picture (default: beside the log, "
                             "NAME-timeline.svg; with --states, no picture unless given)")
    parser.add_argument("--launch", default="last", metavar="last|N",
                        help="which game start in the file, counting from 1 (default: last)")
    parser.add_argument("--frames", metavar="A:B",
                        help="only frames A to B (A: or :B for open ends)")
    parser.add_argument("--states", action="store_true",
                        help="print every frame's state as CSV to the standard output")
    args = parser.parse_args(argv)

    launches, problems, recognised = parse_log(read_text(args.log))
    for problem in problems[:5]:
        print(f"{PROG}: {os.path.basename(args.log)}: {problem}", file=sys.stderr)
    if len(problems) > 5:
        print(f"{PROG}: ... and {len(problems) - 5} more such lines", file=sys.stderr)
    number = pick_launch(launches, args.launch, recognised)
    launch = launches[number - 1]
    first, last = launch.frames()
    low, high = parse_frames(args.frames, first, last) if args.frames else (first, last)

    if args.states:
        segs = segments(effective_steps(launch.steps), low, high)
        check_states_size(segs, low, high)
        write_states(sys.stdout, segs)
        sys.stdout.flush()
    output = args.output
    if output is None and not args.states:
        output = os.path.splitext(args.log)[0] + "-timeline.svg"
    if output is not None:
        svg = draw(args.log, launch, number, len(launches), low, high)
        try:
            with open(output, "w", encoding="utf-8", newline="\n") as picture:
                picture.write(svg)
        except OSError as error:
            raise Failure(f"cannot write {output}: {error.strerror or error}", 2)
        events = sum(1 for s in launch.steps if s.kind == "event" and low - 1 <= s.frame <= high)
        which = f", launch {number} of {len(launches)}" if len(launches) > 1 else ""
        print(f"{PROG}: wrote {output} (frames {low}-{high}, {events} game "
              f"event{'' if events == 1 else 's'}{which})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        sys.exit(failure.status)
    except BrokenPipeError:
        # --states piped into a reader that stopped early: nothing is wrong.
        sys.exit(0)
    except Exception as error:  # a log nobody foresaw: say so rather than dump a traceback
        print(f"{PROG}: could not make sense of this log ({type(error).__name__}: {error}); "
              "please send it to Taviro's author", file=sys.stderr)
        sys.exit(2)
