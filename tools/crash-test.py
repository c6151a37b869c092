#!/usr/bin/env python3
"""Kill test and crash-state check of "+" and "s".

usage: tools/crash-test.py kill|states [-v] [-j JOBS] BINARY

What: "+" onto a 16-bit file with a LIST chunk after its data, onto one with an
ID3v1 tag after the RIFF chunk, onto an odd-sized 24-bit data chunk with its pad
byte and onto a plain 24-bit file, and "s" over an existing rczembrol.txt; "+"
onto the LIST file and "s" again with a symbolic link planted as the side file,
so that they use a side file of a unique name.
"kill" lists the command's file-system calls with strace, then kills it (strace
-e inject=S:signal=KILL:when=N) as it enters every occurrence N of every call S.
"states" records one run's calls with the bytes they write and replays them on
a pessimistic model of ext4's ordered mode: after every call it builds each
state a power cut may leave, where each file keeps any subset, in order, of its
data operations (writes, truncations, copy_file_range, extending fallocate)
since its last fsync or fdatasync, the directory any prefix of its creations,
renames and unlinks since its last fsync, sync and syncfs make everything
durable, and a write is atomic. A call the model does not know that touches the
directory fails, as does a replay that does not give the run's final files.
Each state must hold the file old or complete (as an unkilled run leaves it)
byte for byte or, for the plain file only, valid with all the old audio (and
complete once "s" says "Saved Settings"), the other files unchanged and no name
but an unfinished replacement's side file (NAME.zembrol-new, or its uniquely
named NAME.zembrol-new.XXXXXX); the command then runs unkilled from it and must
append (or save) normally, leaving no new name.

Why: neither a kill nor a power cut may ever cost the user a byte, or leave what
grows or blocks the next run. A kill at a call is the finest point at which a
process can die as the file system sees it, but a killed process's writes all
reach the disk: only the model shows what a power cut keeps. Prints a line per
kill (states: per failure, with -v per state) and a summary per kind; exits 1
on any failure, 77 (CTest's skip) when strace is not installed or can't trace.
"""
import argparse
import codecs
import collections
import concurrent.futures
import contextlib
import itertools
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

TRACED = ("%file,%desc,fsync,fdatasync,sync,syncfs,ftruncate,copy_file_range,flock,"
          "rename,renameat,renameat2,unlink,unlinkat,fchmod,fchown")
SIDE = ".zembrol-new"
RATE = 8000  # a short track: 4 beats at 480 bpm are 4000 samples
MAX_PENDING = 14  # pending data operations on one file whose subsets are built
MAX_STATES_AT_ONE_POINT = 1 << 16

# A starting directory (name -> bytes), the command on standard input, the file
# it replaces or extends, whether that is a plain WAV file (nothing after its
# audio), and what the command prints once the new file must survive a power cut.
Kind = collections.namedtuple("Kind", "name files command target plain said",
                              defaults=(False, None))

class ModelError(Exception):
    pass

def le(value, width):
    return value.to_bytes(width, "little")

def chunk(tag, payload):
    return tag + le(len(payload), 4) + payload + (b"\0" if len(payload) % 2 else b"")

