#!/usr/bin/env python3
"""Kill test: SIGKILL at every file-system call of "+" and "s".

usage: tools/kill-test.py [-j JOBS] BINARY   (JOBS runs at a time, 2 by default)

What: for each file kind that "+" treats differently (a 16-bit file with a
LIST chunk after its data, a 16-bit file with an ID3v1 tag after the RIFF
chunk, an odd-sized 24-bit data chunk with its pad byte, a plain 24-bit file
with nothing after its audio) and for "s" over an existing rczembrol.txt, the
command is run once under strace to list every file-system call it makes,
start-up included. Then, for every call name S and every occurrence N of it,
the command runs again from a fresh copy under
    strace -f -e trace=S -e inject=S:signal=KILL:when=N
so the kernel kills it as it enters that call, and what is left is judged:

  - the file is the old one byte for byte, or the complete one (what an
    unkilled run writes) byte for byte;
  - or, for the plain file only, a valid WAV file with all the old audio:
    every old byte but the two size fields unchanged, each size field old or
    final, the length between the old and the final one (the sizes final
    when it is longer than the old file), and every byte past the old end
    either zero or the final file's byte there;
  - the only other name that may appear beside it is NAME.zembrol-new, the
    side file of an unfinished replacement; the other files are unchanged.

Then the same command runs unkilled on what the kill left, and must append
(or save) normally: from the old file it gives the complete one, from the
complete file what two unkilled runs give, from a valid plain file its bytes
followed by the new track with both sizes fixed; no side file is left.

Why: "+" must never cost the user a byte they had, whatever ends the process,
and nothing a killed run leaves may grow or block the next one. A kill at a
system call is the finest point at which a process can die as far as the
file system sees it: between two calls nothing reaches the files.

Prints one line per kill and a summary per kind; exits 1 on any failure, 77
(CTest's skip) when strace is not installed. tools/crash-states.py imports
the file kinds and the judging from here.
"""
import argparse
import collections
import concurrent.futures
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


def le(value, width):
    return value.to_bytes(width, "little")


def chunk(tag, payload):
    return tag + le(len(payload), 4) + payload + (b"\0" if len(payload) % 2 else b"")


def fmt(bits):
    align = 3 if bits == 24 else bits // 8
    return chunk(b"fmt ", le(1, 2) + le(1, 2) + le(RATE, 4) + le(RATE * align, 4) + le(align, 2) +
                 le(bits, 2))


def riff(chunks):
    return b"RIFF" + le(len(chunks) + 4, 4) + b"WAVE" + chunks


def audio(size):
    return bytes((i * 37 + 11) & 0xFF for i in range(size))


def settings(bits, tempo=480.0, meas=1):
    return (f"rate\t{RATE}\ndevice\tdefault\nbits\t{bits}\ntempo\t{tempo:.2f}\nHz\t60.00\n"
            f"atime\t10.0\nmeter\t4\nmeas\t{meas}\nsave\tclick.wav\nmap\ttmap.txt\n").encode()


class Kind:
    """A starting directory, the command given, and the file it changes."""

    def __init__(self, name, files, command, target, plain=False, said=None):
        self.name = name
        self.said = said        # once printed, the new file must survive a power cut
        self.does = "saves" if target == "rczembrol.txt" else "appends"
        self.files = files      # name -> bytes before the command
        self.command = command  # standard input
        self.target = target    # the file the command replaces or extends
        self.plain = plain      # "+" onto a file with nothing after its audio


def kinds():
    id3 = b"TAG" + b"i" * 125
    listing = chunk(b"LIST", b"INFOISFT" + le(2, 4) + b"x\0")
    return [
        Kind("list-16", {"click.wav": riff(fmt(16) + chunk(b"data", audio(200)) + listing),
                         "rczembrol.txt": settings(16)}, b"+\n", "click.wav"),
        Kind("id3v1-16", {"click.wav": riff(fmt(16) + chunk(b"data", audio(200))) + id3,
                          "rczembrol.txt": settings(16)}, b"+\n", "click.wav"),
        Kind("odd-24-pad", {"click.wav": riff(fmt(24) + chunk(b"data", audio(303))),
                            "rczembrol.txt": settings(24)}, b"+\n", "click.wav"),
        Kind("plain-24", {"click.wav": riff(fmt(24) + chunk(b"data", audio(300))),
                          "rczembrol.txt": settings(24)}, b"+\n", "click.wav", plain=True),
        Kind("settings", {"rczembrol.txt": settings(24, tempo=240.0, meas=3)}, b"t 480 s\n",
             "rczembrol.txt", said=b"Saved Settings"),
    ]


