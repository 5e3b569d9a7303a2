#!/usr/bin/env python3
"""Every script in scripts/ answers --help and -h with its usage and exit status 0, and an unknown
option with its usage and exit status 2, without building, installing or starting anything: the
programs a script would run for that (cmake, apt-get, sudo, dpkg-query, wine, ctest, git) are
stand-ins here that note any call."""
import os
import stat
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts")
TOOLS = ("cmake", "ctest", "apt-get", "sudo", "dpkg-query", "wine", "wineserver", "git", "zip")


class ScriptsTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.calls = os.path.join(folder.name, "calls")
        for tool in TOOLS:
            path = os.path.join(folder.name, tool)
            with open(path, "w") as stand_in:
                stand_in.write(f'#!/bin/sh\necho "{tool} $*" >> "{self.calls}"\nexit 1\n')
            os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
        self.env = dict(os.environ, PATH=folder.name + os.pathsep + os.environ["PATH"])

    def run_script(self, name, *args):
        # A shell script by its own first line, as a user starts it.
        command = [sys.executable] if name.endswith(".py") else []
        return subprocess.run(command + [os.path.join(SCRIPTS, name), *args], env=self.env,
                              capture_output=True, text=True, timeout=60, cwd=SCRIPTS)

    def test_help_and_unknown_options(self):
        names = sorted(name for name in os.listdir(SCRIPTS) if name.endswith((".sh", ".py")))
        self.assertIn("release.sh", names)
        for name in names:
            with self.subTest(script=name):
                usage = None
                for option in ("--help", "-h"):
                    result = self.run_script(name, option)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertGreater(len(result.stdout.strip().splitlines()), 1, result.stdout)
                    self.assertEqual(usage or result.stdout, result.stdout)
                    usage = result.stdout
                wrong = self.run_script(name, "--no-such-option")
                self.assertEqual(wrong.returncode, 2, wrong.stdout + wrong.stderr)
                self.assertNotIn("Traceback", wrong.stderr)
                # The usage, or its first line where the option parser shortens it.
                self.assertIn(usage.strip().splitlines()[0].split()[0], wrong.stderr)
                if os.path.exists(self.calls):
                    with open(self.calls) as calls:
                        self.fail(f"{name} ran: {calls.read()}")


if __name__ == "__main__":
    unittest.main()
