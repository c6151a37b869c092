#!/usr/bin/env python3
"""Crash-state check: every state a power cut can leave after "+" and "s".

usage: tools/crash-states.py [-v] [-j JOBS] BINARY

What: for the file kinds of tools/kill-test.py (a LIST chunk after the data,
an ID3v1 tag after the RIFF chunk, an odd 24-bit data chunk with its pad
byte, a plain file; and "s" over an existing rczembrol.txt), one run of the
command is recorded with strace: every file-system call with the bytes it
writes (-xx -s BIG), its file descriptors' paths (-y) and its results. The
calls are replayed on a model of the directory, and after every call each
state that ext4's ordered mode may leave after a power cut there is built in
a temporary directory and judged as tools/kill-test.py judges a kill: the
file old or complete byte for byte, or (plain file only) valid with all the
old audio; the other files unchanged; only NAME.zembrol-new beside it. The
command then runs unkilled on every distinct state and must append (or save)
normally.

The model (ordered mode, deliberately pessimistic):
  - Each file (inode) has a durable content and a list of data operations
    pending since its last fsync or fdatasync: writes and pwrites at their
    offset (extending the file when they end past it), truncations
    (ftruncate, O_TRUNC), copy_file_range (a write of the bytes the source
    held at the time of the call) and fallocate that extends.
  - A crash state applies any subset of each file's pending operations, in
    their order: unsynced writes may be lost, and later ones kept while
    earlier ones are lost.
  - fsync or fdatasync of a file makes its pending operations durable.
  - Namespace operations in the directory (create, rename, unlink) apply as
    any prefix of those pending, each atomically; an fsync of the directory
    makes them durable. Nothing is durable before an fsync; sync and syncfs
    make everything durable.
  - Every write is atomic: a state holds all of its bytes or none (a power
    cut in the middle of a page is not modelled), and metadata (mode, owner)
    is not judged.
A call the model does not know that touches the directory (a shared writable
mapping, sendfile, link, O_TMPFILE, ...) fails the check rather than being
ignored, and the model must reproduce the recorded run's final files.

Why: "+" and "s" promise that a power cut at any moment leaves the user's
file as it was or complete; a kill test cannot show that, since a killed
process's writes all reach the disk.

Prints the number of distinct states built and judged for each kind and
"none loses a byte", or each failing state with the crash point and the
operations it holds; exits 1 on any failure, 77 (CTest's skip) when strace
is not installed.
"""
import argparse
import codecs
import collections
import concurrent.futures
import importlib.util
import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The file kinds, the runs and the judging are tools/kill-test.py's.
_found = importlib.util.spec_from_file_location(
    "kill_test", os.path.join(os.path.dirname(os.path.abspath(__file__)), "kill-test.py"))
kt = importlib.util.module_from_spec(_found)
_found.loader.exec_module(kt)

MAX_PENDING = 14          # pending data operations on one file
MAX_STATES_AT_ONE_POINT = 1 << 16


class ModelError(Exception):
    pass


# Parsing strace -f -y -xx output ---------------------------------------------

_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"')


class Call:
    def __init__(self, index, pid, name, args, ret, text):
        self.index = index
        self.pid = pid
        self.name = name
        self.args = args  # top-level argument texts
        self.ret = ret    # integer result, None when unknown
        self.text = text

    def short(self):
        t = re.sub(rb'"(?:[^"\\]|\\.){200,}"', lambda m: b'"..."', self.text)
        t = codecs.escape_decode(t)[0][:300]
        return f"#{self.index} " + "".join(chr(b) if 32 <= b < 127 else f"\\x{b:02x}" for b in t)


def split_args(text, start):
    """Splits the arguments from text[start:] (just after the "(") up to the
    matching ")"; returns (list of argument texts, index after the ")")."""
    args, depth, i, begin = [], 0, start, start
    while i < len(text):
        c = text[i:i + 1]
        if c == b'"':
            m = _STRING.match(text, i)
            if not m:
                raise ModelError(f"unterminated string in {text[:200]!r}")
            i = m.end()
            continue
        if c in b"([{":
            depth += 1
        elif c in b")]}":
            if depth == 0:
                arg = text[begin:i].strip()
                if arg:
                    args.append(arg)
                return args, i + 1
            depth -= 1
        elif c == b"," and depth == 0:
            args.append(text[begin:i].strip())
            begin = i + 1
        i += 1
    raise ModelError(f"unterminated call in {text[:200]!r}")


