#!/usr/bin/env python3
"""Writes the release zip so that the same sources give the same bytes in any folder, at any
time: entries in name order, each dated by the last commit (SOURCE_DATE_EPOCH when set, as
reproducible builds conventionally take it), with fixed attributes and nothing else from the
files on disk. The DLL goes in stripped, its header's time 0 as the linker leaves it. The
players' readme gets the plugin's name and version from the build's version header and the
version's entry from CHANGELOG.md. Prints the SHA-256 of the zip and of the DLL in it.

    make_zip.py <zip> --version-header H --sources DIR --readme TXT --changelog MD
                --strip STRIP [name-in-zip=file ...]
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

# The earliest time a zip entry can carry (1980-01-01 UTC): for sources that are not a clone.
ZIP_EPOCH = 315532800


def source_date_epoch(sources):
    """The release's one time, and where it came from."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"]), "SOURCE_DATE_EPOCH"
    try:
        commit = subprocess.run(["git", "-C", sources, "log", "-1", "--format=%ct"],
                                capture_output=True, text=True, check=True).stdout.strip()
        return int(commit), "the last commit's time"
    except (OSError, subprocess.CalledProcessError, ValueError):
        return ZIP_EPOCH, "no commit found, the earliest zip time"


def version_defines(header):
    with open(header, encoding="utf-8") as f:
        return dict(re.findall(r'#define TAVIRO_(\w+) "?([^"\n]*)"?', f.read()))


def changelog_entry(changelog, version):
    """The text under the changelog's heading for `version`, which must have one."""
    with open(changelog, encoding="utf-8") as f:
        text = f.read()
    found = re.search(rf"^## {re.escape(version)}\b.*?\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    if not found or not found.group(1).strip():
        sys.exit(f"make_zip.py: {changelog} has no entry for {version}")
    return found.group(1).strip("\n")


def players_readme(template, defines, changes):
    with open(template, encoding="utf-8") as f:
        text = f.read()
    version = f"{defines['VERSION_MAJOR']}.{defines['VERSION_MINOR']}.{defines['VERSION_PATCH']}"
    title = f"{defines['DISPLAY_NAME']}, version {version}"
    # The title's underline follows the title's length.
    text, titles = re.subn(r"\A@TITLE@\n=+\n", f"{title}\n{'=' * len(title)}\n", text)
    if titles != 1 or text.count("@CHANGES@") != 1:
        sys.exit(f"make_zip.py: {template} must start with @TITLE@ and hold @CHANGES@ once")
    # Notepad as old as the game's players' Windows shows a file of bare LFs as one line.
    return text.replace("@CHANGES@", changes).replace("\n", "\r\n").encode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def stripped(strip, dll):
    """The DLL without its symbols. Strip stamps the PE header with the time it runs unless
    SOURCE_DATE_EPOCH says otherwise; 0, as the linker left it, keeps the DLL's bytes the same
    from one commit to the next while its code stays the same."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, os.path.basename(dll))
        subprocess.run([strip, "-o", out, dll], check=True,
                       env={**os.environ, "SOURCE_DATE_EPOCH": "0"})
        return read(out)


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("zip")
    parser.add_argument("--version-header", required=True)
    parser.add_argument("--sources", required=True)
    parser.add_argument("--readme", required=True)
    parser.add_argument("--changelog", required=True)
    parser.add_argument("--strip", required=True, help="the binutils strip for the DLL")
    parser.add_argument("files", nargs="*", metavar="name-in-zip=file")
    args = parser.parse_intermixed_args()
    epoch, origin = source_date_epoch(args.sources)

    defines = version_defines(args.version_header)
    version = f"{defines['VERSION_MAJOR']}.{defines['VERSION_MINOR']}.{defines['VERSION_PATCH']}"
    contents = {"README-Taviro.txt": players_readme(args.readme, defines,
                                                    changelog_entry(args.changelog, version))}
    for pair in args.files:
        name, path = pair.split("=", 1)
        contents[name] = stripped(args.strip, path) if name.endswith(".dll") else read(path)

    date_time = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    partial = args.zip + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for name in sorted(contents):
            entry = zipfile.ZipInfo(name, date_time=date_time)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            entry.external_attr = 0o100644 << 16
            z.writestr(entry, contents[name], compresslevel=9)
    os.replace(partial, args.zip)

    with open(args.zip, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    print(f"{os.path.basename(args.zip)} SHA-256 {digest}")
    for name in sorted(contents):
        if name.endswith(".dll"):
            print(f"  {name} SHA-256 {hashlib.sha256(contents[name]).hexdigest()}")
    print(f"  entries dated {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(epoch))} "
          f"({origin})")


if __name__ == "__main__":
    main()
