#!/usr/bin/env python3
"""Mutation testing: plant small faults, one at a time, and see the tests fail.

    tests/mutate.py [--jobs N] [--list] [--only ID,...] FILE...

For each line of each FILE (C++ under src/), every fault of the catalogue
that applies makes one mutant: a comparison flipped, || for && and back, a
flag dropped from an or, a call or a check deleted, a negation dropped,
true for false and back, a constant changed.  Each mutant is built in a
copy of the tree of its own (build-mutate/wN, made on the first run and
kept), and the whole test suite runs against it, stopping at the first
failure.  A mutant that some test fails, or that runs past the time limit,
is caught; one that does not build, or builds to the same machine code,
does not count; one that every test passes survives, and is listed.

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
import re
import shutil
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "build-mutate")
EQUIVALENT = os.path.join(TOP, "tests", "mutants-equivalent.txt")
TIME_LIMIT = 300  # seconds for one part of a mutant's suite; a hang counts as caught
QUICK, SLOW = r"^(Cli|Publish|Batch)\.", r"^Faults\."
PROGRAMS = ["zelmor", "zelmor-batch", "publish_tests"]  # what links the publication code

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
        for number, line in enumerate(lines, 1):
            if "/*" in line:
                in_comment = True
            if in_comment:
                in_comment = "*/" not in line
                continue
            seen = set()
            for kind, new in mutants_of(line):
                if new in seen or new == line:
                    continue
                seen.add(new)
                key = (kind, line.strip(), new.strip())
                occurrences[key] = occurrences.get(key, 0) + 1
                out.append(
                    dict(id=mutant_id(rel, kind, line, new, occurrences[key]), file=rel, line=number,
                         count=1, kind=kind, family="operator", before=line, after=new, lines=lines)
                )
    return out


def shown(m):
    """What the mutant puts in place of its lines, one line after another."""
    return "\n    ".join(line.strip() for line in m["after"].split("\n"))


def kind_group(kind):
    """The kind without the flag, constant or error it names: "flag dropped"."""
    return re.sub(r"\b[A-Z][A-Z0-9_]{2,}\b", "X", re.sub(r"^constant \S+", "constant X", kind))


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
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout)
        return p.returncode, p.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, ""


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


def try_mutant(copy, m, unmutated):
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
        # traced ones next, so that a mutant caught is caught soon.
        for group in (["-R", QUICK], ["-R", SLOW], ["-E", QUICK + "|" + SLOW]):
            code, out = run(["ctest", "--test-dir", "build-test", "--stop-on-failure",
                             "--timeout", "120"] + group, copy, TIME_LIMIT)
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
    args = ap.parse_args()

    mutants = catalogue(args.files)
    known = equivalents()
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m["id"] in wanted]
    if args.list:
        for m in mutants:
            mark = "  (equivalent)" if m["id"] in known else ""
            print("%s:%d: %s  %s%s\n    %s" % (m["file"], m["line"], m["id"], m["kind"], mark,
                                              shown(m)))
        print("\nby kind:")
        print("\n".join(counts(mutants, lambda m: "%s (%s)" % (kind_group(m["kind"]), m["family"]))))
        print("by family:")
        print("\n".join(counts(mutants, lambda m: m["family"])))
        print("by file:")
        print("\n".join(counts(mutants, lambda m: m["file"])))
        print("%d mutants" % len(mutants))
        return 0

    print("making %d copies of the tree in %s ..." % (args.jobs, WORK), flush=True)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        copies = list(pool.map(make_copy, range(args.jobs)))
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
                verdict = try_mutant(copy, m, unmutated)
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
    for m in survived:
        print("survived: %s:%d: %s  %s\n    %s" % (m["file"], m["line"], m["id"], m["kind"],
                                                  shown(m)))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
