#!/usr/bin/env python3
"""Checks the installed systemd units.

    check_units.py MESON SYSTEMD_ANALYZE BUILD_ROOT

Installs the build into a temporary tree and, for every unit found there:
- its sandbox, as scored by "systemd-analyze security --offline=true", must
  reach at least the level its daemon is held to (the score is printed);
- the rights its daemon cannot work without must still be granted: a later
  hardening step that takes one away fails here, not on the board;
- the user it runs as, and that user's groups, are made by the installed
  sysusers.d files.
Units of daemons left out of the build are absent and not checked; at least
one unit must be there. The temporary tree is removed on every path.
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

# Best first, as systemd-analyze names them.
LEVELS = ["PERFECT", "SAFE", "OK", "MEDIUM", "EXPOSED", "UNSAFE"]

UNBIND = "/sys/bus/platform/drivers/aspeed-smc/unbind"

# Per unit: the worst level allowed, the assignments that must be there (a
# line of that key holding all the words) and the settings that must stay off
# (unset, false, or root for User=).
UNITS = {
    "xyz.openbmc_project.M2Sensor.service": {
        "level": "SAFE",
        "grants": [
            ("User", "drivetherm"),
            ("SupplementaryGroups", "i2c"),
            ("DeviceAllow", "char-i2c rw"),
            ("RestrictAddressFamilies", "AF_UNIX"),
        ],
        "off": ["PrivateDevices"],
    },
    "xyz.openbmc_project.Software.CPLD.Mgr.service": {
        "level": "OK",
        "grants": [
            ("DeviceAllow", "char-i2c rw"),
            ("RestrictAddressFamilies", "AF_UNIX"),
            # The product id file is opened for reading and writing.
            ("ReadWritePaths", "/var/cache/private"),
            ("ReadWritePaths", UNBIND),
        ],
        # The uploaded images are in the real /tmp.
        "off": ["PrivateDevices", "PrivateTmp", "User", "DynamicUser"],
    },
    "baysentry.service": {
        "level": "OK",
        "grants": [
            ("DeviceAllow", "char-i2c rw"),
            ("DeviceAllow", "char-gpiochip rw"),
            ("RestrictAddressFamilies", "AF_UNIX"),
        ],
        # systemctl reaches the service manager only as root.
        "off": ["PrivateDevices", "User", "DynamicUser"],
    },
}

OVERALL = re.compile(r"Overall exposure level for \S+: ([0-9.]+) ([A-Z]+)")
FALSE = {"", "no", "false", "0", "off", "root"}


def service_settings(path):
    """The [Service] assignments of a unit file: key -> list of values, an
    empty assignment clearing what came before, as systemd reads them."""
    settings = {}
    section = None
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line:
            key, value = (part.strip() for part in line.split("=", 1))
            values = settings.setdefault(key, [])
            if value:
                values.append(value)
            else:
                values.clear()
    return settings


def words(value):
    # "-" marks a path that may be missing; it still grants the path.
    return {word.lstrip("-") for word in value.split()}


def missing_rights(settings, need):
    faults = []
    for key, wanted in need["grants"]:
        if not any(set(wanted.split()) <= words(v) for v in settings.get(key, [])):
            faults.append(f"{key}= does not grant {wanted!r}")
    for key in need["off"]:
        values = settings.get(key, [])
        if values and values[-1].lower() not in FALSE:
            faults.append(f"{key}={values[-1]} takes away what the daemon needs")
    return faults


def sysusers_lines(root):
    return {
        tuple(line.split()[:3])
        for path in Path(root).glob("**/sysusers.d/*.conf")
        for line in path.read_text().splitlines()
        if line.strip() and not line.startswith("#")
    }


def missing_accounts(settings, made):
    user = (settings.get("User") or ["root"])[-1]
    if user == "root":
        return []
    faults = []
    if ("u", user) not in {entry[:2] for entry in made}:
        faults.append(f"no sysusers.d entry makes user {user}")
    for group in " ".join(settings.get("SupplementaryGroups", [])).split():
        if ("m", user, group) not in made:
            faults.append(f"no sysusers.d entry puts {user} into group {group}")
    return faults


def exposure(analyze, root, unit):
    result = subprocess.run(
        [analyze, "security", "--offline=true", f"--root={root}", "--no-pager"]
        + [unit],
        capture_output=True,
        text=True,
    )
    found = OVERALL.search(result.stdout)
    if not found:
        raise RuntimeError(f"{unit}: no exposure level\n{result.stdout}{result.stderr}")
    warnings = [l for l in result.stderr.splitlines() if unit in l]
    return float(found[1]), found[2], warnings


def check(analyze, root):
    units = sorted(Path(root).glob("**/systemd/system/*.service"))
    if not units:
        return ["no unit installed"]
    faults = []
    made = sysusers_lines(root)
    for path in units:
        unit = path.name
        need = UNITS.get(unit)
        if need is None:
            faults.append(f"{unit}: no level set for this unit in check_units.py")
            continue
        score, level, warnings = exposure(analyze, root, unit)
        print(f"{unit}: {score} {level} (at worst {need['level']})")
        if level not in LEVELS or LEVELS.index(level) > LEVELS.index(need["level"]):
            faults.append(f"{unit}: exposure {score} {level}, above {need['level']}")
        faults += [f"{unit}: {w}" for w in warnings]
        settings = service_settings(path)
        faults += [f"{unit}: {f}" for f in missing_rights(settings, need)]
        faults += [f"{unit}: {f}" for f in missing_accounts(settings, made)]
    return faults


def main(meson, analyze, build_root):
    with tempfile.TemporaryDirectory(prefix="units-") as root:
        subprocess.run(
            [meson, "install", "-C", build_root, "--destdir", root]
            + ["--no-rebuild", "--quiet"],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        faults = check(analyze, root)
    for fault in faults:
        print("FAIL:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
