#!/usr/bin/env python3
"""check_units.py MESON SYSTEMD_ANALYZE BUILD_ROOT

Installs the build into a temporary tree; every unit there must keep its
"systemd-analyze security" exposure (printed) at most at its ceiling, load
without warnings, still grant what its daemon needs, and run as a user that
the installed sysusers.d makes.
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

OVERALL = re.compile(r"Overall exposure level for \S+: ([0-9.]+) ([A-Z]+)")
I2C = ("DeviceAllow", "char-i2c rw")
UNIX = ("RestrictAddressFamilies", "AF_UNIX")

# Per unit: the highest exposure allowed (a little above today's), the grants
# (some line of the key holds all the words) and the settings that must stay
# off.
UNITS = {
    "xyz.openbmc_project.M2Sensor.service": (
        1.0,
        [("User", "drivetherm"), ("SupplementaryGroups", "i2c"), I2C, UNIX],
        ["PrivateDevices"],
    ),
    "xyz.openbmc_project.Software.CPLD.Mgr.service": (
        1.5,
        # The product id file is opened for writing; the SPI controller is
        # unbound through sysfs.
        [I2C, UNIX, ("ReadWritePaths", "/var/cache/private"),
         ("ReadWritePaths", "/sys/bus/platform/drivers/aspeed-smc/unbind")],
        # The uploaded images are in the real /tmp.
        ["PrivateDevices", "PrivateTmp"],
    ),
    "baysentry.service": (
        1.2,
        [I2C, ("DeviceAllow", "char-gpiochip rw"), UNIX],
        ["PrivateDevices"],
    ),
}


def service_settings(path):
    """key -> values of the [Service] section; an empty value clears."""
    settings, section = {}, None
    for line in map(str.strip, path.read_text().splitlines()):
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line and line[0] not in "#;":
            key, value = (part.strip() for part in line.split("=", 1))
            values = settings.setdefault(key, [])
            if value:
                values.append(value)
            else:
                values.clear()
    return settings


def missing_rights(settings, grants, off):
    # A leading "-" only lets a path be absent; it still grants it.
    def words(value):
        return {word.lstrip("-") for word in value.split()}

    faults = [
        f"{key}= does not grant {wanted!r}"
        for key, wanted in grants
        if not any(set(wanted.split()) <= words(v) for v in settings.get(key, []))
    ]
    return faults + [
        f"{key}={settings[key][-1]} takes away what the daemon needs"
        for key in off
        if settings.get(key) and settings[key][-1].lower() not in ("no", "false")
    ]


def missing_accounts(settings, root):
    user = (settings.get("User") or ["root"])[-1]
    if user == "root":
        return []
    made = {
        tuple(line.split()[:3])
        for path in Path(root).glob("**/sysusers.d/*.conf")
        for line in path.read_text().splitlines()
    }
    groups = " ".join(settings.get("SupplementaryGroups", [])).split()
    needed = [("u", user)] + [("m", user, group) for group in groups]
    return [
        f"no sysusers.d line {' '.join(entry)}"
        for entry in needed
        if entry not in {m[: len(entry)] for m in made}
    ]


def check_unit(analyze, root, path):
    ceiling, grants, off = UNITS.get(path.name, (None, [], []))
    if ceiling is None:
        return ["no exposure ceiling set for it in check_units.py"]
    result = subprocess.run(
        [analyze, "security", "--offline=true", f"--root={root}", "--no-pager"]
        + [path.name],
        capture_output=True,
        text=True,
    )
    found = OVERALL.search(result.stdout)
    if not found:
        return [f"no exposure level: {result.stdout}{result.stderr}"]
    print(f"{path.name}: {found[1]} {found[2]} (at most {ceiling})")
    faults = [line for line in result.stderr.splitlines() if path.name in line]
    if float(found[1]) > ceiling:
        faults.append(f"exposure {found[1]} {found[2]} is above {ceiling}")
    settings = service_settings(path)
    return faults + missing_rights(settings, grants, off) + missing_accounts(settings, root)


def main(meson, analyze, build_root):
    with tempfile.TemporaryDirectory(prefix="units-") as root:
        subprocess.run(
            [meson, "install", "-C", build_root, "--destdir", root]
            + ["--no-rebuild", "--quiet"],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        units = sorted(Path(root).glob("**/systemd/system/*.service"))
        faults = [f"{u.name}: {f}" for u in units for f in check_unit(analyze, root, u)]
    if not units:
        faults.append("no unit installed")
    for fault in faults:
        print("FAIL:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