def parse_log(data):
    calls, unfinished = [], {}
    for line in data.split(b"\n"):
        m = re.match(rb"^(\d+)\s+(.*)$", line)
        if not m:
            continue
        pid, rest = m.group(1).decode(), m.group(2)
        r = re.match(rb"^<\.\.\. ([a-z_0-9]+) resumed>(.*)$", rest)
        if r:
            if pid not in unfinished:
                continue
            rest = unfinished.pop(pid) + r.group(2)
        elif rest.endswith(b"<unfinished ...>"):
            unfinished[pid] = rest[:-len(b"<unfinished ...>")]
            continue
        c = re.match(rb"^([a-z_0-9]+)\(", rest)
        if not c:
            continue  # signals, exits
        args, end = split_args(rest, c.end())
        v = re.match(rb"^\s*=\s*(-?\d+|0x[0-9a-fA-F]+)", rest[end:])
        ret = int(v.group(1), 0) if v else None
        calls.append(Call(len(calls) + 1, pid, c.group(1).decode(), args, ret, rest))
    return calls


def string_arg(arg):
    if arg.endswith(b"..."):
        raise ModelError("a string was cut short; raise -s")
    m = _STRING.fullmatch(arg)
    if not m:
        raise ModelError(f"not a string: {arg[:80]!r}")
    return codecs.escape_decode(arg[1:-1])[0]


def fd_arg(arg):
    m = re.match(rb"^(-?\d+|AT_FDCWD)", arg)
    if not m:
        raise ModelError(f"not a file descriptor: {arg[:80]!r}")
    return "AT_FDCWD" if m.group(1) == b"AT_FDCWD" else int(m.group(1))


def int_arg(arg):
    return int(re.match(rb"^\[?(-?\d+|0x[0-9a-fA-F]+)", arg).group(1), 0)


def iov_data(arg):
    return b"".join(string_arg(m.group(1)) for m in
                    re.finditer(rb'iov_base=("(?:[^"\\]|\\.)*"(?:\.\.\.)?)', arg))


# The model ------------------------------------------------------------------

class Inode:
    def __init__(self, ident, content):
        self.ident = ident
        self.live = bytearray(content)
        self.durable = bytes(content)
        self.pending = []  # ("write", offset, bytes) | ("size", length)


def apply_op(content, op):
    if op[0] == "write":
        _, at, data = op
        if at > len(content):
            content.extend(bytes(at - len(content)))
        content[at:at + len(data)] = data
    else:
        length = op[1]
        if length < len(content):
            del content[length:]
        else:
            content.extend(bytes(length - len(content)))


class Open:
    def __init__(self, inode, append=False, directory=False):
        self.inode = inode  # None: a file outside the directory
        self.pos = 0
        self.append = append
        self.directory = directory


