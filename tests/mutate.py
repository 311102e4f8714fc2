#!/usr/bin/env python3
"""Mutation testing: plant small faults, one at a time, and see the tests fail.

    tests/mutate.py [--jobs N] [--list] [--only ID,...] [--kinds REGEX]
                    [--tests REGEX] FILE...

For each line of each FILE (C++ under src/), every fault of the catalogue
that applies makes one mutant.  The catalogue has two families.  The
operator faults: a comparison flipped, || for && and back, a flag dropped
from an or, a call or a check deleted, a negation dropped, true for false
and back, a constant changed.  The faults of meaning, which change what the
code asks of the system rather than how it computes:

  - a mode without its set-ID bits: an octal constant that has S_ISUID,
    S_ISGID or S_ISVTX without each in turn (and without all of them), and
    each of those names dropped from an or;
  - lstat for stat and back; AT_SYMLINK_NOFOLLOW, the whole of a call's
    flags, made 0, and added to a fstatat whose flags are 0;
  - a flag dropped from an open's or openat's flags, or from a constant
    named there: the first, the last or the only one (which becomes 0);
  - two calls in the wrong order: two lines one after the other in a block,
    each a statement of one call or `if (!call(...)) return ...;`, swapped
    (the one kind that replaces two lines);
  - off by one: <= for < and back, >= for > and back, and a + 1 or - 1
    dropped;
  - the branch for one error taken for another: in errno == E... or
    err == E... (or !=), the error replaced by its two neighbours in a
    ring of those the code tells apart (EAGAIN, ENOENT, EEXIST, ELOOP,
    EINTR, EACCES, EPERM, ENOTDIR, EISDIR, ENXIO), one not in the ring by
    the first two;
  - a check made true: the condition of an if whose body does not return,
    continue or break becomes true, where "check made false" makes it false.

A mutant's ID hashes its file, kind, the line (or two) before and after,
and which occurrence of that change it is; the operator faults come first
on each line, so that a fault of meaning never takes an ID or a mutant of
theirs.  --list lists the mutants, and their counts by kind, family and
file; --only tries the mutants of those IDs, and --kinds those whose
"FAMILY: KIND" (as "meaning: lstat for stat") the regular expression finds:
--kinds ^operator: gives the score of the operator faults alone.

Each mutant is built in a copy of the tree of its own (build-mutate/wN,
made on the first run and kept), and the whole test suite runs against it,
stopping at the first failure; with --tests, only the tests that ctest -R
REGEX selects (as '^(Batch|Cli)[.]' for zelmor-batch's files).  A mutant
that some test fails, or that runs past the time limit, is caught; one
that does not build, or builds to the same machine code, does not count;
one that every test passes survives, and is listed.  The score is given in
all, and by family, kind and file.

Mutants that cannot change what the program does (a check that a later one
repeats, say) are listed in tests/mutants-equivalent.txt, one per line as
"FILE:LINE: ID  reason"; they are left out of the score, which is
caught / (caught + survived).  Lines move as the code changes: after
editing a file, check that its entries still name the mutants meant.

Needs python3 and what the test preset needs; about a minute to make each
copy, then a few seconds for each mutant caught and the suite's time for
each that survives.  As root, as the tests that act as another user need,
a mutant runs with root's rights: the tests keep to their temporary
directories and devices of their own, but run it on a machine where a
faulty program doing damage would not matter.
"""
import argparse
import concurrent.futures
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "build-mutate")
EQUIVALENT = os.path.join(TOP, "tests", "mutants-equivalent.txt")
TIME_LIMIT = 300  # seconds for one part of a mutant's suite; a hang counts as caught
QUICK, SLOW = r"^(Cli|Publish|Batch)\.", r"^Faults\."
PROGRAMS = ["zelmor", "zelmor-batch", "publish_tests",  # what links the publication code
            "unit_tests", "fuzz_replay"]  # and what runs the kernels of every instruction set

FLIP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
FLAG = r"[A-Z][A-Z0-9_]{2,}"