def env_for_tracing():
    # LeakSanitizer cannot run under ptrace; a sanitizer build still checks
    # everything else.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    return env


def make_dir(files, parent=None):
    d = tempfile.mkdtemp(prefix="zembrol-kill.", dir=parent)
    for name, content in files.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(content)
    return d


def read_dir(d):
    out = {}
    for name in sorted(os.listdir(d)):
        with open(os.path.join(d, name), "rb") as f:
            out[name] = f.read()
    return out


def run(binary, d, command, prefix=()):
    """Runs the program in d, under prefix (strace ...) if given; its status
    (negative: killed by that signal) and what it wrote on standard error."""
    p = subprocess.run(list(prefix) + [binary], input=command, cwd=d, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, env=env_for_tracing() if prefix else None,
                       timeout=120)
    return p.returncode, p.stderr.decode(errors="replace")


class Reference:
    """What unkilled runs give: once from the old files, twice in a row."""

    def __init__(self, binary, kind):
        self.kind = kind
        self.old = kind.files[kind.target]
        d = make_dir(kind.files)
        try:
            status, err = run(binary, d, kind.command)
            if status != 0:
                raise SystemExit(f"{kind.name}: an unkilled run ended with status {status}: {err}")
            after = read_dir(d)
            self.check_names(after, "an unkilled run")
            self.complete = after[kind.target]
            if self.complete == self.old:
                raise SystemExit(f"{kind.name}: an unkilled run left {kind.target} unchanged")
            status, err = run(binary, d, kind.command)
            if status != 0:
                raise SystemExit(f"{kind.name}: a second run ended with status {status}: {err}")
            self.twice = read_dir(d)[kind.target]
        finally:
            shutil.rmtree(d)
        # The new track: what the complete plain file holds past the old one.
        self.track = self.complete[len(self.old):]

    def check_names(self, files, what):
        extra = set(files) - set(self.kind.files)
        if extra:
            raise SystemExit(f"{self.kind.name}: {what} left {sorted(extra)}")

    def judge(self, files):
        """('old' | 'complete' | 'valid', None) or (None, what is wrong)."""
        k = self.kind
        if k.target not in files:
            return None, f"{k.target} is gone"
        for name, content in k.files.items():
            if name != k.target and files.get(name) != content:
                return None, f"{name} changed"
        extra = set(files) - set(k.files) - {k.target + SIDE}
        if extra:
            return None, f"left {sorted(extra)}"
        state = files[k.target]
        if state == self.old:
            return "old", None
        if state == self.complete:
            return "complete", None
        if k.plain:
            why = self.plain_invalid(state)
            if why is None:
                return "valid", None
            return None, f"{k.target} is neither old nor complete and {why}"
        return None, (f"{k.target} is neither old ({len(self.old)} bytes) nor complete "
                      f"({len(self.complete)} bytes): {len(state)} bytes, {self.diff(state)}")

    def diff(self, state):
        for ref, what in ((self.old, "old"), (self.complete, "complete")):
            n = next((i for i, (a, b) in enumerate(zip(state, ref)) if a != b),
                     min(len(state), len(ref)))
            if n < len(ref):
                return f"first differs from the {what} file at byte {n}"
        return "?"

    def plain_invalid(self, state):
        """None when state is a valid plain file with all the old audio."""
        old, new = self.old, self.complete
        if not len(old) <= len(state) <= len(new):
            return f"its length {len(state)} is not between {len(old)} and {len(new)}"
        if state[:4] != old[:4] or state[8:40] != old[8:40] or state[44:len(old)] != old[44:]:
            return "an old byte outside the size fields changed"
        for at, name in ((4, "RIFF"), (40, "data")):
            if state[at:at + 4] not in (old[at:at + 4], new[at:at + 4]):
                return f"its {name} size {int.from_bytes(state[at:at + 4], 'little')} is neither old nor final"
            if len(state) > len(old) and state[at:at + 4] != new[at:at + 4]:
                return f"it is longer than the old file under the old {name} size"
        for i in range(len(old), len(state)):
            if state[i] != 0 and state[i] != new[i]:
                return f"byte {i} past the old end is neither zero nor the new track's"
        return None

    def after_rerun(self, state, verdict):
        """What an unkilled run must make of state."""
        if verdict == "old":
            return self.complete
        if verdict == "complete":
            return self.twice
        grown = bytearray(state + self.track)
        grown[4:8] = le(len(grown) - 8, 4)
        grown[40:44] = le(len(grown) - 44, 4)
        return bytes(grown)

    def rerun_fault(self, binary, d, files, verdict):
        """Runs the command unkilled in d (holding files); None or what failed."""
        k = self.kind
        expected = self.after_rerun(files[k.target], verdict)
        status, err = run(binary, d, k.command)
        if status != 0:
            return f"the next run ended with status {status}: {err.strip()[:200]}"
        after = read_dir(d)
        extra = set(after) - set(k.files)
        if extra:
            return f"the next run left {sorted(extra)}"
        if after.get(k.target) != expected:
            got = after.get(k.target)
            return (f"the next run gave {len(got) if got is not None else 'no'} bytes, not the "
                    f"expected {len(expected)}")
        return None