class Model:
    def __init__(self, workdir, files):
        self.workdir = workdir
        self.inodes = []
        self.names = {}  # name -> Inode, as the running process sees them
        for name, content in files.items():
            self.names[name] = self.new_inode(content)
        self.durable_names = dict(self.names)
        self.pending_ns = []  # ("create"|"rename"|"unlink", ...)
        self.fds = {}

    def new_inode(self, content):
        inode = Inode(len(self.inodes), content)
        self.inodes.append(inode)
        return inode

    # Paths: a name in the directory, the directory itself, or None (outside).
    def resolve(self, dirfd, path):
        if path.startswith(b"/"):
            full = path
        elif dirfd == "AT_FDCWD":
            full = os.path.join(self.workdir.encode(), path)
        else:
            o = self.fds.get(dirfd)
            if o is None or not o.directory:
                return None
            full = os.path.join(self.workdir.encode(), path)
        full = os.path.normpath(full)
        if full == self.workdir.encode():
            return "."
        if os.path.dirname(full) == self.workdir.encode():
            return os.path.basename(full).decode()
        return None

    def data_op(self, inode, op):
        apply_op(inode.live, op)
        inode.pending.append(op)

    def ns_op(self, op):
        self.apply_ns(self.names, op)
        self.pending_ns.append(op)

    @staticmethod
    def apply_ns(names, op):
        if op[0] == "create":
            names[op[1]] = op[2]
        elif op[0] == "rename":
            names[op[2]] = names.pop(op[1])
        elif op[0] == "unlink":
            del names[op[1]]

    def tracked(self, fd):
        o = self.fds.get(fd)
        return o if o is not None and (o.inode is not None or o.directory) else None

    def check_fds(self, call):
        """Each descriptor strace resolved (-y) into the directory must be one
        the model follows there, and the other way round."""
        for arg in call.args[:1] + call.args[2:3]:
            m = re.match(rb"^(\d+)<(.*)>$", arg)
            if not m:
                continue
            path = codecs.escape_decode(m.group(2))[0]
            path = path.removesuffix(b" (deleted)")
            inside = path == self.workdir.encode() or \
                os.path.dirname(path) == self.workdir.encode()
            if inside != (self.tracked(int(m.group(1))) is not None):
                raise ModelError(f"the model lost track of descriptor {int(m.group(1))}: "
                                 f"{call.short()}")

    def step(self, call):
        self.check_fds(call)
        a, name = call.args, call.name
        if call.ret is None or call.ret < 0:
            if name in ("write", "pwrite64", "writev", "pwritev", "pwritev2", "ftruncate",
                        "copy_file_range", "rename", "renameat", "renameat2") and \
                    call.ret is None:
                raise ModelError(f"no result for {call.short()}")
            return
        if name in ("open", "creat", "openat", "openat2"):
            if name == "openat" or name == "openat2":
                dirfd, path, flags = fd_arg(a[0]), string_arg(a[1]), a[2]
            else:
                dirfd, path = "AT_FDCWD", string_arg(a[0])
                flags = a[1] if name == "open" else b"O_WRONLY|O_CREAT|O_TRUNC"
            where = self.resolve(dirfd, path)
            if where is None:
                self.fds[call.ret] = Open(None)
                return
            if b"O_TMPFILE" in flags:
                raise ModelError(f"O_TMPFILE is not modelled: {call.short()}")
            if where == ".":
                self.fds[call.ret] = Open(None, directory=True)
                return
            inode = self.names.get(where)
            if inode is None:
                if b"O_CREAT" not in flags:
                    raise ModelError(f"opened a name the model does not have: {call.short()}")
                inode = self.new_inode(b"")
                self.ns_op(("create", where, inode))
            elif b"O_TRUNC" in flags and (b"O_WRONLY" in flags or b"O_RDWR" in flags):
                self.data_op(inode, ("size", 0))
            self.fds[call.ret] = Open(inode, append=b"O_APPEND" in flags)
        elif name == "close":
            self.fds.pop(fd_arg(a[0]), None)
        elif name in ("dup", "dup2", "dup3") or (name == "fcntl" and a[1].startswith(b"F_DUPFD")):
            o = self.fds.get(fd_arg(a[0]))
            if o is not None:
                self.fds[call.ret] = o
        elif name in ("read", "readv"):
            o = self.tracked(fd_arg(a[0]))
            if o is not None:
                o.pos += call.ret
        elif name in ("write", "writev", "pwrite64", "pwritev", "pwritev2"):
            o = self.tracked(fd_arg(a[0]))
            if o is None:
                return
            if o.inode is None:
                raise ModelError(f"a write to the directory: {call.short()}")
            data = (string_arg(a[1]) if name in ("write", "pwrite64") else iov_data(a[1]))
            data = data[:call.ret]
            if len(data) != call.ret:
                raise ModelError(f"fewer bytes shown than written: {call.short()}")
            if name.startswith("p"):
                at = int_arg(a[3])
            else:
                at = len(o.inode.live) if o.append else o.pos
                o.pos = at + len(data)
            self.data_op(o.inode, ("write", at, data))
        elif name in ("lseek",):
            o = self.tracked(fd_arg(a[0]))
            if o is not None:
                o.pos = call.ret
        elif name == "_llseek":
            o = self.tracked(fd_arg(a[0]))
            if o is not None:
                o.pos = int_arg(a[3])
        elif name in ("ftruncate", "ftruncate64"):
            o = self.tracked(fd_arg(a[0]))
            if o is not None:
                self.data_op(o.inode, ("size", int_arg(a[1])))
        elif name in ("truncate", "truncate64"):
            where = self.resolve("AT_FDCWD", string_arg(a[0]))
            if where is not None:
                self.data_op(self.names[where], ("size", int_arg(a[1])))
        elif name == "fallocate":
            o = self.tracked(fd_arg(a[0]))
            if o is not None:
                mode, at, length = a[1], int_arg(a[2]), int_arg(a[3])
                if mode == b"0":
                    if at + length > len(o.inode.live):
                        self.data_op(o.inode, ("size", at + length))
                elif mode != b"FALLOC_FL_KEEP_SIZE":
                    raise ModelError(f"fallocate mode not modelled: {call.short()}")
        elif name == "copy_file_range":
            src, dst = self.tracked(fd_arg(a[0])), self.tracked(fd_arg(a[2]))
            if dst is None:
                return
            if src is None or src.inode is None:
                raise ModelError(f"a copy from outside the directory: {call.short()}")
            if a[1] == b"NULL":
                at_in = src.pos
                src.pos += call.ret
            else:
                at_in = int_arg(a[1])
            if a[3] == b"NULL":
                at_out = dst.pos
                dst.pos += call.ret
            else:
                at_out = int_arg(a[3])
            data = bytes(src.inode.live[at_in:at_in + call.ret])
            if len(data) != call.ret:
                raise ModelError(f"a copy past the source's end: {call.short()}")
            self.data_op(dst.inode, ("write", at_out, data))
        elif name in ("fsync", "fdatasync"):
            o = self.tracked(fd_arg(a[0]))
            if o is None:
                return
            if o.directory:
                self.durable_names = dict(self.names)
                self.pending_ns = []
            else:
                o.inode.durable = bytes(o.inode.live)
                o.inode.pending = []
        elif name in ("sync", "syncfs"):
            for inode in self.inodes:
                inode.durable = bytes(inode.live)
                inode.pending = []
            self.durable_names = dict(self.names)
            self.pending_ns = []
        elif name in ("rename", "renameat", "renameat2"):
            if name == "rename":
                old = self.resolve("AT_FDCWD", string_arg(a[0]))
                new = self.resolve("AT_FDCWD", string_arg(a[1]))
            else:
                old = self.resolve(fd_arg(a[0]), string_arg(a[1]))
                new = self.resolve(fd_arg(a[2]), string_arg(a[3]))
                if name == "renameat2" and b"RENAME_EXCHANGE" in a[4]:
                    raise ModelError(f"RENAME_EXCHANGE is not modelled: {call.short()}")
            if old is None and new is None:
                return
            if old is None or new is None or old == "." or new == ".":
                raise ModelError(f"a rename into or out of the directory: {call.short()}")
            self.ns_op(("rename", old, new))
        elif name in ("unlink", "unlinkat"):
            if name == "unlink":
                where = self.resolve("AT_FDCWD", string_arg(a[0]))
            else:
                where = self.resolve(fd_arg(a[0]), string_arg(a[1]))
            if where is not None:
                self.ns_op(("unlink", where))
        elif name in ("link", "linkat", "symlink", "symlinkat", "mknod", "mknodat", "mkdir",
                      "mkdirat", "rmdir", "sendfile", "sendfile64", "splice", "vmsplice", "tee"):
            touched = False
            for arg in a:
                if _STRING.fullmatch(arg) and self.resolve("AT_FDCWD", string_arg(arg)):
                    touched = True
                if re.match(rb"^\d+<", arg) and self.tracked(fd_arg(arg)):
                    touched = True
            if touched:
                raise ModelError(f"not modelled: {call.short()}")
        elif name == "mmap":
            o = self.tracked(fd_arg(a[4])) if re.match(rb"^\d+", a[4]) else None
            if o is not None and b"PROT_WRITE" in a[2] and b"MAP_SHARED" in a[3]:
                raise ModelError(f"a shared writable mapping is not modelled: {call.short()}")

    def signature(self):
        return (tuple((n, i.ident) for n, i in sorted(self.durable_names.items())),
                tuple(self.pending_ns),
                tuple((i.ident, i.durable, tuple(i.pending)) for i in self.inodes))

    def crash_states(self, point):
        """(files, description) for every crash state at this point."""
        out = []
        for p in range(len(self.pending_ns) + 1):
            names = dict(self.durable_names)
            for op in self.pending_ns[:p]:
                self.apply_ns(names, op)
            choices = []
            for name, inode in sorted(names.items()):
                k = len(inode.pending)
                if k > MAX_PENDING:
                    raise ModelError(f"{k} pending operations on {name} after {point}: more than "
                                     f"the {MAX_PENDING} whose subsets this check enumerates")
                options = {}
                for mask in range(1 << k):
                    content = bytearray(inode.durable)
                    for j, op in enumerate(inode.pending):
                        if mask >> j & 1:
                            apply_op(content, op)
                    options.setdefault(bytes(content), (mask, k))
                choices.append([(name, c, m) for c, m in options.items()])
            total = 1
            for c in choices:
                total *= len(c)
            if total > MAX_STATES_AT_ONE_POINT:
                raise ModelError(f"{total} states after {point}: more than this check builds")
            for combo in itertools.product(*choices):
                files = {name: content for name, content, _ in combo}
                ops = ", ".join(f"{name}: {bin(m).count('1')} of its {k} pending data "
                                f"operations (mask {m:0{k}b}, the first on the right)"
                                for name, _, (m, k) in combo if k)
                out.append((files, f"after {point}; {p} of {len(self.pending_ns)} pending "
                                   f"namespace operations; {ops or 'no data pending'}"))
        return out