def mutants_of(line):
    """Yields (kind, mutated line) for every fault the line admits."""
    code = line.split("//")[0]
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "}", "{", "*", "using ", "namespace ")):
        return
    for m in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)", code):
        yield "comparison flipped", line[: m.start()] + FLIP[m.group(1)] + line[m.end() :]
    for m in re.finditer(r"\|\||&&", code):
        other = "&&" if m.group() == "||" else "||"
        yield other + " for " + m.group(), line[: m.start()] + other + line[m.end() :]
    for m in re.finditer(r"(\s\|\s(" + FLAG + r"))|((" + FLAG + r")\s\|\s)", code):
        flag = m.group(2) or m.group(4)
        yield "flag " + flag + " dropped", line[: m.start()] + line[m.end() :]
    for m in re.finditer(r"!(?=[A-Za-z_(])", code):
        yield "negation dropped", line[: m.start()] + line[m.end() :]
    for m in re.finditer(r"\b(true|false)\b", code):
        other = "false" if m.group() == "true" else "true"
        yield other + " for " + m.group(), line[: m.start()] + other + line[m.end() :]
    for m in re.finditer(r"(?<![\w.])(0[0-7]+|[1-9][0-9]*)(?![\w.'])", code):
        v = m.group()
        if v.startswith("0"):
            n = int(v, 8)
            new = n | 0o44 if n | 0o44 != n else n & 0o777
            if new == n:
                continue
            new = "0" + format(new, "o")
        else:
            new = str(int(v) + 1)
        yield "constant " + v + " changed", line[: m.start()] + new + line[m.end() :]
    if re.match(r"if \(.*\) (return|continue|break)\b.*;$", stripped):
        yield "check deleted", re.sub(r"\S.*", ";", line, count=1)
    else:
        at = line.find("if (")
        end = closing(line, at + 3) if at >= 0 else -1
        if end > 0:
            yield "check made false", line[: at + 4] + "false && (" + line[at + 4 : end] + ")" + line[end:]
    if re.match(r"(\(void\))?[a-z_][\w:.>-]*\(.*\);$", stripped) and not stripped.startswith(
        ("return", "static_assert")
    ):
        yield "call deleted", re.sub(r"\S.*", ";", line, count=1)


# Faults of meaning: what the code asks of the system, rather than how it
# computes.
SET_ID_BITS = [(0o4000, "S_ISUID"), (0o2000, "S_ISGID"), (0o1000, "S_ISVTX")]
OFF_BY_ONE = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
# The errors the code tells apart, in a fixed ring: an error compared is
# replaced by its two neighbours, one not in the ring by the first two.
ERRORS = ["EAGAIN", "ENOENT", "EEXIST", "ELOOP", "EINTR", "EACCES", "EPERM", "ENOTDIR", "EISDIR",
          "ENXIO"]


