#!/usr/bin/env python3
"""Checks the built Taviro.dll as the script-extender host and Windows see it: the two exports
under the module name the host expects, the version record's bytes, the version resource shown
in the file's properties, the DLLs it needs on a player's machine, and the machine type. The
name and version expected are the build's own, from its generated version header.

    check_dll.py path/to/Taviro.dll path/to/TaviroVersion.h
"""
import re
import struct
import sys

import pefile

RECORD_SIZE = 604
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_FILE_MACHINE_AMD64 = 0x8664

# Only the system's own DLLs: a player has no mingw runtime installed. shell32 and ole32 find
# the Documents folder for the log.
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "shell32.dll", "ole32.dll"}
UCRT_PREFIX = "api-ms-win-crt-"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


class Version:
    """The name and version the build gave the plugin, as the generated header defines them."""

    def __init__(self, header_path):
        with open(header_path, encoding="utf-8") as header:
            defines = dict(re.findall(r"#define TAVIRO_(\w+) (.+)", header.read()))
        self.major = int(defines["VERSION_MAJOR"])
        self.minor = int(defines["VERSION_MINOR"])
        self.patch = int(defines["VERSION_PATCH"])
        self.text = defines["VERSION_TEXT"].strip('"').encode()
        self.name = defines["DISPLAY_NAME"].strip('"').encode()
        self.author = defines["AUTHOR"].strip('"').encode()
        self.packed = (self.major << 24) | (self.minor << 16) | (self.patch << 4)


def expected_record(version):
    def field(text):
        return text + b"\0" * (256 - len(text))

    compatible = [0x010E04A0] + [0] * 15
    return (struct.pack("<II", 1, version.packed) + field(version.name) + field(version.author) +
            struct.pack("<II", 0, 0) + struct.pack("<16I", *compatible) +
            struct.pack("<III", 0, 0, 0))


def check_exports(pe):
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if exports is None:
        failures.append("no export directory")
        return None
    check(exports.name == b"SFSEPlugin.dll",
          f"export directory names {exports.name!r}, not b'SFSEPlugin.dll'")
    names = sorted(s.name for s in exports.symbols)
    check(names == [b"SFSEPlugin_Load", b"SFSEPlugin_Version"],
          f"exports are {names}, not exactly SFSEPlugin_Load and SFSEPlugin_Version")
    check(all(s.forwarder is None for s in exports.symbols), "an export is forwarded")
    return {s.name: s.address for s in exports.symbols}


def check_version_record(pe, rva, version):
    section = pe.get_section_by_rva(rva)
    if section is None:
        failures.append("SFSEPlugin_Version lies in no section")
        return
    section_name = section.Name.rstrip(b"\0").decode(errors="replace")
    check(not section.Characteristics & IMAGE_SCN_MEM_EXECUTE,
          f"SFSEPlugin_Version lies in executable section {section_name}")
    check(rva + RECORD_SIZE <= section.VirtualAddress + section.Misc_VirtualSize,
          "SFSEPlugin_Version runs past the end of its section")
    record = pe.get_data(rva, RECORD_SIZE)
    expected = expected_record(version)
    check(len(expected) == RECORD_SIZE, "the expected record is not 604 bytes")
    if record != expected:
        first = next(i for i in range(RECORD_SIZE) if record[i:i + 1] != expected[i:i + 1])
        failures.append(f"SFSEPlugin_Version differs from the record from byte {first}: "
                        f"{record[first:first + 16].hex()} != {expected[first:first + 16].hex()}")


def check_code_export(pe, rva):
    section = pe.get_section_by_rva(rva)
    check(section is not None and section.Characteristics & IMAGE_SCN_MEM_EXECUTE,
          "SFSEPlugin_Load is not in executable code")


def check_version_resource(pe, version):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not fixed:
        failures.append("no version resource")
        return
    fixed = fixed[0]
    packed = ((version.major << 16) | version.minor, version.patch << 16)
    check((fixed.FileVersionMS, fixed.FileVersionLS) == packed,
          f"fixed file version is not {version.text.decode()}")
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == packed,
          f"fixed product version is not {version.text.decode()}")
    check(fixed.FileType == 2, f"file type {fixed.FileType}, not DLL (2)")
    check(fixed.FileOS == 0x40004, f"file OS {fixed.FileOS:#x}, not 0x40004")

    tables = []
    translations = []
    for info in pe.FileInfo[0] if pe.FileInfo else []:
        if info.Key == b"StringFileInfo":
            tables.extend(info.StringTable)
        elif info.Key == b"VarFileInfo":
            translations.extend(v.entry.get(b"Translation") for v in info.Var)
    check(len(tables) == 1, f"{len(tables)} string tables, not one")
    if tables:
        check(tables[0].LangID.lower() == b"040904b0",
              f"string table {tables[0].LangID!r}, not 040904B0")
        expected = {
            b"CompanyName": version.author,
            b"FileDescription": version.name,
            b"FileVersion": version.text,
            b"InternalName": version.name,
            b"OriginalFilename": version.name,
            b"ProductName": version.name,
            b"ProductVersion": version.text,
        }
        check(dict(tables[0].entries) == expected,
              f"version strings are {dict(tables[0].entries)}")
    check(translations == ["0x0409 0x04b0"], f"translations are {translations}, not 0409/04B0")


def check_imports(pe):
    imported = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [d for d in imported if d not in ALLOWED_IMPORTS and not d.startswith(UCRT_PREFIX)]
    check(not foreign, f"imports DLLs a player's system lacks: {foreign}")
    check("kernel32.dll" in imported and "user32.dll" in imported,
          f"imports {imported}, without kernel32 and user32")


def check_dll(path, version):
    """Every way the DLL at `path` differs from what the host and Windows expect."""
    failures.clear()
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_AMD64,
          f"machine {pe.FILE_HEADER.Machine:#x}, not AMD64")
    check(pe.is_dll(), "not a DLL")
    exports = check_exports(pe)
    if exports:
        if b"SFSEPlugin_Version" in exports:
            check_version_record(pe, exports[b"SFSEPlugin_Version"], version)
        if b"SFSEPlugin_Load" in exports:
            check_code_export(pe, exports[b"SFSEPlugin_Load"])
    check_version_resource(pe, version)
    check_imports(pe)
    return list(failures)


def report(subject, problems, success):
    """Prints the problems found with `subject`, or `success`; exits non-zero on problems."""
    for problem in problems:
        print(f"{subject}: {problem}")
    if problems:
        sys.exit(1)
    print(f"{subject}: {success}")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    report(sys.argv[1], check_dll(sys.argv[1], Version(sys.argv[2])),
           "exports, version record, version resource and imports as expected")


if __name__ == "__main__":
    main()
