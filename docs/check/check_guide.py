#!/usr/bin/env python3
"""Keeps the integrator's guide (docs/*.md) true to the code.

    check_guide.py SOURCE_ROOT examples
    check_guide.py SOURCE_ROOT messages
    check_guide.py SOURCE_ROOT dbus SIMBOARD_RUN DRIVETHERM FWKEEPER BAYSENTRY

examples: every ```json block of the guide is, after the board
  description's typed values are reduced to their values, a part of the
  sample board or of the CPLD repository.
messages: the lines of a guide's "Journal messages" tables are the lines
  its daemon prints, in both directions; the same for the signals its
  "D-Bus API" tables name.
dbus: the "D-Bus API" tables equal what the daemons, running on the sample
  board (with one more threshold, so that every threshold property shows),
  introspect as.
"""

import json
import re
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

DAEMONS = {
    "drivetherm": ["drivetherm", "sensors"],
    "fwkeeper": ["fwkeeper"],
    "baysentry": ["baysentry"],
}
# Lines every daemon may print; some guide page lists each.
SHARED_DIRS = ["platform", "dbus"]
SKIPPED_DIRS = {"test", "bench", "fuzz"}
STANDARD_INTERFACES = {
    "org.freedesktop.DBus.Peer",
    "org.freedesktop.DBus.Introspectable",
    "org.freedesktop.DBus.Properties",
}
HOLE = "\x00"
PLACEHOLDER = re.compile(r"<[a-z][^<>`]*>")


class Failures:
    def __init__(self):
        self.lines = []

    def add(self, text):
        self.lines.append(text)

    def finish(self, what):
        for line in self.lines:
            print("FAIL: " + line)
        if self.lines:
            print(f"{what}: {len(self.lines)} difference(s)")
            return 1
        print(f"{what}: guide and code agree")
        return 0


# ---------------------------------------------------------------- markdown


def guide_pages(root):
    return sorted((root / "docs").glob("*.md"))


def sections(text, level):
    """(heading, body) of every heading of exactly `level` #s."""
    marker = "#" * level + " "
    parts = re.split(r"^(" + "#" * level + r" .*)$", text, flags=re.M)
    return [
        (parts[i][len(marker):].strip(), parts[i + 1])
        for i in range(1, len(parts), 2)
    ]


def section(text, title):
    for heading, body in sections(text, 2):
        if heading == title:
            return body
    return None


def split_row(line):
    cells = re.split(r"(?<!\\)\|", line.strip().strip("|"))
    return [cell.strip().replace("\\|", "|") for cell in cells]


def table_rows(body):
    """Rows of the markdown tables in `body`, header and rule left out."""
    rows = []
    lines = body.splitlines()
    for i, line in enumerate(lines):
        if not line.lstrip().startswith("|"):
            continue
        if re.fullmatch(r"\s*\|[\s|:-]+\|?\s*", line):
            continue
        nxt = lines[i + 1] if i + 1 < len(lines) else ""
        if re.fullmatch(r"\s*\|[\s|:-]+\|?\s*", nxt):
            continue  # header
        rows.append(split_row(line))
    return rows


def code_spans(cell):
    return re.findall(r"`([^`]+)`", cell)


# ---------------------------------------------------------------- examples


def is_typed_value(value):
    return (
        isinstance(value, list)
        and len(value) == 2
        and isinstance(value[0], str)
        and re.fullmatch(r"[ybnqiuxtdsogvha{}()]+", value[0]) is not None
        and value[0] not in ("a", "")
    )


def plain(value):
    """A board description's value with [signature, value] pairs reduced."""
    if is_typed_value(value):
        return plain(value[1])
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def parts_of(value):
    yield value
    children = value.values() if isinstance(value, dict) else value
    if isinstance(value, (dict, list)):
        for child in children:
            yield from parts_of(child)


def found_in(example, document):
    for part in parts_of(document):
        if part == example:
            return True
        if (
            isinstance(example, dict)
            and isinstance(part, dict)
            and example
            and all(k in part and part[k] == v for k, v in example.items())
        ):
            return True
    return False