def meaning_mutants_of(line, flag_spans=(), following=""):
    """Yields (kind, mutated line) for every fault of meaning the line admits;
    `flag_spans` are the columns of the line that hold an open's flags, and
    `following` is the next line, which may be the body of an if."""
    code = line.split("//")[0]
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "}", "{", "*", "using ", "namespace ")):
        return
    # A mode without its set-ID bits: one at a time, then all of them.
    for m in re.finditer(r"(?<![\w.])0[0-7]+(?![\w.'])", code):
        n = int(m.group(), 8)
        present = [(bit, name) for bit, name in SET_ID_BITS if n & bit]
        for bit, name in present:
            yield "mode without " + name, line[: m.start()] + "0%o" % (n & ~bit) + line[m.end() :]
        if len(present) > 1:
            new = line[: m.start()] + "0%o" % (n & 0o777) + line[m.end() :]
            yield "mode without set-ID bits", new
    for m in re.finditer(r"\bS_IS(UID|GID|VTX)\b", code):
        after = re.match(r"\s*\|(?!\|)\s*", code[m.end() :])
        before = re.search(r"(?<!\|)\|\s*$", code[: m.start()])
        if after:
            yield "mode without " + m.group(), line[: m.start()] + line[m.end() + after.end() :]
        elif before:
            start = len(code[: before.start()].rstrip())
            yield "mode without " + m.group(), line[:start] + line[m.end() :]
    # A link followed, or not, where the code says otherwise.
    for m in re.finditer(r"(?<![\w.>:])(l?stat)\(", code):
        other = "stat" if m.group(1) == "lstat" else "lstat"
        yield other + " for " + m.group(1), line[: m.start()] + other + line[m.end(1) :]
    for m in re.finditer(r"(?<=,)\s*(AT_SYMLINK_NOFOLLOW)(?=\s*\))", code):
        yield "AT_SYMLINK_NOFOLLOW dropped", line[: m.start(1)] + "0" + line[m.end(1) :]
    for m in re.finditer(r"\bfstatat\(", code):
        end = closing(code, m.end() - 1)
        last = re.search(r",\s*(0)\s*$", code[m.end() : end]) if end > 0 else None
        if last:
            at = m.end() + last.start(1)
            yield "AT_SYMLINK_NOFOLLOW added", line[:at] + "AT_SYMLINK_NOFOLLOW" + line[at + 1 :]
    # A flag dropped from an open's flags: a flag alone becomes 0, one in an
    # or goes with its |, one deeper in (a ?: say) becomes 0.
    for start, end in flag_spans:
        operands = [(start + a, start + b) for a, b in operands_of(code[start:end])]
        for i, (a, b) in enumerate(operands):
            text = line[a:b]
            if re.fullmatch(r"O_[A-Z]+", text):
                if text == "O_RDONLY":  # 0: dropping it changes nothing
                    continue
                if len(operands) == 1:
                    new = line[:a] + "0" + line[b:]
                elif i == 0:
                    new = line[:a] + line[operands[1][0] :]
                else:
                    new = line[: operands[i - 1][1]] + line[b:]
                yield "open flag " + text + " dropped", new
            else:
                for f in re.finditer(r"\bO_[A-Z]+\b", text):
                    new = line[: a + f.start()] + "0" + line[a + f.end() :]
                    yield "open flag " + f.group() + " dropped", new
    # A loop bound or a count off by one.
    for m in re.finditer(r"(?<=\s)(<=|>=|<|>)(?=\s)", code):
        other = OFF_BY_ONE[m.group(1)]
        yield other + " for " + m.group(1), line[: m.start()] + other + line[m.end() :]
    for m in re.finditer(r"(?<=[\w)\]]) ([+-]) 1(?![\w.'])(?!\s*[*/%])", code):
        yield m.group(1) + " 1 dropped", line[: m.start()] + line[m.end() :]
    # The branch for one error taken for another.
    for m in re.finditer(r"\b(?:errno|err)\s*[!=]=\s*(E[A-Z0-9]+)\b", code):
        name = m.group(1)
        at = ERRORS.index(name) if name in ERRORS else None
        others = ERRORS[:2] if at is None else [ERRORS[at - 1], ERRORS[(at + 1) % len(ERRORS)]]
        for other in others:
            if other != name:
                new = line[: m.start(1)] + other + line[m.end(1) :]
                yield "errno %s for %s" % (other, name), new
    # A condition applied to all cases, where "check made false" gives none;
    # not to a check, whose body returns, continues or breaks.
    if not re.match(r"if \(.*\) (return|continue|break)\b.*;$", stripped):
        at = line.find("if (")
        end = closing(line, at + 3) if at >= 0 else -1
        body = code[end + 1 :].strip() if end > 0 else ""
        if not body and re.match(r"\s*(return|continue|break)\b", following):
            end = -1
        if end > 0:
            init = re.match(r"[^;]*;\s*", line[at + 4 : end])  # if (int x = f(); x > 0)
            keep = at + 4 + (init.end() if init else 0)
            yield "check made true", line[:keep] + "true" + line[end:]