def kinds():
    def wav(bits, size, inside=b"", after=b""):  # mono, size bytes of audio
        align = 3 if bits == 24 else bits // 8
        body = (b"WAVE" + chunk(b"fmt ", le(1, 2) + le(1, 2) + le(RATE, 4) +
                                le(RATE * align, 4) + le(align, 2) + le(bits, 2)) +
                chunk(b"data", bytes((i * 37 + 11) & 0xFF for i in range(size))) + inside)
        return b"RIFF" + le(len(body), 4) + body + after

    def settings(bits, tempo=480.0, meas=1):
        return (f"rate\t{RATE}\ndevice\tdefault\nbits\t{bits}\ntempo\t{tempo:.2f}\nHz\t60.00\n"
                f"atime\t10.0\nmeter\t4\nmeas\t{meas}\nsave\tclick.wav\nmap\ttmap.txt\n").encode()

    def plus(name, bits, wav_file, plain=False):
        return Kind(name, {"click.wav": wav_file, "rczembrol.txt": settings(bits)}, b"+\n",
                    "click.wav", plain)

    listing = chunk(b"LIST", b"INFOISFT" + le(2, 4) + b"x\0")
    planted = plus("list-16-planted-side", 16, wav(16, 200, inside=listing))
    planted.files["click.wav.zembrol-new"] = "elsewhere"  # a symbolic link
    saved = settings(24, tempo=240.0, meas=3)
    return [plus("list-16", 16, wav(16, 200, inside=listing)), planted,
            plus("id3v1-16", 16, wav(16, 200, after=b"TAG" + b"i" * 125)),
            plus("odd-24-pad", 24, wav(24, 303)),
            plus("plain-24", 24, wav(24, 300), plain=True),
            Kind("settings", {"rczembrol.txt": saved}, b"t 480 s\n", "rczembrol.txt",
                 said=b"Saved Settings"),
            Kind("settings-planted-side", {"rczembrol.txt": saved,
                                           "rczembrol.txt.zembrol-new": "elsewhere"},
                 b"t 480 s\n", "rczembrol.txt", said=b"Saved Settings")]

@contextlib.contextmanager
def scratch(files):
    """A temporary directory holding files (name -> bytes, or the text of a
    symbolic link)."""
    with tempfile.TemporaryDirectory(prefix="zembrol-kill.") as d:
        for name, content in files.items():
            if isinstance(content, str):
                os.symlink(content, os.path.join(d, name))
                continue
            with open(os.path.join(d, name), "wb") as f:
                f.write(content)
        yield d

def read_dir(d):
    out = {}
    for name in sorted(os.listdir(d)):
        path = os.path.join(d, name)
        if os.path.islink(path):
            out[name] = os.readlink(path)
            continue
        with open(path, "rb") as f:
            out[name] = f.read()
    return out

