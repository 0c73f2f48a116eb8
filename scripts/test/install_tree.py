#!/usr/bin/env python3
"""Installs the build into a fresh temporary folder and compares the whole
tree, entry by entry, with what an image should receive: every directory,
file and symbolic link with its type and mode, link targets, data files
equal to their sources, programs and libraries ELF files of the build's
machine, and the units' ExecStart programs present. Anything else in the
tree (the simulated board, tests, static libraries, headers) is an error.

install_tree.py MESON BUILD_ROOT SOURCE_ROOT PREFIX BINDIR LIBDIR LIBEXECDIR
                DATADIR CPU_FAMILY ENDIAN OWN_BOARD_UTIL(yes|no) [DAEMON...]
"""
import difflib
import os
import stat
import subprocess
import sys
import tempfile

DIR_MODE = 0o755
DATA_MODE = 0o644
ELF_MODE = 0o755

# ELF class (1: 32-bit, 2: 64-bit) and e_machine per meson cpu family.
ELF_MACHINES = {
    "x86_64": (2, 62),
    "x86": (1, 3),
    "arm": (1, 40),
    "aarch64": (2, 183),
}

UNITS = {
    "drivetherm": "xyz.openbmc_project.M2Sensor.service",
    "fwkeeper": "xyz.openbmc_project.Software.CPLD.Mgr.service",
    "baysentry": "baysentry.service",
}
# Commands for integrators installed with a daemon.
COMMANDS = {
    "fwkeeper": "cpld-image-check",
}
POLICIES = {
    "drivetherm": "xyz.openbmc_project.M2Sensor.conf",
    "fwkeeper": "xyz.openbmc_project.Software.CPLD.Mgr.conf",
}


def under(prefix, path):
    """A meson directory option as an absolute path."""
    return path if os.path.isabs(path) else os.path.join(prefix, path)


def expected_entries(opts):
    """path -> (kind, detail): ("elf", "exe"|"lib"), ("data", source
    file), ("link", target). Directories are added by the caller."""
    prefix, libdir = opts["prefix"], under(opts["prefix"], opts["libdir"])
    bindir = under(prefix, opts["bindir"])
    libexecdir = under(prefix, opts["libexecdir"])
    datadir = under(prefix, opts["datadir"])
    lib = os.path.join(prefix, "lib")
    entries = {
        f"{libdir}/libcmdstub.so.0.0.0": ("elf", "lib"),
        f"{libdir}/libcmdstub.so.0": ("link", "libcmdstub.so.0.0.0"),
        f"{libdir}/libcmdstub.so": ("link", "libcmdstub.so.0"),
        f"{datadir}/cpld-configs/cpld_repo.json": (
            "data",
            "cpld-configs/cpld_repo.json",
        ),
    }
    if opts["own_board_util"]:
        entries[f"{libdir}/libtarn-util-cpp.so"] = ("elf", "lib")
        entries[f"{libdir}/libtarn-util.so"] = ("elf", "lib")
    for daemon in opts["daemons"]:
        entries[f"{libexecdir}/{daemon}/{daemon}"] = ("elf", "exe")
        if daemon in COMMANDS:
            entries[f"{bindir}/{COMMANDS[daemon]}"] = ("elf", "exe")
        unit = UNITS[daemon]
        entries[f"{lib}/systemd/system/{unit}"] = (
            "data",
            f"service_files/{unit}",
        )
        if daemon in POLICIES:
            policy = POLICIES[daemon]
            entries[f"{datadir}/dbus-1/system.d/{policy}"] = (
                "data",
                f"service_files/dbus-policy/{policy}",
            )
    if "drivetherm" in opts["daemons"]:
        entries[f"{lib}/sysusers.d/drivetherm.conf"] = (
            "data",
            "service_files/drivetherm.sysusers",
        )
        entries[f"{lib}/udev/rules.d/60-i2c-dev-group.rules"] = (
            "data",
            "service_files/60-i2c-dev-group.rules",
        )
    return entries


def listing_line(path, kind, mode, target=None):
    line = f"{kind} {mode:04o} {path}"
    return line + f" -> {target}" if target else line


def expected_listing(entries):
    lines = []
    dirs = set()
    for path, (kind, detail) in entries.items():
        parent = os.path.dirname(path)
        while parent != "/":
            dirs.add(parent)
            parent = os.path.dirname(parent)
        if kind == "link":
            lines.append(listing_line(path, "link", 0o777, detail))
        else:
            mode = ELF_MODE if kind == "elf" else DATA_MODE
            lines.append(listing_line(path, "file", mode))
    lines += [listing_line(d, "dir", DIR_MODE) for d in dirs]
    return sorted(lines)