def operands_of(expr):
    """The (start, end) of each operand of the | at the top of `expr`, spaces left out."""
    out, depth, start = [], 0, 0
    for i, c in enumerate(expr + "|"):
        depth += {"(": 1, ")": -1}.get(c, 0)
        if c == "|" and depth == 0 and "||" not in expr[max(i - 1, 0) : i + 2]:
            text = expr[start:i]
            out.append((start + len(text) - len(text.lstrip()), i - len(text) + len(text.rstrip())))
            start = i + 1
    return out


def closing(line, at):
    """The index of the parenthesis that closes the one at `at`, or -1."""
    depth = 0
    for i in range(at, len(line)):
        depth += {"(": 1, ")": -1}.get(line[i], 0)
        if depth == 0:
            return i
    return -1


def mutant_id(path, kind, before, after, occurrence):
    """Stable while the line is unchanged, wherever it moves."""
    text = "\0".join((path, kind, before.strip(), after.strip(), str(occurrence)))
    return hashlib.sha1(text.encode()).hexdigest()[:8]


def catalogue(files):
    out = []
    for path in files:
        rel = os.path.relpath(os.path.abspath(path), TOP)
        with open(os.path.join(TOP, rel)) as f:
            lines = f.read().split("\n")
        in_comment = False
        occurrences = {}
        spans = flag_spans(lines)
        code = blank("\n".join(lines)).split("\n")
        steps = {}  # line number -> whether a step that calls swapped can move
        for number, line in enumerate(lines, 1):
            if "/*" in line:
                in_comment = True
            if in_comment:
                in_comment = "*/" not in line
                continue
            seen = set()
            # The operator faults first: a fault of meaning that one of them
            # already makes is not made twice, and they keep their IDs.
            following = lines[number] if number < len(lines) else ""
            for family, faults in (
                ("operator", mutants_of(line)),
                ("meaning", meaning_mutants_of(line, spans.get(number, ()), following)),
            ):
                for kind, new in faults:
                    if new in seen or new == line:
                        continue
                    seen.add(new)
                    key = (kind, line.strip(), new.strip())
                    occurrences[key] = occurrences.get(key, 0) + 1
                    out.append(
                        dict(id=mutant_id(rel, kind, line, new, occurrences[key]), file=rel,
                             line=number, count=1, kind=kind, family=family, before=line, after=new,
                             lines=lines)
                    )
            steps[number] = is_step(code[number - 1])
        # Two calls in the wrong order: each pair of steps one after the
        # other, in the same block, swapped.
        for number in sorted(steps):
            first, second = lines[number - 1], lines[number : number + 1]
            previous = code[number - 2].strip() if number > 1 else ""
            if (
                not steps[number]
                or not steps.get(number + 1)
                or first.strip() == second[0].strip()
                or indent(first) != indent(second[0])
                or not (previous == "" or previous.startswith("#") or previous[-1] in ";{}:")
            ):
                continue
            kind, texts = "calls swapped", [first.strip(), second[0].strip()]
            key = (kind, "\n".join(texts))
            occurrences[key] = occurrences.get(key, 0) + 1
            ident = mutant_id(rel, kind, "\n".join(texts), "\n".join(texts[::-1]), occurrences[key])
            out.append(dict(id=ident, file=rel, line=number, count=2, kind=kind, family="meaning",
                            before=first + "\n" + second[0], after=second[0] + "\n" + first,
                            lines=lines))
    return out


def indent(line):
    return line[: len(line) - len(line.lstrip())]


def is_step(code):
    """Whether `code`, a line with its comments and literals blanked, is a
    statement of one call, or a check of one call that returns."""
    code = code.strip()
    if code.startswith(("return", "static_assert")):
        return False
    call = re.fullmatch(r"(\(void\))?[a-z_][\w:.>-]*(\().*\);", code)
    if call:
        return closing(code, call.start(2)) == len(code) - 2
    check = re.fullmatch(r"if (\()!([a-z_][\w:.>-]*)(\().*\) return\b.*;", code)
    if check:
        end = closing(code, check.start(1))
        return closing(code, check.start(3)) + 1 == end and code[end:].startswith(") return")
    return False