def run(binary, d, kind, strace=(), what=None):
    """Runs kind's command in d, under strace if given: (status, standard error),
    the status negative when killed by a signal. With what, exits on failure."""
    env = None
    if strace:  # LeakSanitizer cannot run under ptrace; the other checks can
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    p = subprocess.run(list(strace) + [binary], input=kind.command, cwd=d, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    err = p.stderr.decode(errors="replace")
    if what and p.returncode != 0:
        raise SystemExit(f"{kind.name}: {what} ended with status {p.returncode}: {err}")
    return p.returncode, err

def in_parallel(function, items, jobs):
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        yield from pool.map(function, items)

def is_side(kind, name):
    """Whether name is a side file of kind's target."""
    return name == kind.target + SIDE or name.startswith(kind.target + SIDE + ".")

class Reference:
    """What unkilled runs give (once from the old files, twice in a row), and
    the judging of what a kill or a power cut leaves."""

    def __init__(self, binary, kind):
        self.kind, self.old = kind, kind.files[kind.target]
        with scratch(kind.files) as d:
            run(binary, d, kind, what="an unkilled run")
            after = read_dir(d)
            run(binary, d, kind, what="a second run")
            self.complete, self.twice = after[kind.target], read_dir(d)[kind.target]
        if set(after) != set(kind.files) or self.complete == self.old:
            raise SystemExit(f"{kind.name}: an unkilled run left {sorted(after)}, {kind.target} "
                             + ("unchanged" if self.complete == self.old else "changed"))
        self.track = self.complete[len(self.old):]  # of the plain file

    def judge(self, files):
        """('old' | 'complete' | 'valid', None) or (None, what is wrong)."""
        k, state = self.kind, files.get(self.kind.target)
        others = {n: c for n, c in files.items()
                  if n != k.target and (n in k.files or not is_side(k, n))}
        if state is None:
            return None, f"{k.target} is gone"
        if others != {n: c for n, c in k.files.items() if n != k.target}:
            return None, f"the other files are not left as they were: {sorted(others)}"
        if state in (self.old, self.complete):
            return "old" if state == self.old else "complete", None
        why = self.plain_invalid(state) if k.plain else None
        if k.plain and why is None:
            return "valid", None
        n = next((i for i, (a, b) in enumerate(zip(state, self.old)) if a != b),
                 min(len(state), len(self.old)))
        return None, (f"{k.target} is neither old ({len(self.old)} bytes) nor complete "
                      f"({len(self.complete)} bytes): {len(state)} bytes, the first {n} old"
                      + (f", and {why}" if why else ""))

    def plain_invalid(self, state):
        """None when state is a valid plain file with all the old audio."""
        old, new = self.old, self.complete
        if not len(old) <= len(state) <= len(new):
            return f"its length {len(state)} is not between {len(old)} and {len(new)}"
        if state[:4] != old[:4] or state[8:40] != old[8:40] or state[44:len(old)] != old[44:]:
            return "an old byte outside the size fields changed"
        for at, name in ((4, "RIFF"), (40, "data")):
            size = state[at:at + 4]
            if size not in (old[at:at + 4], new[at:at + 4]):
                return f"its {name} size {int.from_bytes(size, 'little')} is neither old nor final"
            if len(state) > len(old) and size != new[at:at + 4]:
                return f"it is longer than the old file under the old {name} size"
        for i in range(len(old), len(state)):
            if state[i] != 0 and state[i] != new[i]:
                return f"byte {i} past the old end is neither zero nor the new track's"
        return None

    def check(self, binary, files, d=None):
        """Judges files (left in d, if given), then runs the command unkilled on
        them (in d, else in a copy); (verdict or None, None or what is wrong)."""
        k = self.kind
        verdict, why = self.judge(files)
        if verdict is None:
            return None, why
        expected = {"old": self.complete, "complete": self.twice}.get(verdict)
        if expected is None:
            grown = bytearray(files[k.target] + self.track)
            grown[4:8], grown[40:44] = le(len(grown) - 8, 4), le(len(grown) - 44, 4)
            expected = bytes(grown)
        with contextlib.nullcontext(d) if d else scratch(files) as work:
            status, err = run(binary, work, k)
            after = read_dir(work)
        if status != 0:
            return verdict, f"the next run ended with status {status}: {err.strip()[:200]}"
        # A uniquely named side file that a crash left stays: nothing knows it.
        new = set(after) - set(k.files) - {n for n in files if is_side(k, n)}
        if new:
            return verdict, f"the next run left {sorted(new)}"
        if after.get(k.target) != expected:
            got = len(after[k.target]) if k.target in after else "no"
            return verdict, f"the next run gave {got} bytes, not the expected {len(expected)}"
        return verdict, None

# strace -f -y -xx output: a call per line, "PID name(arguments) = result".
STRING = re.compile(rb'"(?:[^"\\]|\\.)*"')
Call = collections.namedtuple("Call", "index pid name args ret text")  # args: their texts

def short(call):
    t = codecs.escape_decode(re.sub(rb'"(?:[^"\\]|\\.){200,}"', b'"..."', call.text))[0][:300]
    return f"#{call.index} " + "".join(chr(b) if 32 <= b < 127 else f"\\x{b:02x}" for b in t)

def split_args(text, start):
    """The argument texts from text[start:] (just after the "(") up to the
    matching ")", and the index after it."""
    args, depth, current = [], 0, b""
    for m in re.finditer(rb'"(?:[^"\\]|\\.)*"|[][(){},]|[^][(){},"]+', text[start:]):
        token = m.group()
        depth += (token in (b"(", b"[", b"{")) - (token in (b")", b"]", b"}"))
        if depth < 0:
            return args + [current.strip()] if current.strip() else args, start + m.end()
        if token == b"," and depth == 0:
            args.append(current.strip())
            current = b""
        else:
            current += token
    raise ModelError(f"unterminated call or string in {text[:200]!r}")

def parse_log(data):
    calls, unfinished = [], {}
    for pid, rest in re.findall(rb"^(\d+)[ \t]+(.*)$", data, re.M):
        if rest.endswith(b"<unfinished ...>"):
            unfinished[pid] = rest[:-len(b"<unfinished ...>")]
            continue
        resumed = re.match(rb"^<\.\.\. [a-z_0-9]+ resumed>(.*)$", rest)
        if resumed:
            rest = unfinished.pop(pid, b"") + resumed.group(1)
        c = re.match(rb"^([a-z_0-9]+)\(", rest)
        if c:  # not a signal or an exit
            args, end = split_args(rest, c.end())
            v = re.match(rb"^\s*=\s*(-?\d+|0x[0-9a-fA-F]+)", rest[end:])
            calls.append(Call(len(calls) + 1, pid.decode(), c.group(1).decode(), args,
                              int(v.group(1), 0) if v else None, rest))
    return calls

def string_arg(arg):
    if arg.endswith(b"...") or not STRING.fullmatch(arg):
        raise ModelError(f"not a whole string (raise -s?): {arg[:80]!r}")
    return codecs.escape_decode(arg[1:-1])[0]

def fd_arg(arg):
    m = re.match(rb"^(-?\d+|AT_FDCWD)", arg)
    if not m:
        raise ModelError(f"not a file descriptor: {arg[:80]!r}")
    return "AT_FDCWD" if m.group(1) == b"AT_FDCWD" else int(m.group(1))

def int_arg(arg):
    return int(re.match(rb"^\[?(-?\d+|0x[0-9a-fA-F]+)", arg).group(1), 0)

def record(binary, strace, kind):
    """Runs the command once under strace; its calls, the real path of its
    directory and the files it left."""
    with scratch(kind.files) as d, tempfile.NamedTemporaryFile(suffix=".strace") as log:
        run(binary, d, kind, [strace, "-f", "-qq", "-y", "-xx", "-s", "16777216",
                              "-e", "trace=" + TRACED, "-o", log.name], what="the traced run")
        return parse_log(log.read()), os.path.realpath(d), read_dir(d)

def kill_test(binary, strace, ref, calls, args, *_):
    """Kills the command at every occurrence of every call it made; returns
    (number of failures, summary line)."""
    k = ref.kind

    def kill_once(job):
        name, n = job
        label = f"{k.name:<10} {name}#{n}"
        with scratch(k.files) as d:
            status, err = run(binary, d, k, [strace, "-f", "-qq", "-o", "/dev/null", "-e",
                                             f"trace={name}", "-e",
                                             f"inject={name}:signal=KILL:when={n}"])
            if status != -9:
                return None, f"{label}: not killed (status {status}) {err.strip()[:200]}"
            files = read_dir(d)
            verdict, fault = ref.check(binary, files, d)
        left = " (side file left)" if k.target + SIDE in files else ""
        if verdict is None:
            return None, f"{label}: FAIL {fault}"
        if fault:
            return None, f"{label}: {verdict}{left}, then FAIL: {fault}"
        does = "saves" if k.target == "rczembrol.txt" else "appends"
        return verdict, f"{label}: {verdict}{left}; the next run {does} normally"

    pids = {c.pid for c in calls}
    if len(pids) != 1:  # strace counts "when=N" in each process, not in the log
        print(f"{k.name}: the command ran in {len(pids)} processes; kills are counted in each")
    counts = collections.Counter(c.name for c in calls)  # in the order first seen
    # strace sees the program's own execve only as it returns: no signal can
    # be injected at its entry.
    jobs = [(name, n) for name, c in counts.items() for n in range(1, c + 1)
            if (name, n) != ("execve", 1)]
    outcomes = collections.Counter()
    for verdict, line in in_parallel(kill_once, jobs, args.jobs):
        print(line)
        outcomes[verdict or "FAILED"] += 1
    calls = ", ".join(f"{name} {c}" for name, c in counts.items())
    return outcomes["FAILED"], (
        f"{k.name}: {len(jobs)} kills ({calls}; the start-up execve cannot be killed at its "
        "entry): " + ", ".join(f"{v} {outcomes[v]}" for v in
                               ("old", "complete", "valid", "FAILED") if outcomes[v]))

def apply_op(content, op):
    """op: ("write", offset, bytes) or ("size", length)."""
    if op[0] == "write":
        content.extend(bytes(max(0, op[1] - len(content))))
        content[op[1]:op[1] + len(op[2])] = op[2]
    elif op[1] < len(content):
        del content[op[1]:]
    else:
        content.extend(bytes(op[1] - len(content)))

def apply_ns(names, op):
    """op: ("create", name, Inode), ("rename", old, new) or ("unlink", name)."""
    if op[0] == "create":
        names[op[1]] = op[2]
    elif op[0] == "rename":
        names[op[2]] = names.pop(op[1])
    else:
        del names[op[1]]

class Inode:
    def __init__(self, ident, content):
        self.ident, self.live, self.durable = ident, bytearray(content), bytes(content)
        self.pending = []  # data operations since the last sync, in order

    def sync(self):
        self.durable, self.pending = bytes(self.live), []

    def crash_contents(self, name, point):
        """Each content a power cut may leave -> (mask of the pending
        operations it keeps, their number)."""
        if len(self.pending) > MAX_PENDING:
            raise ModelError(f"{len(self.pending)} pending operations on {name} after {point}: "
                             f"more than the {MAX_PENDING} whose subsets this check builds")
        options = {}
        for mask in range(1 << len(self.pending)):
            content = bytearray(self.durable)
            for j, op in enumerate(self.pending):
                if mask >> j & 1:
                    apply_op(content, op)
            options.setdefault(bytes(content), (mask, len(self.pending)))
        return options

class Open:
    """An open file description; inode None: the directory or a file outside."""

    def __init__(self, inode, directory=False, append=False):
        self.inode, self.directory, self.append, self.pos = inode, directory, append, 0

OPENS = ("open", "creat", "openat", "openat2")
AT_FORMS = ("openat", "openat2", "renameat", "renameat2", "unlinkat")
WRITES = ("write", "writev", "pwrite64", "pwritev", "pwritev2")
RENAMES = ("rename", "renameat", "renameat2")
# Calls on a descriptor (the first argument) that do nothing to the model
# unless it follows that descriptor in the directory.
ON_FD = WRITES + ("read", "readv", "lseek", "_llseek", "ftruncate", "ftruncate64", "fallocate",
                  "fsync", "fdatasync")
NOT_MODELLED = ("link", "linkat", "symlink", "symlinkat", "mknod", "mknodat", "mkdir", "mkdirat",
                "rmdir", "sendfile", "sendfile64", "splice", "vmsplice", "tee")

class Model:
    """The directory as the running process sees it, and as it is durable."""

    def __init__(self, workdir, files):
        self.workdir, self.inodes, self.fds, self.pending_ns = workdir.encode(), [], {}, []
        # Symbolic links stand apart: the command may only fail to open them.
        self.links = {name: text for name, text in files.items() if isinstance(text, str)}
        self.names = {name: self.new_inode(content) for name, content in files.items()
                      if name not in self.links}
        self.durable_names = dict(self.names)

    def new_inode(self, content):
        self.inodes.append(Inode(len(self.inodes), content))
        return self.inodes[-1]

    def resolve(self, dirfd, path):
        """A name in the directory, "." for the directory itself, or None."""
        if not path.startswith(b"/") and dirfd != "AT_FDCWD" and \
                not getattr(self.fds.get(dirfd), "directory", False):
            return None
        full = os.path.normpath(os.path.join(self.workdir, path))
        if full == self.workdir:
            return "."
        return os.path.basename(full).decode() if os.path.dirname(full) == self.workdir else None

    def paths(self, call, count):
        """The first count paths a call names, resolved."""
        a = call.args
        if call.name in AT_FORMS:
            return [self.resolve(fd_arg(a[2 * i]), string_arg(a[2 * i + 1])) for i in range(count)]
        return [self.resolve("AT_FDCWD", string_arg(a[i])) for i in range(count)]

    def fd(self, arg):
        """The Open of a descriptor the model follows in the directory, or None."""
        o = self.fds.get(fd_arg(arg))
        return o if o is not None and (o.inode is not None or o.directory) else None

    def data_op(self, inode, op):
        apply_op(inode.live, op)
        inode.pending.append(op)

    def ns_op(self, op):
        apply_ns(self.names, op)
        self.pending_ns.append(op)

    def step(self, call):
        a, name, ret = call.args, call.name, call.ret
        # Each descriptor strace resolved (-y) into the directory must be one
        # the model follows there, and the other way round.
        for arg in a[:1] + a[2:3]:
            m = re.match(rb"^(\d+)<(.*)>$", arg)
            path = m and codecs.escape_decode(m.group(2))[0].removesuffix(b" (deleted)")
            if m and (self.workdir in (path, os.path.dirname(path))) != (self.fd(arg) is not None):
                raise ModelError(f"the model lost track of descriptor {int(m.group(1))}: "
                                 f"{short(call)}")
        if ret is None and name in WRITES + RENAMES + ("ftruncate", "copy_file_range"):
            raise ModelError(f"no result for {short(call)}")
        o = self.fd(a[0]) if name in ON_FD else None
        if ret is None or ret < 0 or (name in ON_FD and o is None):
            return
        if name in OPENS:
            where = self.paths(call, 1)[0]
            flags = b"O_WRONLY|O_CREAT|O_TRUNC" if name == "creat" else a[1 if name == "open" else 2]
            if where is None:
                self.fds[ret] = Open(None)
            elif b"O_TMPFILE" in flags:
                raise ModelError(f"O_TMPFILE is not modelled: {short(call)}")
            elif where == ".":
                self.fds[ret] = Open(None, directory=True)
            else:
                inode = self.names.get(where)
                if inode is None and b"O_CREAT" not in flags:
                    raise ModelError(f"opened a name the model does not have: {short(call)}")
                if inode is None:
                    inode = self.new_inode(b"")
                    self.ns_op(("create", where, inode))
                elif b"O_TRUNC" in flags and (b"O_WRONLY" in flags or b"O_RDWR" in flags):
                    self.data_op(inode, ("size", 0))
                self.fds[ret] = Open(inode, append=b"O_APPEND" in flags)
        elif name == "close":
            self.fds.pop(fd_arg(a[0]), None)
        elif name in ("dup", "dup2", "dup3") or (name == "fcntl" and a[1].startswith(b"F_DUPFD")):
            if fd_arg(a[0]) in self.fds:
                self.fds[ret] = self.fds[fd_arg(a[0])]
        elif name in ("read", "readv"):
            o.pos += ret
        elif name in ("lseek", "_llseek"):
            o.pos = ret if name == "lseek" else int_arg(a[3])
        elif name in WRITES:
            if o.inode is None:
                raise ModelError(f"a write to the directory: {short(call)}")
            if name in ("write", "pwrite64"):
                data = string_arg(a[1])[:ret]
            else:
                data = b"".join(string_arg(s) for s in re.findall(
                    rb'iov_base=("(?:[^"\\]|\\.)*"(?:\.\.\.)?)', a[1]))[:ret]
            if len(data) != ret:
                raise ModelError(f"fewer bytes shown than written: {short(call)}")
            if name.startswith("p"):
                at = int_arg(a[3])
            else:
                at = len(o.inode.live) if o.append else o.pos
                o.pos = at + ret
            self.data_op(o.inode, ("write", at, data))
        elif name in ("ftruncate", "ftruncate64"):
            self.data_op(o.inode, ("size", int_arg(a[1])))
        elif name in ("truncate", "truncate64"):
            where = self.paths(call, 1)[0]
            if where is not None:
                self.data_op(self.names[where], ("size", int_arg(a[1])))
        elif name == "fallocate":
            end = int_arg(a[2]) + int_arg(a[3])
            if a[1] == b"0" and end > len(o.inode.live):
                self.data_op(o.inode, ("size", end))
            elif a[1] not in (b"0", b"FALLOC_FL_KEEP_SIZE"):
                raise ModelError(f"fallocate mode not modelled: {short(call)}")
        elif name == "copy_file_range":
            src, dst = self.fd(a[0]), self.fd(a[2])
            if dst is not None and (src is None or src.inode is None):
                raise ModelError(f"a copy from outside the directory: {short(call)}")
            if dst is not None:
                at_in = src.pos if a[1] == b"NULL" else int_arg(a[1])
                at_out = dst.pos if a[3] == b"NULL" else int_arg(a[3])
                src.pos += ret if a[1] == b"NULL" else 0
                dst.pos += ret if a[3] == b"NULL" else 0
                data = bytes(src.inode.live[at_in:at_in + ret])
                if len(data) != ret:
                    raise ModelError(f"a copy past the source's end: {short(call)}")
                self.data_op(dst.inode, ("write", at_out, data))
        elif name in ("fsync", "fdatasync") and not o.directory:
            o.inode.sync()
        elif name in ("fsync", "fdatasync", "sync", "syncfs"):  # the directory, or everything
            self.durable_names, self.pending_ns = dict(self.names), []
            for inode in self.inodes if name in ("sync", "syncfs") else ():
                inode.sync()
        elif name in RENAMES:
            if name == "renameat2" and b"RENAME_EXCHANGE" in a[4]:
                raise ModelError(f"RENAME_EXCHANGE is not modelled: {short(call)}")
            old, new = self.paths(call, 2)
            if (old is None) != (new is None) or "." in (old, new):
                raise ModelError(f"a rename into or out of the directory: {short(call)}")
            if old is not None:
                self.ns_op(("rename", old, new))
        elif name in ("unlink", "unlinkat"):
            where = self.paths(call, 1)[0]
            if where is not None:
                self.ns_op(("unlink", where))
        elif name in NOT_MODELLED:
            if any((STRING.fullmatch(arg) and self.resolve("AT_FDCWD", string_arg(arg))) or
                   (re.match(rb"^\d+<", arg) and self.fd(arg)) for arg in a):
                raise ModelError(f"not modelled: {short(call)}")
        elif name == "mmap" and self.fd(a[4]) and b"PROT_WRITE" in a[2] and b"MAP_SHARED" in a[3]:
            raise ModelError(f"a shared writable mapping is not modelled: {short(call)}")

    def signature(self):
        return (tuple((n, i.ident) for n, i in sorted(self.durable_names.items())),
                tuple(self.pending_ns),
                tuple((i.ident, i.durable, tuple(i.pending)) for i in self.inodes))

    def crash_states(self, point):
        """(files, description) for every crash state at this point."""
        for p in range(len(self.pending_ns) + 1):
            names = dict(self.durable_names)
            for op in self.pending_ns[:p]:
                apply_ns(names, op)
            choices = [[(name, c, m) for c, m in inode.crash_contents(name, point).items()]
                       for name, inode in sorted(names.items())]
            total = math.prod(map(len, choices))
            if total > MAX_STATES_AT_ONE_POINT:
                raise ModelError(f"{total} states after {point}: more than this check builds")
            for combo in itertools.product(*choices):
                ops = ", ".join(f"{name}: {bin(m).count('1')} of its {k} pending data "
                                f"operations (mask {m:0{k}b}, the first on the right)"
                                for name, _, (m, k) in combo if k)
                yield ({**self.links, **{name: content for name, content, _ in combo}},
                       f"after {point}; {p} of {len(self.pending_ns)} pending namespace "
                       f"operations; {ops or 'no data pending'}")

def crash_states(binary, strace, ref, calls, args, workdir, final):
    """Builds, judges and runs again from every crash state; returns (number
    of failures, summary line)."""
    kind = ref.kind
    if len({c.pid for c in calls}) != 1:
        raise ModelError("the command ran in more than one process")
    model, seen, said = Model(workdir, kind.files), set(), False
    states, promised = {}, {}  # files -> the first description of that state
    for call in [None] + calls:
        if call is not None:
            model.step(call)
            said = said or bool(kind.said and call.name == "write" and fd_arg(call.args[0]) == 1
                                and kind.said in string_arg(call.args[1]))
        if (model.signature(), said) not in seen:
            seen.add((model.signature(), said))
            for files, why in model.crash_states("the start" if call is None else short(call)):
                states.setdefault(tuple(sorted(files.items())), why)
                if said:
                    promised.setdefault(tuple(sorted(files.items())), why)
    modelled = {**model.links, **{n: bytes(i.live) for n, i in model.names.items()}}
    if modelled != final:
        raise ModelError("replaying the calls does not give the files the run left: "
                         f"{sorted((n, len(c)) for n, c in modelled.items())} against "
                         f"{sorted((n, len(c)) for n, c in final.items())}")
    failures, outcomes = 0, collections.Counter()
    for frozen, why in promised.items():
        verdict, bad = ref.judge(dict(frozen))
        if verdict != "complete":
            failures += 1
            print(f"{kind.name}: FAIL after \"{kind.said.decode()}\" a power cut leaves "
                  f"{'the ' + verdict + ' ' + kind.target if verdict else bad}\n    state {why}")
    items = list(states.items())
    for (verdict, fault), (_, why) in zip(
            in_parallel(lambda item: ref.check(binary, dict(item[0])), items, args.jobs), items):
        if verdict is not None:
            outcomes[verdict] += 1
        if fault:
            failures += 1
            print(f"{kind.name}: FAIL {'from a ' + verdict + ' state, ' if verdict else ''}"
                  f"{fault}\n    state {why}")
        elif args.verbose:
            print(f"{kind.name}: {verdict}: {why}")
    judged = sum(outcomes.values())
    counts = ", ".join(f"{v} {outcomes[v]}" for v in ("old", "complete", "valid") if outcomes[v])
    return failures, (
        f"{kind.name}: {len(calls)} calls, {len(seen)} distinct crash points, {len(states)} "
        f"distinct states built and judged ({counts}"
        f"{', failed ' + str(len(states) - judged) if failures else ''}), {judged} run again"
        + (f"; {len(promised)} after \"{kind.said.decode()}\"" if kind.said else ""))

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("mode", choices=("kill", "states"))
    parser.add_argument("binary")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("-v", "--verbose", action="store_true", help="states: print each state")
    args = parser.parse_args()
    binary, strace = os.path.abspath(args.binary), shutil.which("strace")
    if strace is None:
        print("strace is not installed (Debian: strace): skipped")
        return 77
    # ptrace may be refused (a container's seccomp profile, Yama's ptrace_scope 3).
    trial = subprocess.run([strace, "-qq", "-o", os.devnull, "true"], capture_output=True, text=True)
    if trial.returncode != 0:
        print(f"strace can't trace here ({trial.stderr.strip()}): skipped")
        return 77
    failures, summary = 0, []
    for kind in kinds():
        ref = Reference(binary, kind)
        try:
            calls, workdir, final = record(binary, strace, kind)
            if final.get(kind.target) != ref.complete:
                print(f"{kind.name}: the traced run wrote other bytes than the untraced one")
                failures += 1
            test = kill_test if args.mode == "kill" else crash_states
            failed, line = test(binary, strace, ref, calls, args, workdir, final)
        except ModelError as e:
            print(f"{kind.name}: FAIL {e}")
            failed, line = 1, f"{kind.name}: the model failed"
        failures += failed
        summary.append(line)
    print("\n" + "\n".join(summary))
    if failures:
        print(f"{failures} kills lost or blocked something" if args.mode == "kill" else
              f"{failures} failures: a power cut can lose bytes or leave what blocks a later run")
    else:
        print("every kill left the file old, complete or (plain file) valid, and the next run "
              "appended" if args.mode == "kill" else
              "none loses a byte, and the next run appends (or saves) normally from each")
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())
