#!/usr/bin/env python3
"""Builds the release zip with cpack from a configured and built tree and checks what a player
gets: exactly the plugin, its default settings file and the readme, in the game folder's layout,
with the packaged DLL passing the same checks as the built one.

    check_package.py <cpack> <build dir> <zip name> <TaviroVersion.h>
"""
import os
import shutil
import subprocess
import sys
import zipfile

from check_dll import Version, check_dll, report

EXPECTED_FILES = {
    "Data/SFSE/Plugins/Taviro.dll",
    "Data/SFSE/Plugins/Taviro.ini",
    "README-Taviro.txt",
}
DEFAULT_INI = b"[Settings]\r\nbLogging=0\r\niHandbrakeHotkey=0x0\r\n"


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    cpack, build_dir, zip_name, version_header = sys.argv[1:]
    out_dir = os.path.join(build_dir, "package-check")
    shutil.rmtree(out_dir, ignore_errors=True)
    subprocess.run([cpack, "-G", "ZIP", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
                    "-B", out_dir], check=True, stdout=subprocess.DEVNULL)

    failures = []
    archive = os.path.join(out_dir, zip_name)
    if not os.path.isfile(archive):
        sys.exit(f"cpack made no {zip_name} in {out_dir}: {sorted(os.listdir(out_dir))}")
    with zipfile.ZipFile(archive) as z:
        files = {n for n in z.namelist() if not n.endswith("/")}
        if files != EXPECTED_FILES:
            failures.append(f"the zip holds {sorted(files)}, not {sorted(EXPECTED_FILES)}")
        if "Data/SFSE/Plugins/Taviro.ini" in files:
            ini = z.read("Data/SFSE/Plugins/Taviro.ini")
            if ini != DEFAULT_INI:
                failures.append(f"Taviro.ini is {ini!r}, not {DEFAULT_INI!r}")
        if "README-Taviro.txt" in files:
            readme = z.read("README-Taviro.txt").decode()
            for needed in ("TaviroCustom.ini", "iHandbrakeHotkey", "Data\\SFSE\\Plugins",
                           "My Games\\Starfield\\SFSE\\Logs\\Taviro.log", "bLogging=1"):
                if needed not in readme:
                    failures.append(f"the readme never mentions {needed}")
        if "Data/SFSE/Plugins/Taviro.dll" in files:
            dll = z.extract("Data/SFSE/Plugins/Taviro.dll", out_dir)
            failures += [f"the packaged DLL: {p}" for p in check_dll(dll, Version(version_header))]

    report(archive, failures, str(sorted(files)))


if __name__ == "__main__":
    main()