def blank(text):
    """`text` with comments and the insides of literals made spaces, lines kept."""
    def spaces(m):
        inside = re.sub(r"[^\n]", " ", m.group())
        return m.group()[0] + inside[1:-1] + m.group()[-1] if m.group()[0] in "\"'" else inside
    return re.sub(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', spaces, text,
                  flags=re.S)


def arguments(text, at):
    """The (start, end) of each argument of the call whose ( is at `at`, or None."""
    depth, start, out = 0, at + 1, []
    for i in range(at, len(text)):
        c = text[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                return out + [(start, i)]
        elif c == "," and depth == 1:
            out.append((start, i))
            start = i + 1
    return None


def flag_spans(lines):
    """Line number -> the (start, end) columns of an open's flags on it: the
    flags argument of each open and openat, and the value of a constant
    named there, where either stands on one line."""
    text = blank("\n".join(lines))
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line) + 1)
    spans, names = {}, set()

    def add(a, b):
        while a < b and text[a].isspace():
            a += 1
        while b > a and text[b - 1].isspace():
            b -= 1
        first = max(n for n in range(len(lines)) if starts[n] <= a)
        if a < b and b <= starts[first] + len(lines[first]):
            spans.setdefault(first + 1, []).append((a - starts[first], b - starts[first]))

    for m in re.finditer(r"(?<![\w.>:])(open|openat)\s*\(", text):
        args = arguments(text, m.end() - 1)
        which = 1 if m.group(1) == "open" else 2
        if args is None or len(args) <= which:
            continue
        add(*args[which])
        names.update(re.findall(r"(?<![\w.])([a-z_]\w*)(?![\w.(])", text[slice(*args[which])]))
    for name in sorted(names):
        for m in re.finditer(r"\b(?:int|unsigned|auto)\s+" + name + r"\s*=\s*([^;]*);", text):
            add(m.start(1), m.end(1))
    return spans


def scores(mutants, results, key):
    """Lines giving the score of the mutants of each value of key(m)."""
    tally = {}
    for m in mutants:
        t = tally.setdefault(key(m), {"caught": 0, "survived": 0, "left out": 0})
        verdict = results[m["id"]]
        t["caught" if verdict.startswith("caught") else
          "survived" if verdict.startswith("survived") else "left out"] += 1
    out = []
    for value, t in sorted(tally.items()):
        tried = t["caught"] + t["survived"]
        out.append("  %-36s %4d caught, %3d survived, %3d left out: %s" % (
            value, t["caught"], t["survived"], t["left out"],
            "%.1f%%" % (100.0 * t["caught"] / tried) if tried else "no score"))
    return out


def shown(m):
    """What the mutant puts in place of its lines, one line after another."""
    return "\n    ".join(line.strip() for line in m["after"].split("\n"))


def kind_group(kind):
    """The kind without the flag, constant or error it names: "flag X dropped"."""
    kind = re.sub(r"^constant \S+", "constant X", kind)
    kind = re.sub(r"^(open )?flag \S+", r"\1flag X", kind)
    return re.sub(r"^errno \S+ for \S+", "errno X for Y", kind)


def counts(mutants, key):
    """Lines "  N  VALUE" for each value of key(m), most first."""
    n = {}
    for m in mutants:
        n[key(m)] = n.get(key(m), 0) + 1
    return ["%6d  %s" % (c, v) for v, c in sorted(n.items(), key=lambda kv: (-kv[1], kv[0]))]


def equivalents():
    known = {}
    if os.path.exists(EQUIVALENT):
        for line in open(EQUIVALENT):
            m = re.match(r"\s*[^#\s]\S*:\d+:\s+([0-9a-f]{8})\s+(.*)", line)
            if m:
                known[m.group(1)] = m.group(2)
    return known


