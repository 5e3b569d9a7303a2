"""Reading a Taviro.log for timeline.py: its launches, their trace and event lines as steps of
the decision's state, the settings in force and what the log says of them, and every frame's
state as the --states rows give it. Standard library only; timeline.py, beside this file, is the
command."""
import csv
import re

FIELDS = ("handbrake", "stage", "warmup", "exit", "activation", "window")
# What a line without them has lost; window= came later than the others.
REQUIRED = FIELDS[:5]
WARMUP_DONE = 30
WINDOW_OVER = 150
TIME = re.compile(r"\d{1,2}:\d{2}:\d{2}(?:[.,]\d+)?$")
FRAME = re.compile(r"[0-9]{1,9}$")  # more would be months of driving: garbage
NO_TRACE = "no decision trace in this log: set bLogging=1 in TaviroCustom.ini"
# The plugin's last line as the game ends: the frames after the last trace line kept its state.
CLOSING = re.compile(r"the game is ending; the last vehicle update the hook saw was "
                     r"frame=([0-9]{1,9})$")
MAX_STATE_ROWS = 2_000_000  # over nine hours of driving at 60 frames a second; about 70 MB
# "settings in force: <hotkey>, from <file>; decision trace on, from <file>; from frame=N on"
SETTINGS = re.compile(r"settings in force: (.*?)(?:, (?:from|the key from) [^;]*)?; decision trace "
                      r"(on|off)[^;]*(?:; from frame=([0-9]{1,9}) on)?$")
REFUSED = re.compile(r"(Taviro(?:Custom)?\.ini): (.*?) refused: (.*)$")
SETTINGS_FILE = re.compile(r"(Taviro(?:Custom)?\.ini): (.*)$")
CHAINED = re.compile(r"chained onto (.*?)(?: \(through a jump at [^)]*\))?: another plugin")
LEADS = re.compile(r"the vehicle update call at \S+ now leads to (.*?)(?: \(through a jump at "
                   r"[^)]*\))?$")

# What each reason means in the game, for the picture's key and the players' readme, which uses
# the same words.
REASONS = {
    "no-ui-yet": "the game is still starting: Taviro waits for its data to load",
    "fade": "the screen fades to or from black: Taviro waits, then warms up again",
    "load-screen": "a loading screen is up: Taviro waits, then warms up again",
    "warm-up": "after the game's data loads, a loading screen, a fade or the end credits: "
               "Taviro lets 30 frames pass before it decides",
    "tracked-object-not-ready": "no vehicle is ready to watch: Taviro stands aside",
    "game-flag": "a check Taviro asks of the game every frame says to stand aside",
    "hotkey-held": "you hold the hotkey: the handbrake is on",
    "hotkey-let-go": "you let go of the hotkey: the handbrake comes off",
    "hotkey-on": "a press of the toggled hotkey: the handbrake is on until the next",
    "hotkey-off": "you pressed the toggled hotkey again: the handbrake comes off",
    "reset-path": "driving: nothing calls for the handbrake, so Taviro keeps it off",
    "counting:update-float-zero": "the game's value for the vehicle reads 0: after 4 frames "
                                  "Taviro puts the handbrake on",
    "counting:float1-nonzero": "the game's check on the vehicle reads nonzero: after 4 frames "
                               "Taviro puts the handbrake on",
    "counting:exit-window": "you got out while the vehicle still moves: after 4 frames Taviro "
                            "puts the handbrake on until it comes to rest (150 frames at most)",
    "counting:activation-window": "you got into the vehicle: after 4 frames Taviro puts the "
                                  "handbrake on, for 150 frames in all",
}


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
    "window": _count(0, WINDOW_OVER),
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


class Setting:
    """A "settings in force" line: the hotkey from frame `frame` on, and what the log said of the
    files as it read them (values refused, another plugin on the call)."""

    def __init__(self, frame, exact, words, trace, line, text):
        self.frame, self.exact, self.words, self.trace = frame, exact, words, trace
        self.line, self.text = line, text
        self.notes = []


class Note:
    """A line that goes with the settings: a value refused, a file that could not be had, another
    plugin on the vehicle update call."""

    def __init__(self, kind, label, text, line):
        self.kind, self.label, self.text, self.line = kind, label, text, line
        self.frame = None


