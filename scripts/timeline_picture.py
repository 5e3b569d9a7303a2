"""The picture timeline.py draws: one launch's frames as an SVG timeline, lanes for the settings in
force, the handbrake, the engage stage, the two windows and the frames Taviro stands aside, the
game events over them, and a key of the reasons in the game's words. Standard library only;
timeline.py, beside this file, is the command."""
import math
import os
import re
from xml.sax.saxutils import escape

from timeline_log import REASONS, WINDOW_OVER, effective_steps, segments

INK, MUTED, FAINT, GRID, LANE = "#0f172a", "#64748b", "#94a3b8", "#e2e8f0", "#f1f5f9"
HANDBRAKE, STAGE, EXIT, ACTIVATION = "#e11d48", "#2563eb", "#0d9488", "#7c3aed"
RESTART, OTHER_EVENT, REASON, REFUSED = "#b45309", "#475569", "#9f1239", "#dc2626"
SETTING_GROUNDS = ("#e0f2fe", "#bae6fd")
EVENT_COLOURS = {"exit-vehicle": EXIT, "activation-matched": ACTIVATION,
                 "game-loaded": RESTART, "credits-closed": RESTART}
# The frames Taviro lets the game run without deciding, each reason a colour of its own; the
# screens are always labelled.
ASIDE = {"warm-up": "#fbbf24", "load-screen": "#a5b4fc", "fade": "#94a3b8",
         "no-ui-yet": "#cbd5e1", "tracked-object-not-ready": "#fdba74", "game-flag": "#bef264"}
ALWAYS_LABELLED = ("load-screen", "fade")
FONT = "'Segoe UI', 'Helvetica Neue', Arial, 'DejaVu Sans', sans-serif"
WIDTH, PLOT_LEFT, PLOT_RIGHT = 1200, 168, 1172
LABEL_SIZE = 10
XML_UNSAFE = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def text(value, limit=60):
    """What the log gave, made safe for XML: garbage bytes must not make the picture unreadable."""
    value = XML_UNSAFE.sub("?", str(value))
    return escape(value if len(value) <= limit else value[:limit - 1] + "\u2026", {'"': "&quot;"})


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


def span_words(low, high):
    return f"frame {low}" if low == high else f"frames {low}\u2013{high}"


class Rows:
    """Label rows counted from a lane outwards, each filled left to right. A row more is added
    only for a label that must be shown."""

    def __init__(self, count):
        self.taken = [[] for _ in range(count)]

    def place(self, left, right, grow=False):
        for row, taken in enumerate(self.taken):
            if all(right + 6 <= a or left - 6 >= b for a, b in taken):
                taken.append((left, right))
                return row
        if grow:
            self.taken.append([(left, right)])
            return len(self.taken) - 1
        return None

    def count(self):
        return max([row + 1 for row, taken in enumerate(self.taken) if taken] + [0])


