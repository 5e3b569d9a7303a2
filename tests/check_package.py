#!/usr/bin/env python3
"""Checks the release zip the build made as a player gets it: exactly the plugin, its default
settings file and the readme, in the game folder's layout, with the packaged DLL passing the same
checks as the built one and the readme naming its version.

    check_package.py <zip> <TaviroVersion.h>
"""
import sys
import tempfile
import zipfile

from check_dll import Version, check_dll, report

EXPECTED_FILES = {
    "Data/SFSE/Plugins/Taviro.dll",
    "Data/SFSE/Plugins/Taviro.ini",
    "README-Taviro.txt",
}
DEFAULT_INI = b"[Settings]\r\nbLogging=0\r\niHandbrakeHotkey=0x0\r\n"


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    archive, version_header = sys.argv[1:]
    version = Version(version_header)

    failures = []
    files = set()
    with zipfile.ZipFile(archive) as z, tempfile.TemporaryDirectory() as out_dir:
        files = {n for n in z.namelist() if not n.endswith("/")}
        if files != EXPECTED_FILES:
            failures.append(f"the zip holds {sorted(files)}, not {sorted(EXPECTED_FILES)}")
        if "Data/SFSE/Plugins/Taviro.ini" in files:
            ini = z.read("Data/SFSE/Plugins/Taviro.ini")
            if ini != DEFAULT_INI:
                failures.append(f"Taviro.ini is {ini!r}, not {DEFAULT_INI!r}")
        if "README-Taviro.txt" in files:
            readme = z.read("README-Taviro.txt").decode()
            release = f"{version.major}.{version.minor}.{version.patch}"
            for needed in ("TaviroCustom.ini", "iHandbrakeHotkey", "Data\\SFSE\\Plugins",
                           "My Games\\Starfield\\SFSE\\Logs\\Taviro.log", "bLogging=1",
                           "sfse_loader.exe", "Steam Input", "bHandbrakeHotkeyToggle=1",
                           "If holding a key is hard"):
                if needed not in readme:
                    failures.append(f"the readme never mentions {needed!r}")
            if not readme.startswith(f"{version.name.decode()}, version {release}\r\n"):
                failures.append(f"the readme's title is not this release's: {readme[:80]!r}")
        if "Data/SFSE/Plugins/Taviro.dll" in files:
            dll = z.extract("Data/SFSE/Plugins/Taviro.dll", out_dir)
            failures += [f"the packaged DLL: {p}" for p in check_dll(dll, version)]

    report(archive, failures, str(sorted(files)))


if __name__ == "__main__":
    main()
