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
README = os.path.join(os.path.dirname(SCRIPT), "..", "packaging", "README-Taviro.txt")
SVG = "{http://www.w3.org/2000/svg}"
REST = "exit=closed activation=closed window=150"
# A log the plugin wrote over three launches, made by ctest's log_exit_test before this runs.
APPENDED = os.environ.get("TAVIRO_APPENDED_LOG")

# Warm-up, an exit between frames 33 and 34 with no line of its own at 34, counting up to an
# engage, a hotkey bound while playing (a modifier refused) and held with the handbrake engaged
# already (a new reason, the state as it was), a load screen restarting the warm-up, a game load
# between frames 46 and 47 that frame 47 overrides at once, and what a later version might add:
# a kind and a key this one does not know. The game is still running: no closing line.
DRIVE = f"""\
08:00:00.000 info  Taviro 1.1.0 (Taviro - SFSE Plugin by Orrimel), built for Starfield 1.14.74
08:00:00.050 info  settings in force: no hotkey, from the built-in default; decision trace on, from TaviroCustom.ini; from frame=1 on
08:00:00.100 trace frame=1 why=warm-up handbrake=released stage=-1 warmup=1 {REST}
08:00:00.600 trace frame=30 why=warm-up handbrake=released stage=-1 warmup=30 {REST}
08:00:00.610 trace frame=31 why=reset-path handbrake=released stage=-1 warmup=30 {REST}
08:00:00.650 event frame=33 exit-vehicle handbrake=released stage=-1 warmup=30 exit=open activation=closed window=0
08:00:00.660 debug a kind to come
08:00:00.670 trace frame=35 why=counting:float1-nonzero handbrake=released stage=0 warmup=30 exit=open activation=closed window=1 grip=7
08:00:00.680 trace frame=39 why=counting:float1-nonzero handbrake=engaged stage=3 warmup=30 exit=open activation=closed window=5
08:00:00.685 error TaviroCustom.ini: iHandbrakeHotkeyModifier="Shift" refused: not a hexadecimal number
08:00:00.686 info  settings in force: hotkey G, from TaviroCustom.ini; decision trace on, from TaviroCustom.ini; from frame=40 on
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
        self.assertEqual(lines[0], "frame,handbrake,stage,warmup,exit,activation,window,why")
        # One row per frame, in order: a frame written twice reads as one in a dictionary.
        frames = [int(row.split(",")[0]) for row in lines[1:]]
        self.assertEqual(frames, list(range(frames[0], frames[0] + len(frames))))
        return {frame: row.split(",", 1)[1] for frame, row in zip(frames, lines[1:])}

    def test_states_of_every_frame(self):
        log = self.write("Taviro.log", DRIVE)
        states = self.states(log)
        self.assertEqual(sorted(states), list(range(1, 48)))
        expected = {
            1: "released,-1,1,closed,closed,150,warm-up",
            2: "released,-1,warming,closed,closed,150,warm-up",  # not logged each frame
            30: "released,-1,30,closed,closed,150,warm-up",
            33: "released,-1,30,closed,closed,150,reset-path",  # the exit comes after this frame
            34: "released,-1,30,open,closed,0,reset-path",      # and is no frame's reason
            38: "released,0,30,open,closed,1,counting:float1-nonzero",
            39: "engaged,3,30,open,closed,5,counting:float1-nonzero",
            40: "engaged,3,30,open,closed,5,hotkey-held",
            41: "released,-1,0,closed,closed,150,load-screen",  # restart: held at 0
            43: "released,-1,0,closed,closed,150,load-screen",
            44: "released,-1,1,closed,closed,150,warm-up",
            46: "released,-1,warming,closed,closed,150,warm-up",
            47: "released,-1,0,closed,closed,150,load-screen",  # its own line wins over the load
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

        # Each band on the frames the log gives: the warm-up whole, frame 30 with it; the
        # hotkey from the frame its settings line names.
        def lane(name):
            return [(int(r.get("data-first")), int(r.get("data-last")),
                     r.get("data-why") or r.get("data-words"))
                    for r in root.iter(SVG + "rect")
                    if r.get("class") == "band" and r.get("data-lane") == name]

        self.assertEqual(lane("aside"), [(1, 30, "warm-up"), (41, 43, "load-screen"),
                                         (44, 46, "warm-up"), (47, 47, "load-screen")])
        self.assertEqual(lane("settings"), [(1, 39, "no hotkey"), (40, 47, "hotkey G")])
        self.assertEqual(lane("exit"), [(34, 40, None)])
        notes = [g.find(SVG + "title").text for g in root.iter(SVG + "g")
                 if g.get("class") == "note"]
        self.assertEqual(notes, ['TaviroCustom.ini: iHandbrakeHotkeyModifier="Shift" refused: '
                                 'not a hexadecimal number'])
        # No activation window opened: no lane for it.
        self.assertEqual(sorted(r.get("data-lane") for r in root.iter(SVG + "rect")
                                if r.get("class") == "lane"),
                         ["aside", "exit", "handbrake", "settings", "stage"])
        # The reasons of the drive in the game's words, in the order the drive gives them.
        key = [t.find(SVG + "tspan").text for t in root.iter(SVG + "text")
               if t.get("class") == "key"]
        self.assertEqual(key,
                         ["why=warm-up", "why=reset-path", "why=counting:float1-nonzero",
                          "why=hotkey-held", "why=load-screen"])

    def test_taviros_engagements_are_labelled_at_any_zoom(self):
        """A long evening's log: hundreds of exits and activations close together, each a band
        a pixel wide when drawn whole. Every one keeps a label with its reason."""
        lines, frame = [DRIVE.splitlines()[0]], 1
        for i in range(300):
            why = "counting:exit-window" if i % 3 else "counting:activation-window"
            lines += [f"08:00:01.000 trace frame={frame} why=reset-path handbrake=released "
                      f"stage=-1 warmup=30 {REST}",
                      f"08:00:01.000 trace frame={frame + 150} why={why} handbrake=engaged "
                      f"stage=3 warmup=30 exit=open activation=closed window=5"]
            frame += 150 + 5 + i % 40
        log = self.write("long.log", "\n".join(lines) + "\n")
        for zoom in ([], ["--frames", "10000:20000"]):
            svg = os.path.join(self.folder.name, "long.svg")
            self.assertEqual(self.run_script(log, "-o", svg, *zoom).returncode, 0)
            root = ElementTree.parse(svg).getroot()
            labelled = {ident for t in root.iter(SVG + "text")
                        for ident in (t.get("data-for") or "").split()}
            engagements = [r.get("id") for r in root.iter(SVG + "rect")
                           if (r.get("data-why") or "").startswith("counting:")]
            self.assertGreater(len(engagements), 50)
            self.assertEqual([e for e in engagements if e not in labelled], [])

    def test_the_players_readme_says_the_reasons_in_the_pictures_words(self):
        sys.path.insert(0, os.path.dirname(SCRIPT))
        from timeline_log import REASONS
        # Every reason the plugin gives (the testbed's list, which its own test holds to the
        # plugin's), and no other.
        with open(os.path.join(os.path.dirname(SCRIPT), "..", "testbed", "Reasons.h")) as header:
            self.assertEqual(list(REASONS), re.findall(r'^\s+"([^"]+)",$', header.read(), re.M))
        with open(README, encoding="utf-8") as readme:
            words = " ".join(readme.read().split())
        for reason, meaning in REASONS.items():
            self.assertTrue(f"{reason} {meaning}" in words, f"the readme lacks: {reason} {meaning}")

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
        self.assertIn("line 13: the last line has no newline",
                      self.run_script(cut, "--states").stderr)

        # One garbage frame number must not fill a disk: --states says what to do instead.
        garbage_line = DRIVE.splitlines()[4].replace("frame=31", "frame=999999999")
        far = self.write("far.log", DRIVE + garbage_line + "\n")
        result = self.run_script(far, "--states")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("line 17 says frame=999999999); pick a range with --frames", result.stderr)
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