class Labels:
    """Words for bands and markers, written in the band where they fit, else in rows beside the
    lane. A label that must be shown (Taviro's own engagements, the screens) gets a row more
    where none has room, unless the one of the same words just before it is in its way: that one
    then counts them both (\u00d72), at any zoom."""

    def __init__(self, rows):
        self.rows = Rows(rows)
        self.inside, self.outside = [], []

    def add(self, left, right, words, colour, ident=None, must=False):
        width = text_width(words, LABEL_SIZE)
        if ident is not None and width + 8 <= right - left:
            self.inside.append(dict(x=left + 4, words=words, ids=[ident]))
            return
        room = width + (text_width(" \u00d700", LABEL_SIZE) if must else 0)
        x = min(max(left, PLOT_LEFT), PLOT_RIGHT - room)
        row = self.rows.place(x, x + room)
        if row is None and must:
            same = next((label for label in reversed(self.outside) if label["words"] == words),
                        None)
            if same is not None and same["x"] + same["room"] + 6 > x:
                same["ids"].append(ident)
                return
            row = self.rows.place(x, x + room, grow=True)
        if row is not None:
            self.outside.append(dict(x=x, room=room, row=row, words=words, colour=colour,
                                     ids=[ident] if ident else [], mark=left))


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

    def band(self, lane, low, high, top, height, colour, what, ident=None, extra=""):
        """A band over frames low..high, which a test can read back: its lane and frames."""
        x = self.x(low - 0.5)
        width = max(self.x(high + 0.5) - x, 1.0)
        name = f' id="{ident}"' if ident else ""
        self.add(f'<rect class="band"{name} data-lane="{lane}" data-first="{low}" '
                 f'data-last="{high}"{extra} x="{x:.2f}" y="{top}" width="{width:.2f}" '
                 f'height="{height}" fill="{colour}"><title>{what}, {span_words(low, high)}'
                 f'</title></rect>')

    def label(self, x, y, value, size=11, colour=MUTED, anchor="start", weight="normal",
              halo=False, extra=""):
        # A halo keeps a label readable where an event's marker runs behind it.
        ground = ' stroke="#ffffff" stroke-width="3" paint-order="stroke"' if halo else ""
        (self.labels if halo or extra else self.parts).append(
            f'<text{extra} x="{x:.2f}" y="{y:.1f}" font-size="{size}" fill="{colour}" '
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

    def write_labels(self, labels, row_y, lane_edge, inside_y, inside_colour):
        """Draws what `labels` placed: in the band at inside_y, else in its row (row_y(row)),
        with a faint line down (or up) to the lane's edge."""
        for label in labels.inside:
            self.label(label["x"], inside_y, text(label["words"], 80), LABEL_SIZE, inside_colour,
                       extra=f' class="label" data-for="{" ".join(label["ids"])}"')
        for label in labels.outside:
            y = row_y(label["row"])
            self.add(f'<line x1="{label["mark"] + 0.5:.2f}" y1="{y + (3 if y < lane_edge else -9)}"'
                     f' x2="{label["mark"] + 0.5:.2f}" y2="{lane_edge}" stroke="{label["colour"]}"'
                     f' stroke-width="0.8" opacity="0.5"/>')
            count = len(label["ids"])
            words = label["words"] + (f" \u00d7{count}" if count > 1 else "")
            self.label(label["x"], y, text(words, 80), LABEL_SIZE, label["colour"], halo=True,
                       extra=f' class="label" data-for="{" ".join(label["ids"])}"')


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


def when(step):
    return f"after frame {step.frame}" if step.kind == "event" else f"at frame {step.frame}"


class Timeline:
    """The picture of one launch's frames low..high."""

    def __init__(self, launch, low, high):
        self.pic = pic = Picture(low, high)
        self.launch, self.low, self.high = launch, low, high
        self.steps = effective_steps(launch.steps)
        self.segs = segments(self.steps, low, high)
        self.events = [s for s in launch.steps if s.kind == "event" and low - 1 <= s.frame <= high]
        pairs = list(zip(self.steps, self.steps[1:]))
        self.switches = [
            after for before, after in pairs
            if None not in (before.state["handbrake"], after.state["handbrake"])
            and before.state["handbrake"] != after.state["handbrake"] and low < after.start <= high]
        # A new reason while the handbrake stays engaged (the hotkey let go inside a window that
        # keeps it so): a band of its own, and a marker where it starts.
        self.reasons = [
            after for before, after in pairs
            if before.state["handbrake"] == after.state["handbrake"] == "engaged"
            and None not in (before.state["why"], after.state["why"])
            and before.state["why"] != after.state["why"] and low < after.start <= high]
        self.restarts = [
            after for before, after in zip(launch.steps, launch.steps[1:])
            if before.state["warmup"] is not None and "warmup" in after.values
            and after.values["warmup"] < before.state["warmup"] and low <= after.start <= high + 1]
        self.engaged = [run for run in runs_by(self.segs, lambda s: (s["handbrake"], s["why"]))
                        if run[2][0] == "engaged"]
        self.aside = [run for run in runs_by(self.segs, lambda s: s["why"]) if run[2] in ASIDE]
        self.open = {key: [run for run in runs_by(self.segs, lambda s, k=key: s[k])
                           if run[2] == "open"] for key in ("exit", "activation")}
        self.settings = self.setting_runs()
        # Every reload says again what the files hold: a note is shown where it is new.
        self.notes, said = [], set()
        for setting in launch.settings + [None]:
            notes = setting.notes if setting else launch.pending
            labels = {note.label for note in notes}
            self.notes += [note for note in notes if note.label not in said
                           and note.frame is not None and low <= note.frame <= high]
            said = labels if setting else said

        # Labels first: how many rows they take decides the layout.
        event_rows = Rows(3)
        self.placed_events = [
            (event, x) + pic.beside(event_rows, x, event.reason[:28], 11)
            for event, x in ((e, pic.x(e.frame + 0.5)) for e in self.events)]
        note_rows = Rows(1)
        self.placed_notes = [
            (note, x) + pic.beside(note_rows, x, note.label[:70], LABEL_SIZE)
            for note, x in ((n, pic.x(n.frame - 0.5)) for n in self.notes)]
        # The labels that must be shown are placed first, those that fit where room is left.
        self.hb_labels = Labels(3)
        for must in (True, False):
            for low_, high_, (_, why) in self.engaged:
                if (why or "").startswith("counting:") == must:
                    self.hb_labels.add(pic.x(low_ - 0.5), pic.x(high_ + 0.5), why or "?",
                                       HANDBRAKE, f"handbrake-{low_}", must)
        for switch in self.switches:
            if switch.state["handbrake"] == "released":
                x = pic.x(switch.start - 0.5)
                self.hb_labels.add(x, x, switch.reason, MUTED)
        self.aside_labels = Labels(1)
        for must in (True, False):
            for low_, high_, why in self.aside:
                if (why in ALWAYS_LABELLED) == must:
                    self.aside_labels.add(pic.x(low_ - 0.5), pic.x(high_ + 0.5), why, INK,
                                          f"aside-{low_}", must)

        # Lanes with nothing in them are left out.
        self.lanes = {}
        y = 92 + 15 * (event_rows.count() - 1 if event_rows.count() else 0)
        self.event_base = y
        y += 12
        shown = [("settings", 22 + (16 if self.notes else 0), bool(self.settings)),
                 ("handbrake", 34, True), ("stage", 62, True),
                 ("exit", 22, bool(self.open["exit"])),
                 ("activation", 22, bool(self.open["activation"])),
                 ("aside", 22, bool(self.aside))]
        for key, lane_height, drawn in shown:
            if not drawn:
                continue
            if key == "handbrake":
                y += 14 * max(self.hb_labels.rows.count(), 1)
            self.lanes[key] = (y, lane_height)
            y += lane_height + 16
            if key == "aside":
                y += 13 * self.aside_labels.rows.count()
        self.bottom = y - 16
        self.height = self.bottom + 64 + 16 * (1 + len(self.reasons_shown()))

    def setting_runs(self):
        """(first frame, last frame, setting) for each stretch of one hotkey within the frames
        shown: a reload that changes nothing is no change."""
        runs = []
        for setting in self.launch.settings:
            if runs and runs[-1][2].words == setting.words:
                continue
            runs.append([setting.frame, None, setting])
        for i, run in enumerate(runs):
            run[1] = runs[i + 1][0] - 1 if i + 1 < len(runs) else self.high
        return [(max(a, self.low), min(b, self.high), s) for a, b, s in runs
                if max(a, self.low) <= min(b, self.high)]

    def reasons_shown(self):
        """The reasons of the frames shown, in the order the drive first gives them."""
        shown = dict.fromkeys(step.state["why"] for _, _, step in self.segs)
        return [reason for reason in shown if reason in REASONS]

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
        titles = {"settings": ("Settings", "hotkey in force"), "handbrake": ("Handbrake", "engaged"),
                  "stage": ("Engage stage", "\u22121 to 3"), "exit": ("Exit window", None),
                  "activation": ("Activation window", None),
                  "aside": ("Standing aside", "the game decides")}
        for key, (lane_top, lane_height) in self.lanes.items():
            title, sub = titles[key]
            middle = lane_top + lane_height / 2
            pic.label(24, middle + (-1 if sub else 4), title, 12, INK, weight="600")
            if sub:
                pic.label(24, middle + 13, sub, 10.5, MUTED)
            pic.add(f'<rect class="lane" data-lane="{key}" x="{PLOT_LEFT}" y="{lane_top}" '
                    f'width="{PLOT_RIGHT - PLOT_LEFT}" height="{lane_height}" rx="3" '
                    f'fill="{LANE}"/>')
        step = nice_step(self.high - self.low + 1)
        top = min(top for top, _ in self.lanes.values())
        for tick in range(math.ceil(self.low / step) * step, self.high + 1, step) or [self.low]:
            x = pic.x(tick)
            pic.add(f'<line x1="{x:.2f}" y1="{top}" x2="{x:.2f}" y2="{self.bottom + 5}" '
                    f'stroke="{GRID}" stroke-width="1"/>')
            pic.label(x, self.bottom + 19, str(tick), 11, MUTED, "middle")
        pic.label(PLOT_RIGHT, self.bottom + 36, "frame", 11, FAINT, "end")

    def settings_lane(self):
        """The hotkey in force, a band for each stretch of one, and beneath them the values the
        files had refused and the other plugin on the call."""
        if "settings" not in self.lanes:
            return
        pic = self.pic
        lane_top, _ = self.lanes["settings"]
        for i, (low, high, setting) in enumerate(self.settings):
            about = "" if setting.exact else " (about: this log names no frame)"
            words = f"{setting.words}; decision trace {setting.trace}"
            pic.band("settings", low, high, lane_top + 2, 18, SETTING_GROUNDS[i % 2],
                     text(f"{words}, in force from frame {setting.frame}{about}", 200),
                     extra=f' data-words="{text(setting.words, 200)}"')
            left, right = pic.x(low - 0.5), pic.x(high + 0.5)
            fits = int((right - left - 8) / (LABEL_SIZE * 0.56))
            if fits >= 4:
                pic.label(left + 4, lane_top + 15, text(setting.words, fits), LABEL_SIZE, INK)
            if low > self.low:
                pic.add(f'<line x1="{left:.2f}" y1="{lane_top}" x2="{left:.2f}" '
                        f'y2="{lane_top + 20}" stroke="{STAGE}" stroke-width="1.5"/>')
        for note, x, row, text_x, anchor in self.placed_notes:
            colour = REFUSED if note.kind == "refused" else OTHER_EVENT
            y = lane_top + 33
            pic.add(f'<g class="note" data-kind="{note.kind}" data-frame="{note.frame}"><title>'
                    f'{text(note.text, 300)}</title><path d="M{x:.2f},{y - 10} l4,4 l-4,4 l-4,-4 z"'
                    f' fill="{colour}"/></g>')
            if row is not None:
                pic.label(text_x + 2, y, text(note.label, 70), LABEL_SIZE, colour, anchor)

    def handbrake(self):
        pic = self.pic
        lane_top, lane_height = self.lanes["handbrake"]
        for low, high, (_, why) in self.engaged:
            pic.band("handbrake", low, high, lane_top, lane_height, HANDBRAKE,
                     f"handbrake engaged ({text(why)})", f"handbrake-{low}",
                     f' data-why="{text(why)}"')
        for switch in self.switches:
            x = pic.x(switch.start - 0.5)
            pic.add(f'<g class="switch"><title>handbrake {switch.state["handbrake"]} '
                    f'{when(switch)}: {text(switch.reason)}</title><line x1="{x:.2f}" '
                    f'y1="{lane_top - 4}" x2="{x:.2f}" y2="{lane_top + lane_height}" '
                    f'stroke="{MUTED}" stroke-width="1" opacity="0.6"/></g>')
        for reason in self.reasons:
            x = pic.x(reason.start - 0.5)
            pic.add(f'<g class="reason"><title>handbrake still engaged {when(reason)}, now '
                    f'for {text(reason.state["why"])}</title><line x1="{x:.2f}" '
                    f'y1="{lane_top - 4}" x2="{x:.2f}" y2="{lane_top + lane_height}" '
                    f'stroke="{REASON}" stroke-width="1.2" stroke-dasharray="2 2"/></g>')
        pic.write_labels(self.hb_labels, lambda row: lane_top - 5 - 14 * row, lane_top,
                         lane_top + lane_height / 2 + 3.5, "#ffffff")

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
        for low, high, value in runs_by(self.segs, lambda s: s["stage"]):
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
        """Open windows, each with the count it went through: the window closes for good at
        150 (or, for the exit window, when the vehicle comes to rest)."""
        for key, colour, what in (("exit", EXIT, "exit window open"),
                                  ("activation", ACTIVATION, "activation window open")):
            if key not in self.lanes:
                continue
            lane_top, lane_height = self.lanes[key]
            for low, high, _ in self.open[key]:
                counts = [step.state["window"] for a, b, step in self.segs
                          if a <= high and b >= low and step.state["window"] is not None]
                counted = (f" (window= {min(counts)} to {max(counts)} of {WINDOW_OVER})"
                           if counts else "")
                self.pic.band(key, low, high, lane_top + 3, lane_height - 6, colour,
                              what + counted)

    def standing_aside(self):
        """The frames in which Taviro lets the game run and decides nothing, by reason; a
        triangle where the warm-up starts again."""
        if "aside" not in self.lanes:
            return
        pic = self.pic
        lane_top, lane_height = self.lanes["aside"]
        for low, high, why in self.aside:
            pic.band("aside", low, high, lane_top + 3, lane_height - 6, ASIDE[why],
                     f"standing aside ({why})", f"aside-{low}", f' data-why="{why}"')
        for restart in self.restarts:
            x = pic.x(restart.start - 0.5)
            pic.add(f'<g class="restart"><title>warm-up restart {when(restart)} '
                    f'({text(restart.reason)})</title><path d="M{x - 4.5:.2f},{lane_top - 7} '
                    f'h9 l-4.5,6 z" fill="{RESTART}"/></g>')
        bottom = lane_top + lane_height
        pic.write_labels(self.aside_labels, lambda row: bottom + 11 + 13 * row, bottom,
                         lane_top + lane_height / 2 + 3.5, INK)

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
        """What the shapes mean, for what the picture holds, then the reasons of its frames in
        the game's words."""
        pic = self.pic
        entries = [("rect", HANDBRAKE, "handbrake engaged"), ("line", STAGE, "engage stage")]
        entries += [("rect", colour, what) for key, colour, what in (
            ("exit", EXIT, "exit window open"), ("activation", ACTIVATION,
                                                 "activation window open")) if key in self.lanes]
        entries += [("rect", ASIDE[why], why) for why in ASIDE
                    if any(run[2] == why for run in self.aside)]
        entries += [(shape, colour, what) for shape, colour, what, shown in (
            ("restart", RESTART, "warm-up restart", self.restarts),
            ("event", OTHER_EVENT, "game event", self.events),
            ("tick", STAGE, "settings change", len(self.settings) > 1),
            ("note", REFUSED, "refused value", any(n.kind == "refused" for n in self.notes)),
            ("reason", REASON, "new reason while engaged", self.reasons)) if shown]
        x, y = 24, self.bottom + 60
        for shape, colour, what in entries:
            width = 19 + text_width(what, 11) + 18
            if x + width > WIDTH - 24:
                x, y = 24, y + 16
            if shape == "rect":
                pic.add(f'<rect x="{x}" y="{y - 9}" width="14" height="10" rx="2" '
                        f'fill="{colour}"/>')
            elif shape == "line":
                pic.add(f'<path d="M{x},{y - 1} h5 v-7 h9" fill="none" stroke="{colour}" '
                        f'stroke-width="1.8"/>')
            elif shape == "restart":
                pic.add(f'<path d="M{x + 2.5},{y - 9} h9 l-4.5,6 z" fill="{colour}"/>')
            elif shape == "note":
                pic.add(f'<path d="M{x + 7},{y - 10} l4,4 l-4,4 l-4,-4 z" fill="{colour}"/>')
            else:
                dash = {"reason": "2 2", "event": "4 3", "tick": "none"}[shape]
                pic.add(f'<line x1="{x + 7}" y1="{y - 11}" x2="{x + 7}" y2="{y + 3}" '
                        f'stroke="{colour}" stroke-width="1.3" stroke-dasharray="{dash}"/>')
            pic.label(x + 19, y, what, 11, MUTED)
            x += width
        y += 6
        for reason in self.reasons_shown():
            y += 16
            pic.add(f'<text class="key" x="24" y="{y}" font-size="11" fill="{MUTED}">'
                    f'<tspan font-weight="600" fill="{INK}">why={text(reason)}</tspan>'
                    f'<tspan dx="8">{text(REASONS[reason], 200)}</tspan></text>')
        self.height = y + 16


def draw(name, launch, number, count, low, high):
    timeline = Timeline(launch, low, high)
    where = timeline.heading(name, launch, number, count)
    timeline.grounds()
    timeline.settings_lane()
    timeline.handbrake()
    timeline.stage()
    timeline.windows()
    timeline.standing_aside()
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