def settings_note(kind, text, line):
    if kind == "error":
        refused = REFUSED.match(text)
        if refused:
            return Note("refused", f"{refused.group(1)}: {refused.group(2)} refused", text, line)
        problem = SETTINGS_FILE.match(text)
        if problem:
            return Note("refused", f"{problem.group(1)}: {problem.group(2).split(' (')[0]}",
                        text, line)
    elif kind == "info":
        chained = CHAINED.match(text)
        if chained:
            return Note("other", f"other plugin {chained.group(1)}, behind Taviro", text, line)
        leads = LEADS.match(text)
        if leads:
            return Note("other", f"other plugin {leads.group(1)}, in front of Taviro", text,
                        line)
    return None


class Launch:
    def __init__(self):
        self.steps = []
        self.settings = []
        self.pending = []  # notes the next settings line comes with
        self.header = None
        self.lines = 0
        self.closing = None  # the last frame the hook saw, as the closing line says
        self.closing_line = None

    def last_traced(self):
        return max(self.steps[0].start, max(s.frame for s in self.steps))

    def frames(self):
        """The first traced frame, and the last frame the game ran: the closing line's, where
        the game ended normally, else the last traced one."""
        return self.steps[0].start, max(self.last_traced(), self.closing or 0)


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
    missing = [f for f in REQUIRED
               if f not in values and not any(b.startswith(f + "=") for b in bad)]
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
        text = " ".join(rest)
        closing = CLOSING.match(text) if kind == "info" else None
        if closing:
            launch.closing, launch.closing_line = int(closing.group(1)), number
        if kind not in ("trace", "event"):
            read_settings_line(launch, kind, text, number)
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
        # Notes after the last settings line: from the frame after the last one traced.
        for note in launch.pending:
            note.frame = next_frame(launch)
        launch.notes = [note for s in launch.settings for note in s.notes] + launch.pending
        # A game event comes between frames and is no frame's reason: the frames after it keep
        # the reason of the last trace line until the next one.
        state = dict.fromkeys(FIELDS + ("why",))
        for step in launch.steps:
            state = dict(state, **step.values)
            if step.kind == "trace":
                state["why"] = step.reason
            step.state = state
    return launches, problems, recognised


def next_frame(launch):
    """The first frame after the last step read: where a line without a frame of its own goes."""
    return max([s.start for s in launch.steps] + [1])


def read_settings_line(launch, kind, text, number):
    matched = SETTINGS.match(text) if kind == "info" else None
    if matched is None:
        note = settings_note(kind, text, number)
        if note is not None:
            launch.pending.append(note)
        return
    words, trace, frame = matched.groups()
    # A log of an earlier version names no frame: the frame after the last step read is as near
    # as the log allows.
    setting = Setting(int(frame) if frame else next_frame(launch), frame is not None, words,
                      trace, number, text)
    for note in launch.pending:
        note.frame = setting.frame
    setting.notes, launch.pending = launch.pending, []
    launch.settings.append(setting)


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


def check_states_size(launch, segs, low, high):
    """--states writes a row per frame: a frame number no driving reaches (a garbage line) must
    not fill a disk."""
    rows = sum(b - a + 1 for a, b, _ in segs)
    if rows > MAX_STATE_ROWS:
        last = max((step for _, _, step in segs), key=lambda step: step.frame)
        line, frame = last.line, last.frame
        if launch.closing is not None and launch.closing > frame:
            line, frame = launch.closing_line, launch.closing
        raise Failure(f"--states: frames {low}-{high} would be {rows:,} rows, more than the "
                      f"{MAX_STATE_ROWS:,} written at once (line {line} says frame={frame}); "
                      "pick a range with --frames A:B", 2)


def write_states(out, segs):
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(("frame",) + FIELDS + ("why",))
    for low, high, step in segs:
        state = step.state
        own_count = step.kind == "trace" and "warmup" in step.values
        for frame in range(low, high + 1):
            warmup = state["warmup"]
            if warmup is not None and 0 < warmup < WARMUP_DONE and not (
                    own_count and frame == step.start):
                warmup = "warming"
            row = (state["handbrake"], state["stage"], warmup, state["exit"], state["activation"],
                   state["window"], state["why"])
            writer.writerow((frame,) + tuple("" if v is None else v for v in row))


if __name__ == "__main__":
    # A part of timeline.py, not a command of its own: say so, and which one to run.
    import sys
    asked = sys.argv[1:] in (["-h"], ["--help"])
    print(f"{__doc__}\n\nusage: python3 timeline.py --help (the command, beside this file)",
          file=sys.stdout if asked else sys.stderr)
    sys.exit(0 if asked else 2)