def run(cmd, cwd, timeout=None):
    """Runs cmd in a session of its own, so that a mutant that signals its
    whole process group reaches nothing else, and ends whatever the run
    left behind (a program a test started, hung) with it."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, ""
    finally:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        p.wait()


def make_copy(n):
    """A copy of the tree, built with the test preset: build-mutate/wN."""
    copy = os.path.join(WORK, "w%d" % n)
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=TOP,
                           stdout=subprocess.PIPE, check=True).stdout.decode().split("\n")
    for rel in filter(None, files):
        src, dst = os.path.join(TOP, rel), os.path.join(copy, rel)
        if not os.path.isfile(src):
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if not os.path.exists(dst) or open(src, "rb").read() != open(dst, "rb").read():
            shutil.copy(src, dst)  # a new time, so that the build sees it
    # -O1: quicker to build each mutant, and still the same code for the
    # same source.
    code, out = run(["cmake", "--preset", "test", "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG"], copy)
    if code == 0:
        code, out = run(["cmake", "--build", "--preset", "test"], copy, 3 * TIME_LIMIT)
    if code == 0:
        code, out = run(["ctest", "--preset", "test"], copy, 3 * TIME_LIMIT)
    if code != 0:
        sys.exit("the test suite does not pass unmutated in %s:\n%s" % (copy, out[-3000:]))
    return copy


def object_path(copy, rel):
    """The object file built from `rel` in `copy`, relative to its build."""
    name = os.path.basename(rel) + ".o"
    build = os.path.join(copy, "build-test")
    for root, _, files in os.walk(os.path.join(build, "CMakeFiles")):
        if name in files and root.endswith(os.path.dirname(rel)):
            return os.path.relpath(os.path.join(root, name), build)
    return None


def object_of(copy, rel):
    """The hash of the object file built from `rel` in `copy`."""
    path = object_path(copy, rel)
    if path is None:
        return None
    return hashlib.sha1(open(os.path.join(copy, "build-test", path), "rb").read()).hexdigest()


def try_mutant(copy, m, unmutated, tests=None):
    target = os.path.join(copy, m["file"])
    lines = list(m["lines"])
    lines[m["line"] - 1 : m["line"] - 1 + m["count"]] = m["after"].split("\n")
    original = "\n".join(m["lines"])
    with open(target, "w") as f:
        f.write("\n".join(lines))
    try:
        # The object first: the same machine code (a branch the preprocessor
        # leaves out, an operation the compiler sees through) cannot change
        # what it does, and needs no link.
        code, _ = run(["ninja", "-C", "build-test", object_path(copy, m["file"])], copy)
        if code != 0:
            return "not built"
        if object_of(copy, m["file"]) == unmutated[(copy, m["file"])]:
            return "same code"
        code, _ = run(["cmake", "--build", "build-test", "--target"] + PROGRAMS, copy)
        if code != 0:
            return "not built"
        # The whole suite, the quick command-line tests first and the slow
        # traced ones next, so that a mutant caught is caught soon; or the
        # groups of tests asked for, in turn.
        groups = [["-R", QUICK], ["-R", SLOW], ["-E", QUICK + "|" + SLOW]]
        if tests:
            groups = [["-R", t] for t in tests]
        for group in groups:
            code, out = run(["ctest", "--test-dir", "build-test", "--stop-on-failure",
                             "--timeout", "120"] + group, copy, TIME_LIMIT * 3 // len(groups))
            if code is None:
                return "caught (time limit)"
            if code != 0:
                failed = re.findall(r"\s\d+ - (\S+) \(", out)
                return "caught by " + (failed[0] if failed else "a test")
        return "survived"
    finally:
        with open(target, "w") as f:
            f.write(original)
        t = time.time() + 1
        os.utime(target, (t, t))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("files", nargs="+")
    ap.add_argument("--jobs", type=int, default=2, help="mutants tried at once (copies)")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--only", help="comma-separated mutant IDs to try")
    ap.add_argument("--kinds", metavar="REGEX",
                    help='only the mutants whose "FAMILY: KIND" REGEX finds, as ^meaning: or lstat')
    ap.add_argument("--tests", metavar="REGEX", action="append",
                    help="run only the tests that ctest -R REGEX runs (default: the whole suite);"
                         " given again, each group in turn, so that a quick one can come first")
    ap.add_argument("--sample", type=int, metavar="N",
                    help="try only N mutants drawn at random (seeded, so the same N each time),"
                         " to estimate the score when the whole catalogue would take too long")
    args = ap.parse_args()

    mutants = catalogue(args.files)
    known = equivalents()
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m["id"] in wanted]
    if args.kinds:
        kinds = re.compile(args.kinds)
        mutants = [m for m in mutants if kinds.search(m["family"] + ": " + m["kind"])]
    if args.sample is not None and args.sample < len(mutants):
        picked = set(random.Random(args.sample).sample(range(len(mutants)), args.sample))
        mutants = [m for i, m in enumerate(mutants) if i in picked]
    if args.list:
        for m in mutants:
            mark = "  (equivalent)" if m["id"] in known else ""
            print("%s:%d: %s  %s%s\n    %s" % (m["file"], m["line"], m["id"], m["kind"], mark,
                                              shown(m)))
        print("\nby kind:")
        print("\n".join(counts(mutants, lambda m: kind_group(m["kind"]) + " (%s)" % m["family"])))
        print("by family:")
        print("\n".join(counts(mutants, lambda m: m["family"])))
        print("by file:")
        print("\n".join(counts(mutants, lambda m: m["file"])))
        print("%d mutants" % len(mutants))
        return 0

    print("making %d copies of the tree in %s ..." % (args.jobs, WORK), flush=True)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        copies = list(pool.map(make_copy, range(args.jobs)))
    for tests in args.tests or []:
        code, out = run(["ctest", "--test-dir", "build-test", "-N", "-R", tests], copies[0])
        found = re.search(r"Total Tests: (\d+)", out)
        if code != 0 or not found or found.group(1) == "0":
            sys.exit("no test matches --tests %s" % tests)
        print("each mutant runs the %s tests that match %s" % (found.group(1), tests))
    free = list(copies)
    unmutated = {(c, m["file"]): object_of(c, m["file"]) for c in copies for m in mutants}
    lock = threading.Lock()
    results = {}

    def work(m):
        with lock:
            copy = free.pop()
        try:
            began = time.time()
            if m["id"] in known:
                verdict = "equivalent: " + known[m["id"]]
            else:
                verdict = try_mutant(copy, m, unmutated, args.tests)
                verdict += " (%.0f s)" % (time.time() - began)
        finally:
            with lock:
                free.append(copy)
        with lock:
            results[m["id"]] = verdict
            print("%s:%d: %s  %s: %s\n    %s" % (m["file"], m["line"], m["id"], m["kind"],
                                               verdict, shown(m)), flush=True)
        return verdict

    start = time.time()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        list(pool.map(work, mutants))
    # A mutant that broke something outside its copy (a file the tests lean
    # on) would make every later one look caught: the suite must still pass.
    for copy in copies:
        run(["cmake", "--build", "build-test"], copy)
        code, _ = run(["ctest", "--test-dir", "build-test"], copy, 3 * TIME_LIMIT)
        if code != 0:
            print("the unmutated suite fails now in %s: these results cannot be trusted" % copy)
            return 2
    caught = sum(v.startswith("caught") for v in results.values())
    survived = [m for m in mutants if results[m["id"]].startswith("survived")]
    equivalent = sum(v.startswith("equivalent") for v in results.values())
    unbuilt = sum(v.startswith("not built") for v in results.values())
    same = sum(v.startswith("same code") for v in results.values())
    print("\n%d mutants in %.0f s: %d caught, %d survived, %d equivalent, %d the same code,"
          " %d not built" % (len(mutants), time.time() - start, caught, len(survived),
                             equivalent, same, unbuilt))
    if caught + len(survived):
        print("score: %.1f%% caught" % (100.0 * caught / (caught + len(survived))))
    for title, key in (("family", lambda m: m["family"]),
                       ("kind", lambda m: kind_group(m["kind"]) + " (%s)" % m["family"]),
                       ("file", lambda m: m["file"])):
        print("by %s:" % title)
        print("\n".join(scores(mutants, results, key)))
    for m in survived:
        print("survived: %s:%d: %s  %s\n    %s" % (m["file"], m["line"], m["id"], m["kind"],
                                                  shown(m)))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