def syscall_counts(log):
    """Call name -> occurrences, in the order first seen, from a strace -f log."""
    counts = collections.OrderedDict()
    pids = set()
    for line in log.splitlines():
        m = re.match(r"^(?:\[pid\s+)?(\d+)\]?\s+([a-z_0-9]+)\(", line)
        if m:
            pids.add(m.group(1))
            counts[m.group(2)] = counts.get(m.group(2), 0) + 1
    return counts, pids


def enumerate_calls(binary, kind, strace):
    d = make_dir(kind.files)
    try:
        log = os.path.join(d, "..", os.path.basename(d) + ".strace")
        status, err = run(binary, d, kind.command,
                          [strace, "-f", "-qq", "-e", "trace=" + TRACED, "-o", log])
        with open(log) as f:
            text = f.read()
        os.unlink(log)
        if status != 0:
            raise SystemExit(f"{kind.name}: the traced run ended with status {status}: {err}")
        return syscall_counts(text), read_dir(d)
    finally:
        shutil.rmtree(d)


def kill_once(binary, strace, ref, name, n):
    """One kill; returns (verdict or None, line)."""
    k = ref.kind
    d = make_dir(k.files)
    try:
        status, err = run(binary, d, k.command,
                          [strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + name,
                           "-e", f"inject={name}:signal=KILL:when={n}"])
        label = f"{k.name:<10} {name}#{n}"
        if status != -9:
            return None, f"{label}: not killed (status {status}) {err.strip()[:200]}"
        files = read_dir(d)
        verdict, why = ref.judge(files)
        if verdict is None:
            return None, f"{label}: FAIL {why}"
        fault = ref.rerun_fault(binary, d, files, verdict)
        left = " (side file left)" if k.target + SIDE in files else ""
        if fault:
            return None, f"{label}: {verdict}{left}, then FAIL: {fault}"
        return verdict, f"{label}: {verdict}{left}; the next run {k.does} normally"
    finally:
        shutil.rmtree(d)


def find_strace():
    strace = shutil.which("strace")
    if strace is None:
        print("strace is not installed (Debian: strace): skipped")
        sys.exit(77)
    return strace


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    strace = find_strace()

    failures = 0
    summary = []
    for kind in kinds():
        ref = Reference(binary, kind)
        (counts, pids), traced = enumerate_calls(binary, kind, strace)
        if traced[kind.target] != ref.complete:
            print(f"{kind.name}: the traced run wrote other bytes than the untraced one")
            failures += 1
        if len(pids) != 1:
            # strace counts "when=N" per process: the occurrences would not
            # match one log's counts.
            print(f"{kind.name}: the command ran in {len(pids)} processes; kills are counted in each")
        # The program's own execve is seen by strace only as it returns:
        # no signal can be injected at its entry.
        jobs = [(name, n) for name, c in counts.items() for n in range(1, c + 1)
                if (name, n) != ("execve", 1)]
        outcomes = collections.Counter()
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for verdict, line in pool.map(lambda j: kill_once(binary, strace, ref, *j), jobs):
                print(line)
                outcomes[verdict or "FAILED"] += 1
        failures += outcomes["FAILED"]
        calls = ", ".join(f"{name} {c}" for name, c in counts.items())
        calls += "; the start-up execve cannot be killed at its entry"
        summary.append(f"{kind.name}: {len(jobs)} kills ({calls}): " +
                       ", ".join(f"{v} {outcomes[v]}" for v in
                                 ("old", "complete", "valid", "FAILED") if outcomes[v]))
    print()
    for line in summary:
        print(line)
    if failures:
        print(f"{failures} kills lost or blocked something")
        return 1
    print("every kill left the file old, complete or (plain file) valid, and the next run appended")
    return 0


if __name__ == "__main__":
    sys.exit(main())
