#!/usr/bin/env python3
"""scripts/timeline.py as a player's helper runs it: on a log, through its command line."""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "timeline.py")
SVG = "{http://www.w3.org/2000/svg}"
REST = "exit=closed activation=closed window=150"
# A log the plugin wrote over three launches, made by ctest's log_exit_test before this runs.
APPENDED = os.environ.get("TAVIRO_APPENDED_LOG")

# Warm-up, an exit between frames 33 and 34 with no line of its own at 34, counting up to an
# engage, the hotkey held with the handbrake engaged already (a new reason, the state as it
# was), a load screen restarting the warm-up, a game load between frames 46 and 47 that frame 47
# overrides at once, and what a later version might add: a kind and a key this one does not
# know. The game is still running: no closing line.
DRIVE = f"""\
08:00:00.000 info  Taviro 1.1.0 (Taviro - SFSE Plugin by Orrimel), built for Starfield 1.14.74
08:00:00.100 trace frame=1 why=warm-up handbrake=released stage=-1 warmup=1 {REST}
08:00:00.600 trace frame=30 why=warm-up handbrake=released stage=-1 warmup=30 {REST}
08:00:00.610 trace frame=31 why=reset-path handbrake=released stage=-1 warmup=30 {REST}
08:00:00.650 event frame=33 exit-vehicle handbrake=released stage=-1 warmup=30 exit=open activation=closed window=0
08:00:00.660 debug a kind to come
08:00:00.670 trace frame=35 why=counting:float1-nonzero handbrake=released stage=0 warmup=30 exit=open activation=closed window=1 grip=7
08:00:00.680 trace frame=39 why=counting:float1-nonzero handbrake=engaged stage=3 warmup=30 exit=open activation=closed window=5
08:00:00.690 trace frame=40 why=hotkey-held handbrake=engaged stage=3 warmup=30 exit=open activation=closed window=5
08:00:00.700 trace frame=41 why=load-screen handbrake=released stage=-1 warmup=0 {REST}
08:00:00.750 trace frame=44 why=warm-up handbrake=released stage=-1 warmup=1 {REST}
08:00:00.800 event frame=46 game-loaded handbrake=engaged stage=-1 warmup=0 {REST}
08:00:00.850 trace frame=47 why=load-screen handbrake=released stage=-1 warmup=0 {REST}
"""


class TimelineTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, content):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as log:
            log.write(content.encode() if isinstance(content, str) else content)
        return path

    def run_script(self, *args):
        return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True,
                              timeout=60)

    def states(self, *args):
        result = self.run_script(*args, "--states")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "frame,handbrake,stage,warmup,exit,activation,why")
        # One row per frame, in order: a frame written twice reads as one in a dictionary.
        frames = [int(row.split(",")[0]) for row in lines[1:]]
        self.assertEqual(frames, list(range(frames[0], frames[0] + len(frames))))
        return {frame: row.split(",", 1)[1] for frame, row in zip(frames, lines[1:])}

    def test_states_of_every_frame(self):
        log = self.write("Taviro.log", DRIVE)
        states = self.states(log)
        self.assertEqual(sorted(states), list(range(1, 48)))
        expected = {
            1: "released,-1,1,closed,closed,warm-up",
            2: "released,-1,warming,closed,closed,warm-up",  # counting, not logged each frame
            30: "released,-1,30,closed,closed,warm-up",
            33: "released,-1,30,closed,closed,reset-path",  # the exit comes after this frame
            34: "released,-1,30,open,closed,reset-path",    # and is no frame's reason
            38: "released,0,30,open,closed,counting:float1-nonzero",
            39: "engaged,3,30,open,closed,counting:float1-nonzero",
            40: "engaged,3,30,open,closed,hotkey-held",
            41: "released,-1,0,closed,closed,load-screen",  # restart: held at 0
            43: "released,-1,0,closed,closed,load-screen",
            44: "released,-1,1,closed,closed,warm-up",
            46: "released,-1,warming,closed,closed,warm-up",
            47: "released,-1,0,closed,closed,load-screen",  # its own line wins over the load
        }
        self.assertEqual({frame: states[frame] for frame in expected}, expected)
        self.assertIn("no closing line after frame 47: the log does not say how many frames",
                      self.run_script(log, "--states").stderr)

        # The game ended: the frames after the last change kept its state, up to the last one the
        # closing line names. Spaces that fill a page of the file end the line before it.
        ended = self.write("ended.log", DRIVE.replace("\n", " " * 30 + "\n", 1) +
                           "08:00:01.000 info  the game is ending; the last vehicle update the hook "
                           "saw was frame=52\n")
        states = self.states(ended)
        self.assertEqual(sorted(states), list(range(1, 53)))
        self.assertEqual(states[52], states[47])
        self.assertNotIn("closing", self.run_script(ended, "--states").stderr)

    def test_picture(self):
        log = self.write("Taviro.log", DRIVE)
        svg = os.path.join(self.folder.name, "timeline.svg")
        result = self.run_script(log, "-o", svg)
        self.assertEqual(result.returncode, 0, result.stderr)
        root = ElementTree.parse(svg).getroot()
        self.assertIn("Taviro.log", root.find(SVG + "title").text)

        def titles(kind):
            return [g.find(SVG + "title").text for g in root.iter(SVG + "g")
                    if g.get("class") == kind]

        self.assertEqual(titles("event"), ["exit-vehicle after frame 33",
                                           "game-loaded after frame 46"])
        self.assertEqual(len(titles("restart")), 2)
        # The game load's engage lasts no frame: no switch to show.
        self.assertEqual(titles("switch"),
                         ["handbrake engaged at frame 39: counting:float1-nonzero",
                          "handbrake released at frame 41: load-screen"])
        self.assertEqual(titles("reason"),
                         ["handbrake still engaged at frame 40, now for hotkey-held"])
        bands = [rect.find(SVG + "title").text for rect in root.iter(SVG + "rect")
                 if rect.find(SVG + "title") is not None]
        self.assertIn("handbrake engaged (hotkey-held), frame 40", bands)

    def test_logs_it_cannot_draw(self):
        no_trace = self.write("quiet.log", DRIVE.splitlines()[0] + "\n")
        garbage = self.write("garbage.log", bytes(range(256)) * 40)
        for log in (no_trace, garbage):
            result = self.run_script(log)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertIn("no decision trace in this log: set bLogging=1 in TaviroCustom.ini",
                          result.stderr)
            self.assertNotIn("Traceback", result.stderr)
        result = self.run_script(os.path.join(self.folder.name, "absent.log"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("cannot read", result.stderr)
        self.assertNotIn("Traceback", result.stderr)

        # A log cut off mid-line, as a game ended during a write leaves it: the cut line is read
        # past, and said so, rather than drawn from half its words.
        cut = self.write("cut.log", DRIVE[:DRIVE.index("stage=-1 warmup=0 exit=closed")])
        states = self.states(cut)
        self.assertEqual(max(states), 40)
        self.assertIn("line 10: the last line has no newline",
                      self.run_script(cut, "--states").stderr)

        # One garbage frame number must not fill a disk: --states says what to do instead.
        garbage_line = DRIVE.splitlines()[3].replace("frame=31", "frame=999999999")
        far = self.write("far.log", DRIVE + garbage_line + "\n")
        result = self.run_script(far, "--states")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("line 14 says frame=999999999); pick a range with --frames", result.stderr)
        self.assertLess(len(result.stdout), 1000)
        self.assertEqual(len(self.states(far, "--frames", "30:40")), 11)

    @unittest.skipUnless(APPENDED, "TAVIRO_APPENDED_LOG names no log (ctest gives one)")
    def test_launches_of_a_log_the_plugin_appended_to(self):
        """Three launches the real plugin wrote into one file, its previous log unable to be moved
        aside: traced, untraced, traced again."""
        with open(APPENDED, encoding="utf-8") as log:
            text = log.read()
        self.assertEqual(text.count(" ---- a new launch; "), 2, text[:2000])
        # Each launch ended by itself and closed its log with the last frame its hook saw.
        closing = [int(frame) for frame in re.findall(r"hook saw was frame=(\d+) *\n", text)]
        self.assertEqual(len(closing), 3, text[-2000:])
        last = self.states(APPENDED)
        first = self.states(APPENDED, "--launch", "1")
        self.assertEqual((min(first), max(first)), (1, closing[0]))
        self.assertEqual((min(last), max(last)), (1, closing[2]))
        self.assertGreater(len(first), 30)
        untraced = self.run_script(APPENDED, "--launch", "2", "--states")
        self.assertEqual(untraced.returncode, 1, untraced.stderr)
        self.assertIn("launch 2 of 3 holds no decision trace; launches with one: 1, 3",
                      untraced.stderr)


if __name__ == "__main__":
    unittest.main()
