"""The picture timeline.py draws: one launch's frames as an SVG timeline, lanes for the handbrake,
the engage stage, the two windows and the warm-up, and the game events over them. Standard
library only; timeline.py, beside this file, is the command."""
import math
import os
import re
from xml.sax.saxutils import escape

from timeline_log import WARMUP_DONE, effective_steps, segments

INK, MUTED, FAINT, GRID, LANE = "#0f172a", "#64748b", "#94a3b8", "#e2e8f0", "#f1f5f9"
HANDBRAKE, STAGE, EXIT, ACTIVATION = "#e11d48", "#2563eb", "#0d9488", "#7c3aed"
WARMING, HELD, RESTART, OTHER_EVENT = "#fbbf24", "#fde8b0", "#b45309", "#475569"
REASON = "#9f1239"
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
    return runs_by(segs, lambda state: None if state[field] is None else test(state[field]))


def runs_by(segs, key):
    """[first frame, last frame, key of the state] for each run of frames whose key is alike."""
    result = []
    for low, high, step in segs:
        value = key(step.state)
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
          ("restart", RESTART, "warm-up restart"), ("event", OTHER_EVENT, "game event"),
          ("reason", REASON, "new reason"))


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
        # A new reason while the handbrake stays engaged (the hotkey let go inside a window that
        # keeps it so): the band alone would go on telling the old one.
        self.reasons = [
            after for before, after in zip(self.steps, self.steps[1:])
            if before.state["handbrake"] == after.state["handbrake"] == "engaged"
            and None not in (before.state["why"], after.state["why"])
            and before.state["why"] != after.state["why"] and low < after.start <= high]
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
        self.placed_reasons = [
            (reason, x) + self.pic.beside(switch_rows, x, reason.state["why"][:28], 10)
            for reason, x in ((s, self.pic.x(s.start - 0.5)) for s in self.reasons)]
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
        for low, high, (state, why) in runs_by(self.segs, lambda s: (s["handbrake"], s["why"])):
            if state == "engaged":
                what = "handbrake engaged" + (f" ({text(why)})" if why else "")
                pic.band([[low, high, True]], lane_top, lane_height, HANDBRAKE, what)
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
        for reason, x, row, text_x, anchor in self.placed_reasons:
            why = reason.state["why"]
            label_y = lane_top - 5 - 14 * (row or 0)
            pic.add(f'<g class="reason"><title>handbrake still engaged {when(reason)}, now '
                    f'for {text(why)}</title><line x1="{x:.2f}" y1="{label_y - 9:.1f}" '
                    f'x2="{x:.2f}" y2="{lane_top + lane_height}" stroke="{REASON}" '
                    f'stroke-width="1.2" stroke-dasharray="2 2"/></g>')
            if row is not None:
                pic.label(text_x, label_y, text(why, 28), 10, REASON, anchor, halo=True)

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
            elif shape == "reason":
                pic.add(f'<line x1="{x + 7}" y1="{y - 11}" x2="{x + 7}" y2="{y + 3}" '
                        f'stroke="{colour}" stroke-width="1.2" stroke-dasharray="2 2"/>')
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


if __name__ == "__main__":
    # A part of timeline.py, not a command of its own: say so, and which one to run.
    import sys
    asked = sys.argv[1:] in (["-h"], ["--help"])
    print(f"{__doc__}\n\nusage: python3 timeline.py --help (the command, beside this file)",
          file=sys.stdout if asked else sys.stderr)
    sys.exit(0 if asked else 2)
