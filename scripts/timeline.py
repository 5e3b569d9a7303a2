#!/usr/bin/env python3
"""Draws what Taviro decided about the handbrake, frame by frame, from a player's Taviro.log.

The log holds these decisions only if the player had bLogging=1 in
Data\\SFSE\\Plugins\\TaviroCustom.ini (under [Settings]) when the game ran; without it, ask
for a log written that way. Needs only Python 3 (on Windows, type `py` for `python3`) and the two
files beside this one, timeline_log.py and timeline_picture.py: pass on all three.

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
bottom, over the frames (a lane with nothing in it is left out):
  settings           the hotkey in force, from the frame each "settings in force" line names;
                     beneath it, a value the files had refused and another plugin on the
                     same call, where the log names one
  handbrake          filled while the plugin had the handbrake engaged, each stretch labelled
                     with its reason (in the band, or above it where it does not fit; Taviro's
                     own engagements, the counting reasons, always); a dotted marker where the
                     reason changed while it stayed engaged
  engage stage       -1 up to 3: counting frames before the plugin engages
  exit window,       filled while open; hovering tells the window's count (window=)
  activation window
  standing aside     the frames the plugin lets the game run and decides nothing, by reason:
                     the 30 frames of warm-up after the game's data loads, a loading screen, a
                     fade or the end credits, the loading screens and fades themselves (always
                     labelled), and a vehicle not ready; a triangle marks each warm-up restart
  game events        dashed lines, coloured as the lane they act on, between two frames
Beneath the legend, the reasons of the frames shown, in the game's words.

--states writes `frame,handbrake,stage,warmup,exit,activation,window,why`, one row per frame:
the state right after that frame's decision, and the reason for it; a game event between two
frames counts from the next one, and is no frame's reason. `window` is the count of the exit or
activation window: 0 when one opens, one more for each frame that counts towards engaging and
for each warm-up frame in which the game's first float reads 0, and 150 when it is over. The log
has a line only where the state or the reason changed, so a row repeats the line before it. A
reason that changes on almost every frame is logged 16 times in a row at most, then once every
120 frames while it goes on: the rows between two such lines may hide a brief other reason. The
warm-up count is logged when a warm-up starts, restarts or completes, not at every frame, so a
count from 1 to 29 stands only on the frame of its own line, and the frames after it say
`warming` until the next line; 0 (held by a load screen) and 30 (done) hold as they are. A field
the log never gave is empty. The rows run to the last frame the game ran, which the log's
closing line gives as the game ends; a log without one (a game killed, crashed or still running
leaves none) ends at its last trace line, and this is said. It writes at most 2,000,000 rows;
pick a range with --frames for more.

A last line with no newline (the game ended while it was written) is read past, and said so.
Lines of the log may end in spaces: the plugin pads a line so that none crosses a 4 KiB page of
the file, which keeps every line whole however the game ends.

Exit status: 0 done; 1 the log (or the chosen launch) holds no decision trace; 2 the log
cannot be read, the output cannot be written, or the command line is wrong.
"""
import argparse
import os
import sys

# The two files beside this one are imported, not run: no bytecode cache is left beside them,
# in a source tree or a helper's download folder.
sys.dont_write_bytecode = True
from timeline_log import (Failure, check_states_size, effective_steps,  # noqa: E402
                          parse_frames, parse_log, pick_launch, read_text, segments, write_states)
from timeline_picture import draw  # noqa: E402

PROG = "timeline.py"


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

    if launch.closing is None:
        print(f"{PROG}: {os.path.basename(args.log)}: no closing line after frame "
              f"{launch.last_traced()}: the log does not say how many frames the game ran after "
              "it (a game killed, crashed or still running leaves none)", file=sys.stderr)
    if args.states:
        segs = segments(effective_steps(launch.steps), low, high)
        check_states_size(launch, segs, low, high)
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