# The check ----------------------------------------------------------------------

def record(binary, kind, strace):
    d = kt.make_dir(kind.files)
    log = d + ".strace"
    try:
        status, err = kt.run(binary, d, kind.command,
                             [strace, "-f", "-qq", "-y", "-xx", "-s", "16777216",
                              "-e", "trace=" + kt.TRACED, "-o", log])
        if status != 0:
            raise SystemExit(f"{kind.name}: the traced run ended with status {status}: {err}")
        with open(log, "rb") as f:
            return os.path.realpath(d), f.read(), kt.read_dir(d)
    finally:
        if os.path.exists(log):
            os.unlink(log)
        shutil.rmtree(d)


def check_kind(binary, strace, kind, jobs, verbose):
    """Returns (number of failures, summary line)."""
    ref = kt.Reference(binary, kind)
    workdir, log, final = record(binary, kind, strace)
    failures = 0
    try:
        calls = parse_log(log)
        if len({c.pid for c in calls}) != 1:
            raise ModelError("the command ran in more than one process")
        model = Model(workdir, kind.files)
        states = {}  # frozen files -> first description
        promised = {}  # the same, for states after the command said it was done
        seen = set()
        points = 0
        said = False
        for call in [None] + calls:
            if call is not None:
                model.step(call)
                if (kind.said and call.name == "write" and fd_arg(call.args[0]) == 1 and
                        kind.said in string_arg(call.args[1])):
                    said = True
            sig = (model.signature(), said)
            if sig in seen:
                continue
            seen.add(sig)
            points += 1
            where = "the start" if call is None else call.short()
            for files, why in model.crash_states(where):
                states.setdefault(tuple(sorted(files.items())), why)
                if said:
                    promised.setdefault(tuple(sorted(files.items())), why)
        modelled = {n: bytes(i.live) for n, i in model.names.items()}
        if modelled != final:
            raise ModelError("replaying the calls does not give the files the run left: "
                             f"{sorted((n, len(c)) for n, c in modelled.items())} against "
                             f"{sorted((n, len(c)) for n, c in final.items())}")
    except ModelError as e:
        print(f"{kind.name}: FAIL {e}")
        return 1, f"{kind.name}: the model failed"

    for frozen, why in promised.items():
        verdict, bad = ref.judge(dict(frozen))
        if verdict != "complete":
            failures += 1
            print(f"{kind.name}: FAIL after \"{kind.said.decode()}\" a power cut leaves "
                  f"{'the ' + verdict + ' ' + kind.target if verdict else bad}\n    state {why}")
    outcomes = collections.Counter()
    to_rerun = []
    for frozen, why in states.items():
        files = dict(frozen)
        verdict, fault = ref.judge(files)
        if verdict is None:
            failures += 1
            print(f"{kind.name}: FAIL {fault}\n    state {why}")
        else:
            outcomes[verdict] += 1
            to_rerun.append((files, verdict, why))
            if verbose:
                print(f"{kind.name}: {verdict}: {why}")

    def rerun(item):
        files, verdict, why = item
        d = kt.make_dir(files)
        try:
            return ref.rerun_fault(binary, d, files, verdict), verdict, why
        finally:
            shutil.rmtree(d)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for fault, verdict, why in pool.map(rerun, to_rerun):
            if fault:
                failures += 1
                print(f"{kind.name}: FAIL from a {verdict} state, {fault}\n    state {why}")
    counts = ", ".join(f"{v} {outcomes[v]}" for v in ("old", "complete", "valid") if outcomes[v])
    line = (f"{kind.name}: {len(calls)} calls, {points} distinct crash points, {len(states)} "
            f"distinct states built and judged ({counts}"
            f"{', failed ' + str(len(states) - sum(outcomes.values())) if failures else ''}), "
            f"{len(to_rerun)} run again" +
            (f"; {len(promised)} after \"{kind.said.decode()}\"" if kind.said else ""))
    return failures, line


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("-v", "--verbose", action="store_true", help="print every state")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    strace = kt.find_strace()
    failures, lines = 0, []
    for kind in kt.kinds():
        f, line = check_kind(binary, strace, kind, args.jobs, args.verbose)
        failures += f
        lines.append(line)
    print()
    for line in lines:
        print(line)
    if failures:
        print(f"{failures} failures: a power cut can lose bytes or leave what blocks a later run")
        return 1
    print("none loses a byte, and the next run appends (or saves) normally from each")
    return 0


if __name__ == "__main__":
    sys.exit(main())