def installed_listing(root):
    lines = []
    for top, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(top, name)
            path = "/" + os.path.relpath(full, root)
            info = os.lstat(full)
            mode = stat.S_IMODE(info.st_mode)
            if stat.S_ISLNK(info.st_mode):
                lines.append(listing_line(path, "link", mode, os.readlink(full)))
            elif stat.S_ISDIR(info.st_mode):
                lines.append(listing_line(path, "dir", mode))
            elif stat.S_ISREG(info.st_mode):
                lines.append(listing_line(path, "file", mode))
            else:
                lines.append(listing_line(path, "other", mode))
    return sorted(lines)


def elf_problem(file, role, opts):
    """Why `file` is not an ELF executable or shared object of the build's
    machine, or None."""
    with open(file, "rb") as f:
        header = f.read(20)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        return "not an ELF file"
    machine = ELF_MACHINES.get(opts["cpu_family"])
    if machine is None:
        return f"no ELF machine known for cpu family {opts['cpu_family']}"
    byteorder = "little" if opts["endian"] == "little" else "big"
    if header[5] != (1 if byteorder == "little" else 2):
        return "byte order is not the build machine's"
    elf_class, e_machine = machine
    if header[4] != elf_class:
        return f"ELF class {header[4]}, expected {elf_class}"
    e_type = int.from_bytes(header[16:18], byteorder)
    e_mach = int.from_bytes(header[18:20], byteorder)
    if e_mach != e_machine:
        return f"ELF machine {e_mach}, expected {e_machine}"
    # Programs may be position independent (ET_DYN) or not (ET_EXEC).
    allowed = (2, 3) if role == "exe" else (3,)
    if e_type not in allowed:
        return f"ELF type {e_type} is not a {'program' if role == 'exe' else 'shared library'}"
    return None


def exec_start_programs(unit_file):
    programs = []
    with open(unit_file, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("ExecStart="):
                command = line[len("ExecStart=") :].lstrip("@-:+!")
                programs.append(command.split()[0])
    return programs


def content_problems(root, entries, opts):
    problems = []
    for path, (kind, detail) in sorted(entries.items()):
        file = root + path
        if not os.path.lexists(file) or kind == "link":
            continue
        if kind == "elf":
            problem = elf_problem(file, detail, opts)
            if problem:
                problems.append(f"{path}: {problem}")
            continue
        with open(file, "rb") as installed, open(
            os.path.join(opts["source_root"], detail), "rb"
        ) as source:
            if installed.read() != source.read():
                problems.append(f"{path}: differs from {detail}")
        if path.endswith(".service"):
            for program in exec_start_programs(file):
                target = root + program
                if not (os.path.isfile(target) and os.access(target, os.X_OK)):
                    problems.append(
                        f"{path}: ExecStart {program} is not a program of the tree"
                    )
    return problems


def parse_args(argv):
    if len(argv) < 12:
        sys.exit(__doc__)
    names = [
        "meson",
        "build_root",
        "source_root",
        "prefix",
        "bindir",
        "libdir",
        "libexecdir",
        "datadir",
        "cpu_family",
        "endian",
        "own_board_util",
    ]
    opts = dict(zip(names, argv[1:12]))
    opts["own_board_util"] = opts["own_board_util"] == "yes"
    opts["daemons"] = argv[12:]
    return opts


def main(argv):
    opts = parse_args(argv)
    # The modes an image gets do not depend on who runs the test.
    os.umask(0o022)
    with tempfile.TemporaryDirectory(prefix="install-tree-") as root:
        subprocess.run(
            [
                opts["meson"],
                "install",
                "-C",
                opts["build_root"],
                "--destdir",
                root,
                "--no-rebuild",
                "--quiet",
            ],
            check=True,
        )
        entries = expected_entries(opts)
        expected = expected_listing(entries)
        installed = installed_listing(root)
        problems = content_problems(root, entries, opts)
    if expected != installed:
        print("installed tree differs from the expected one (-expected +installed):")
        sys.stdout.writelines(
            line + "\n"
            for line in difflib.unified_diff(
                expected, installed, "expected", "installed", lineterm="", n=1
            )
        )
    for problem in problems:
        print(problem)
    if expected != installed or problems:
        return 1
    print(f"installed tree as expected: {len(installed)} entries")
    sys.stdout.writelines(line + "\n" for line in installed)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