def check_examples(root):
    failures = Failures()
    documents = [
        plain(json.loads((root / "simboard/boards/sample_board.json").read_text())),
        json.loads((root / "cpld-configs/cpld_repo.json").read_text()),
    ]
    count = 0
    for page in guide_pages(root):
        text = page.read_text()
        for block in re.findall(r"^```json\n(.*?)^```", text, flags=re.M | re.S):
            count += 1
            try:
                example = json.loads(block)
            except json.JSONDecodeError as e:
                failures.add(f"{page.name}: json block is not JSON ({e})")
                continue
            if not any(found_in(example, d) for d in documents):
                first = block.strip().splitlines()[0]
                failures.add(
                    f"{page.name}: json block starting {first!r} is not in "
                    "the sample board or the CPLD repository"
                )
    if count == 0:
        failures.add("no json block in the guide")
    return failures.finish(f"examples ({count} blocks)")


# ---------------------------------------------------------------- C++ lines

TOKEN = re.compile(
    r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>R"(?P<delim>[^(\s]*)\((?P<rawtext>.*?)\)(?P=delim)")
  | (?P<str>"(?:\\.|[^"\\\n])*")
  | (?P<chr>'(?:\\.|[^'\\\n])+')
  | (?P<id>(?:::)?[A-Za-z_]\w*(?:::[A-Za-z_]\w*)*)
  | (?P<num>[0-9][\w.']*)
  | (?P<op><<=?|>>=?|->|::|&&|\|\||[-+*/%=!<>&|^~?:;,.(){}\[\]#])
    """,
    re.S | re.X,
)
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\", "'": "'", "0": "\0"}


def unescape(body):
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), body)


def tokens(source):
    """(kind, text) of the C++ tokens of `source`: "str" (the literal's
    value), "id" (qualified names whole), "num", "chr" and "op"."""
    out = []
    for m in TOKEN.finditer(source):
        kind = m.lastgroup
        if kind in ("space", "comment"):
            continue
        if kind == "raw":
            out.append(("str", m.group("rawtext")))
        elif kind == "str":
            out.append(("str", unescape(m.group(kind)[1:-1])))
        else:
            out.append((kind, m.group(kind)))
    return out


def statement(toks, start):
    """Tokens from `start` up to the ';' ending the statement."""
    depth = 0
    for i in range(start, len(toks)):
        kind, text = toks[i]
        if kind == "op" and text in "([{":
            depth += 1
        elif kind == "op" and text in ")]}":
            depth -= 1
            if depth < 0:
                return toks[start:i]
        elif kind == "op" and text == ";" and depth == 0:
            return toks[start:i]
    return toks[start:]


def call_arguments(toks, open_index):
    """Argument token lists of the call whose '(' is at open_index."""
    args, current, depth = [], [], 0
    for kind, text in toks[open_index + 1:]:
        if kind == "op" and text in "([{":
            depth += 1
        elif kind == "op" and text in ")]}":
            if depth == 0:
                args.append(current)
                return [a for a in args if a]
            depth -= 1
        if kind == "op" and text == "," and depth == 0:
            args.append(current)
            current = []
        else:
            current.append((kind, text))
    return [a for a in args + [current] if a]


def split_top(toks, operator):
    parts, current, depth = [], [], 0
    for kind, text in toks:
        if kind == "op" and text in "([{":
            depth += 1
        elif kind == "op" and text in ")]}":
            depth -= 1
        if kind == "op" and text == operator and depth == 0:
            parts.append(current)
            current = []
        else:
            current.append((kind, text))
    return parts + [current]


def literal(operand):
    """The text of a literal operand ("a" "b", std::string("a")), or None."""
    if operand and all(kind == "str" for kind, _ in operand):
        return "".join(text for _, text in operand)
    if (
        len(operand) >= 4
        and operand[0] == ("id", "std::string")
        and operand[1] == ("op", "(")
        and operand[-1] == ("op", ")")
    ):
        return literal(operand[2:-1])
    return None


def concatenation(expr):
    pieces = []
    for operand in split_top(expr, "+"):
        text = literal(operand)
        pieces.append(HOLE if text is None else text)
    return "".join(pieces)


CONVERSION = re.compile(
    r"%(%|[-+ #0]*[0-9*]*(?:\.[0-9*]+)?(?:hh|h|ll|l|z|j|t|L)?[diouxXeEfgGcsp])"
)


def formatted(args):
    fmt = literal(args[0]) if args else None
    if fmt is None:
        return HOLE
    values = iter(args[1:])

    def substitute(m):
        if m.group(1) == "%":
            return "%"
        arg = next(values, None)
        if arg and len(arg) == 1 and arg[0][0] in ("str", "num"):
            return arg[0][1]
        return HOLE

    return CONVERSION.sub(substitute, fmt)


# Functions that print their first argument, by stream: printf-like ones
# and ones that take the text.
FORMAT_SINKS = {"printf": "stdout"}
TEXT_SINKS = {
    "puts": "stdout",
    "report_failure": "stderr",
    "journal": "journal",
    "journal_error": "journal",
}
# Variables that hold a line printed later: `why = ...;` is a refusal that
# its caller prints on standard error.
ASSIGNED_LINES = {"why": "stderr"}


def file_stream(arg):
    """The stream an argument names (stderr or stdout), else None."""
    if arg and len(arg) == 1 and bare(arg[0][1]) in ("stderr", "stdout"):
        return bare(arg[0][1])
    return None


def bare(name):
    return name.split("::")[-1]


def printed_patterns(source):
    """(stream, pattern) of the printing statements of one C++ source;
    stream "thrown" for the texts of thrown exceptions."""
    toks = tokens(source)
    found = []
    for i, (kind, text) in enumerate(toks[:-2]):
        if kind != "id":
            continue
        name = bare(text)
        args = call_arguments(toks, i + 1) if toks[i + 1] == ("op", "(") else None
        if (
            text in ASSIGNED_LINES
            and toks[i + 1] == ("op", "=")
            and toks[i + 2] != ("op", "=")
        ):
            found.append((ASSIGNED_LINES[text], concatenation(statement(toks, i + 2))))
        elif args and name == "fprintf" and file_stream(args[0]):
            found.append((file_stream(args[0]), formatted(args[1:])))
        elif args and name == "log_format" and file_stream(args[0]):
            found.append((file_stream(args[0]), formatted(args[1:])))
        elif args and name == "log_line" and len(args) == 2 and file_stream(args[0]):
            found.append((file_stream(args[0]), concatenation(args[1])))
        elif args and name == "fputs" and len(args) == 2 and file_stream(args[1]):
            found.append((file_stream(args[1]), concatenation(args[0])))
        elif args and name in FORMAT_SINKS:
            found.append((FORMAT_SINKS[name], formatted(args)))
        elif args and name in TEXT_SINKS:
            found.append((TEXT_SINKS[name], concatenation(args[0])))
        elif text == "throw" and toks[i + 2] == ("op", "("):
            thrown = call_arguments(toks, i + 2)
            if len(thrown) == 1:
                found.append(("thrown", concatenation(thrown[0])))
    return found


def normalise(text):
    return " ".join(text.split())


def source_lines(root, dirs):
    """{(stream, line pattern)} printed by the sources in `dirs`."""
    lines = set()
    for folder in dirs:
        for path in sorted((root / folder).rglob("*.[ch]pp")):
            if SKIPPED_DIRS & set(path.relative_to(root).parts):
                continue
            for stream, pattern in printed_patterns(path.read_text()):
                for line in pattern.split("\n"):
                    line = normalise(line)
                    if line.replace(HOLE, "").strip():
                        lines.add((stream, line))
    return lines


def pattern_regex(pattern):
    return re.compile(".*?".join(re.escape(p) for p in pattern.split(HOLE)), re.S)


def guide_messages(page_text):
    """(stream, message) of the "Journal messages" tables."""
    body = section(page_text, "Journal messages")
    if body is None:
        return None
    messages = []
    for row in table_rows(body):
        spans = code_spans(row[0])
        if len(row) < 2 or not spans:
            continue
        stream = row[1].strip("` ")
        for span in spans:
            messages.append((stream, normalise(PLACEHOLDER.sub(HOLE, span))))
    return messages


def matches(pattern, message):
    return pattern_regex(pattern).fullmatch(message) is not None


def shown(message):
    return message.replace(HOLE, "<…>")


def unprinted(messages, pool):
    """The listed lines that no printing statement of the pool prints (with
    that stream); a line that is only the text of an error passes."""
    for stream, message in messages:
        if not message.replace(HOLE, "").strip():
            continue
        if not any(s == stream and matches(p, message) for s, p in pool):
            yield stream, message


def check_lines(failures, name, printed, messages, shared):
    for stream, pattern in sorted(printed):
        if stream == "thrown":
            if not any(pattern_regex(pattern).search(m) for _, m in messages):
                failures.add(f"{name}: no listed line shows {shown(pattern)!r}")
        elif not any(s == stream and matches(pattern, m) for s, m in messages):
            failures.add(f"{name}: {stream} line {shown(pattern)!r} not listed")
    for stream, message in unprinted(messages, printed | shared):
        failures.add(f"{name}: listed {stream} line {shown(message)!r} is not printed")


def signal_names(root, dirs):
    names = set()
    for folder in dirs:
        for path in sorted((root / folder).rglob("*.[ch]pp")):
            if SKIPPED_DIRS & set(path.relative_to(root).parts):
                continue
            names |= set(
                re.findall(r'(?:new_signal|emit_signal)\(\s*"(\w+)"', path.read_text())
            )
    return names


def check_messages(root):
    failures = Failures()
    shared = source_lines(root, SHARED_DIRS)
    listed = []
    for page in guide_pages(root):
        text = page.read_text()
        messages = guide_messages(text) or []
        listed += messages
        daemon = page.stem
        if daemon not in DAEMONS:
            for stream, message in unprinted(messages, shared):
                failures.add(
                    f"{page.name}: listed {stream} line {shown(message)!r} is not printed"
                )
            continue
        if not messages:
            failures.add(f"{page.name}: no Journal messages table")
        printed = source_lines(root, DAEMONS[daemon])
        check_lines(failures, page.name, printed, messages, shared)
        documented = {
            row.member
            for row in api_rows(text)
            if row.kind == "signal" and not row.interface.startswith("org.freedesktop.")
        }
        emitted = signal_names(root, DAEMONS[daemon])
        for missing in sorted(emitted - documented):
            failures.add(f"{page.name}: signal {missing} not documented")
        for extra in sorted(documented - emitted):
            failures.add(f"{page.name}: signal {extra} is never sent")
    for stream, pattern in sorted(shared):
        if stream != "thrown" and not any(
            s == stream and matches(pattern, m) for s, m in listed
        ):
            failures.add(f"shared {stream} line {shown(pattern)!r} not listed")
    return failures.finish("messages")


# ---------------------------------------------------------------- D-Bus


class ApiRow:
    def __init__(self, paths, cells):
        self.paths = paths
        self.interface = cells[0].strip("` ")
        self.member = cells[1].strip("` ")
        self.kind = cells[2].strip("` ")
        self.type = cells[3].strip("` ")
        self.access = cells[4].strip("` ")

    def key(self):
        return (self.interface, self.member, self.kind, self.type, self.access)


def api_rows(page_text):
    body = section(page_text, "D-Bus API") or ""
    rows = []
    for heading, sub in sections(body, 3):
        if not heading.startswith("Object"):
            continue
        paths = code_spans(heading)
        for cells in table_rows(sub):
            if len(cells) >= 5:
                rows.append(ApiRow(paths, cells))
    return rows


def bus_name(page_text):
    body = section(page_text, "D-Bus API") or ""
    m = re.search(r"^Bus name: (?:`([^`]+)`|none)", body, flags=re.M)
    if not m:
        return None
    return m.group(1) or ""


def path_regex(documented):
    parts = PLACEHOLDER.split(documented)
    return re.compile("[A-Za-z0-9_]+".join(re.escape(p) for p in parts))


def args_of(node, direction):
    """Signature of a method's in or out arguments; a signal's all."""
    return "".join(
        a.get("type")
        for a in node.findall("arg")
        if direction == "signal" or a.get("direction", "in") == direction
    )


def introspected_rows(xml):
    """(interface, member, kind, type, access) of one object; the standard
    interfaces left out."""
    rows = set()
    root = ET.fromstring(xml)
    for iface in root.findall("interface"):
        name = iface.get("name")
        if name in STANDARD_INTERFACES:
            continue
        for prop in iface.findall("property"):
            access = "writable" if prop.get("access") == "readwrite" else "read-only"
            rows.add((name, prop.get("name"), "property", prop.get("type"), access))
        for method in iface.findall("method"):
            sig = f"({args_of(method, 'in')}) → ({args_of(method, 'out')})"
            rows.add((name, method.get("name"), "method", sig, "—"))
        for sig in iface.findall("signal"):
            rows.add((name, sig.get("name"), "signal", f"({args_of(sig, 'signal')})", "—"))
    children = [n.get("name") for n in root.findall("node")]
    return rows, children


class Board:
    """The sample board with the daemons, through simboard-run. Its output
    goes to a file, so that a long run never fills a pipe."""

    def __init__(self, root, simboard_run, daemons):
        self.dir = tempfile.TemporaryDirectory()
        board_file = Path(self.dir.name) / "board.json"
        board_file.write_text(json.dumps(self.description(root)))
        self.log = Path(self.dir.name) / "output"
        with open(self.log, "w") as out:
            self.process = subprocess.Popen(
                [simboard_run, "--board", str(board_file)] + daemons,
                stdout=out,
                stderr=subprocess.STDOUT,
            )
        self.address = None
        self.pids = {}
        wait_for(lambda: self.started() or self.process.poll() is not None, 120)
        if not self.started():
            output = self.output
            self.stop()
            self.remove()
            raise RuntimeError("simboard-run did not start:\n" + output)

    @staticmethod
    def description(root):
        """The sample board with one more threshold, a low critical one on
        the second drive, and its files found from anywhere."""
        boards = root / "simboard/boards"
        description = json.loads((boards / "sample_board.json").read_text())
        for content in description.get("files", {}).values():
            if isinstance(content, dict) and "from" in content:
                content["from"] = str(boards / content["from"])
        objects = description["peers"]["entity_manager"]["objects"]
        second = objects["/xyz/openbmc_project/inventory/system/board/Board_1/M2_2"]
        second["xyz.openbmc_project.Configuration.M2Sensor.Thresholds2"] = {
            "Name": "lower critical",
            "Direction": "less than",
            "Severity": ["d", 1.0],
            "Value": ["d", 0.0],
        }
        return description

    @property
    def output(self):
        return self.log.read_text(errors="replace")

    def started(self):
        """True once simboard-run has told the bus and the daemons' pids."""
        text = self.output
        if "Ctrl-C stops" not in text or self.process.poll() is not None:
            return False
        m = re.search(r"busctl --address=(\S+) tree", text)
        self.address = m.group(1) if m else None
        self.pids = {n: int(p) for n, p in re.findall(r"^\s+(\S+): pid (\d+)$", text, re.M)}
        return self.address is not None

    def call(self, service, path, method, *args):
        """Output of a dbus-send call (the reply's values), None on error."""
        result = subprocess.run(
            ["dbus-send", f"--bus={self.address}", "--print-reply=literal"]
            + [f"--dest={service}", path, method]
            + list(args),
            capture_output=True,
            text=True,
        )
        return result.stdout.strip() if result.returncode == 0 else None

    def introspect(self, service, path):
        return self.call(service, path, "org.freedesktop.DBus.Introspectable.Introspect")

    def names_of(self, pid):
        """The names (unique and acquired) of a process on the bus."""
        bus = "org.freedesktop.DBus"
        listed = self.call(bus, "/", bus + ".ListNames") or ""
        names = set()
        for name in re.findall(r"[^\s\[\]]+", listed.removeprefix("array")):
            owner = self.call(bus, "/", bus + ".GetConnectionUnixProcessID", "string:" + name)
            if owner == f"uint32 {pid}":
                names.add(name)
        return names

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def remove(self):
        self.dir.cleanup()


def objects_of(board, service):
    """{path: rows} of every object the service introspects below "/"."""
    objects, pending = {}, ["/"]
    while pending:
        path = pending.pop()
        xml = board.introspect(service, path)
        if xml is None:
            continue
        rows, children = introspected_rows(xml)
        if rows:
            objects[path] = rows
        pending += [path.rstrip("/") + "/" + c for c in children]
    return objects


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.5)
    return condition()


def compare_api(failures, name, documented, objects):
    for path, rows in sorted(objects.items()):
        matching = [r for r in documented if any(path_regex(p).fullmatch(path) for p in r.paths)]
        if not matching:
            failures.add(f"{name}: object {path} not documented")
            continue
        known = {r.key() for r in matching}
        for row in sorted(rows - known):
            failures.add(f"{name}: {path}: {' '.join(row)} not documented as such")
    by_table = {}
    for row in documented:
        by_table.setdefault(tuple(row.paths), []).append(row)
    for paths, rows in by_table.items():
        for documented_path in paths:
            regex = path_regex(documented_path)
            seen = set()
            for path, object_rows in objects.items():
                if regex.fullmatch(path):
                    seen |= object_rows
            if not seen:
                failures.add(f"{name}: object {documented_path} not on the bus")
                continue
            for row in rows:
                if row.key() not in seen:
                    failures.add(
                        f"{name}: {documented_path}: {' '.join(row.key())} not on the bus"
                    )


def service_of(board, failures, page, name, pid):
    """The name to introspect the daemon at; None after a failure."""
    names = wait_for(lambda: board.names_of(pid), 60)
    well_known = {n for n in names if not n.startswith(":")}
    if name:
        if not wait_for(lambda: name in board.names_of(pid), 60):
            failures.add(f"{page}: bus name {name} not owned by the daemon")
            return None
        return name
    if well_known:
        failures.add(f"{page}: the daemon owns {sorted(well_known)}, documented none")
    if not names:
        failures.add(f"{page}: the daemon is not on the bus")
        return None
    return min(names)


def check_dbus(root, simboard_run, binaries):
    failures = Failures()
    pages = {p.stem: p.read_text() for p in guide_pages(root) if p.stem in DAEMONS}
    board = Board(root, simboard_run, binaries)
    try:
        for daemon, text in sorted(pages.items()):
            page = daemon + ".md"
            name = bus_name(text)
            if name is None:
                failures.add(f"{page}: no 'Bus name:' line")
                continue
            service = service_of(board, failures, page, name, board.pids.get(daemon))
            if service is None:
                continue
            documented = api_rows(text)
            paths = [path_regex(p) for r in documented for p in r.paths]

            def all_published():
                objects = objects_of(board, service)
                if all(any(p.fullmatch(o) for o in objects) for p in paths):
                    return objects
                return None

            objects = wait_for(all_published, 60) or objects_of(board, service)
            compare_api(failures, page, documented, objects)
    finally:
        board.stop()
    if failures.lines:
        print("board output:\n" + board.output)
    board.remove()
    return failures.finish("dbus")


def main(argv):
    root = Path(argv[1]).resolve()
    what = argv[2]
    if what == "examples":
        return check_examples(root)
    if what == "messages":
        return check_messages(root)
    if what == "dbus":
        return check_dbus(root, argv[3], argv[4:])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
