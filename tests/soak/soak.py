#!/usr/bin/python3
"""Randomized disc-integrity soak of the velloran program on the virtual
recorder.

    soak.py --bin BUILD/bin [--seeds FIRST[-LAST]] [--steps N] [--scale F] [--keep DIR]

Each seed plays its own random sequence, the same one every time: media of
every writable kind, burns (appending to the last session, replacing it,
closing the disc), burns that are cancelled (SIGINT) or killed (SIGKILL) at
a random moment or meet an injected fault (a write error, a drive not
ready, a slow drive), test writes, erases (some killed), ejects and new
media. After every step the recorder's disc is exported and its newest
session read by xorriso and pycdlib (tests/tools/check_image.py) and
compared with the tree the program reported: what a successful burn wrote
(the earlier files included when it imported them), unchanged after a
cancel or a failure, either of the two after a kill.

Exit status 0 when every step held; 1 with the seed, the step, the commands
of the seed so far and the difference otherwise (the seed's folder is kept
under --keep then). A finding is reproduced by running its seed again.
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "tools", "check_image.py")

KINDS = ["cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd-rw-ro", "dvd+r", "dvd+r-dl", "dvd+rw", "dvd-ram"]
REWRITABLE = {"cd-rw", "dvd-rw", "dvd-rw-ro", "dvd+rw", "dvd-ram"}
# Media names in `recorder status` of the discs whose one file system starts at 0.
OVERWRITABLE_NAMES = ("DVD+RW", "DVD-RAM", "DVD-RW Restricted Overwrite")


class Finding(Exception):
    pass


class Soak:
    def __init__(self, seed, bindir, scale, work):
        self.seed = seed
        self.rng = random.Random(seed)
        self.velloran = os.path.join(bindir, "velloran")
        self.work = work
        self.env = dict(os.environ)
        self.env["VELLORAN_RECORDER_DIR"] = os.path.join(work, "rec")
        self.env["VELLORAN_RECORDER_TIME_SCALE"] = str(scale)
        self.log = []
        self.step = 0
        self.kind = None
        self.visible = {}        # the tree readers must see: path -> bytes
        self.choices = None      # after a kill: the trees readers may see
        self.unverified = False  # a failed burn closed an unfinished session
        self.closed = False
        self.names = 0
        self.last_status = None

    # --- running the program -------------------------------------------------
    def run(self, *args, timeout=300):
        self.log.append("velloran " + " ".join(args))
        if args[:2] not in (("recorder", "status"), ("recorder", "export")):
            self.last_status = None
        try:
            p = subprocess.run([self.velloran] + list(args), env=self.env, cwd=self.work, timeout=timeout,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except subprocess.TimeoutExpired:
            raise Finding(f"velloran {' '.join(args)} did not end within {timeout} s")
        out = p.stdout.decode(errors="replace")
        self.log.append(f"  -> {p.returncode}: {out.strip()[-300:]}")
        return p.returncode, out

    def interrupted(self, sig, delay, *args):
        """Runs the program and sends it sig after delay seconds (if still running)."""
        self.log.append(f"velloran {' '.join(args)}  [{signal.Signals(sig).name} after {delay:.2f} s]")
        self.last_status = None
        p = subprocess.Popen([self.velloran] + list(args), env=self.env, cwd=self.work,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            p.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            p.send_signal(sig)
        try:
            out, _ = p.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            p.kill()
            raise Finding(f"velloran {' '.join(args)} did not end within 300 s of {signal.Signals(sig).name}")
        out = out.decode(errors="replace")
        self.log.append(f"  -> {p.returncode}: {out.strip()[-300:]}")
        return p.returncode, out

    def recorder(self, *args):
        rc, out = self.run("recorder", *args)
        if rc != 0:
            raise Finding(f"recorder {' '.join(args)} failed: {out}")
        return out

    def status(self, fresh=True):
        """The recorder's status; the one the last check read when fresh is
        False and nothing ran since."""
        if not fresh and self.last_status is not None:
            return self.last_status
        out = self.recorder("status")
        s = {"text": out, "tracks": []}
        m = re.search(r"Medium:\s+(.*)", out)
        s["medium"] = m.group(1) if m else ""
        s["tray_open"] = "tray open" in s["medium"]
        m = re.search(r"Sessions:\s+(\d+) \((\d+) complete\)", out)
        s["sessions"], s["complete"] = (int(m.group(1)), int(m.group(2))) if m else (0, 0)
        for t in re.finditer(r"Track \d+:\s+session (\d+), start (\d+), size (\d+), (\w+)", out):
            s["tracks"].append((int(t.group(1)), int(t.group(2)), t.group(4)))
        m = re.search(r"Next writable: (\d+)", out)
        s["nwa"] = int(m.group(1)) if m else None
        self.last_status = s
        return s

    # --- the model ---------------------------------------------------------------
    def new_files(self):
        """A few files: new names, and now and then a new version of a visible one."""
        files = {}
        for _ in range(self.rng.randint(1, 3)):
            old = [p for p in self.visible if p.endswith(".bin")]
            if old and self.rng.random() < 0.25:
                path = self.rng.choice(old)
            else:
                self.names += 1
                folder = self.rng.choice(["", "", "d1/", "d2/", "d1/deep/"])
                path = f"{folder}f{self.names}.bin"
            size = self.rng.choice([0, 1, 2047, 2048, 5000, 70000, 300000, 1 << 20, 3 << 20])
            files[path] = self.rng.randbytes(size) if size <= 70000 else bytes([self.rng.randrange(256)]) * size
        return files

    def stage(self, files):
        folder = os.path.join(self.work, f"step{self.step}")
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
            with open(os.path.join(folder, rel), "wb") as f:
                f.write(data)
        return folder

    def unfinished_session(self, s):
        """The disc's open session holds data (an interrupted recording)."""
        return s["sessions"] > s["complete"] and any(
            session == s["sessions"] and state != "blank" for session, _, state in s["tracks"])

    # --- steps ---------------------------------------------------------------------
    def insert(self):
        self.kind = self.rng.choice(KINDS)
        self.recorder("insert", self.kind)
        self.visible, self.choices, self.unverified, self.closed = {}, None, False, False

    def burn(self):
        s = self.status(fresh=False)
        files = self.new_files()
        imported = bool(self.visible) and self.rng.random() < 0.85
        expected = dict(self.visible) if imported else {}
        expected.update(files)
        finalize = self.rng.random() < 0.05
        # Carrying the disc's files forward is what burn does by default;
        # --import last says so explicitly, --new-session leaves them out.
        if imported:
            keep = self.rng.choice([["--import", "last"], []])
        else:
            keep = ["--new-session"]
        args = ["burn"] + keep + (["--finalize"] if finalize else [])
        args.append(self.stage(files))
        mode = self.rng.choices(["plain", "cancel", "kill", "fault"], [45, 20, 15, 20])[0]
        fault = None
        if mode == "fault":
            fault = self.rng.choice(["write-error", "not-ready", "slow"])
            if fault == "write-error":
                self.recorder("fault", "write-error", str((s["nwa"] or 0) + self.rng.randrange(0, 1500)))
            elif fault == "not-ready":
                self.recorder("fault", "not-ready", str(self.rng.randint(1, 40)))
            else:
                self.recorder("fault", "slow", str(self.rng.randint(2, 20)))
        if mode in ("cancel", "kill"):
            sig = signal.SIGINT if mode == "cancel" else signal.SIGKILL
            rc, out = self.interrupted(sig, self.rng.uniform(0.05, 2.5), *args)
        else:
            rc, out = self.run(*args)
        if fault:
            self.recorder("fault", "clear")
        if self.closed:
            # Refused, or stopped before it could say so: the check that
            # follows finds the disc unchanged either way.
            stopped = mode in ("cancel", "kill") and rc in (-signal.SIGKILL, -signal.SIGINT, 3)
            if "done successfully" in out or not (stopped or (rc == 1 and "closed" in out)):
                raise Finding("a closed disc took another burn")
            return
        # A signal may also come once the job is over, while the program ends
        # after its success message: the status is then the signal's.
        signalled = mode in ("cancel", "kill") and rc in (-signal.SIGKILL, -signal.SIGINT)
        done = (rc == 0 or signalled) and "Operation process done successfully." in out
        if rc == 0 and not done:
            raise Finding("exit status 0 without the success message")
        if "done successfully" in out and not done:
            raise Finding("the success message with a failure status")
        if done:
            self.visible, self.choices, self.unverified = expected, None, False
            # Only discs recorded in sessions can be closed.
            after = self.status()
            if not after["medium"].startswith(OVERWRITABLE_NAMES):
                self.closed = "Status:        complete" in after["text"]
                if finalize != self.closed:
                    raise Finding("--finalize did not close the disc" if finalize else "a burn closed the disc")
        elif rc == -signal.SIGKILL:
            self.choices = [self.visible, expected]
        elif self.unfinished_session(s):
            # Appending to a disc whose open session a recording left behind
            # closes that session first; when the new session then fails, the
            # closed one is the newest the readers find. Its files are not
            # what the program reported, and the next good burn buries it.
            self.unverified = True

    def test_burn(self):
        rc, out = self.run("burn", "--test", self.stage(self.new_files()))
        if rc == 0 and "nothing was recorded" not in out:
            raise Finding("a test burn claims to have recorded")

    def erase(self):
        if self.kind not in REWRITABLE:
            return
        args = ["erase"] + (["--full"] if self.rng.random() < 0.3 else [])
        if self.rng.random() < 0.2:
            rc, out = self.interrupted(signal.SIGKILL, self.rng.uniform(0.05, 1.0), *args)
            if rc != -signal.SIGKILL:
                # The erase was over before the signal came.
                if rc != 0:
                    raise Finding(f"erase failed: {out}")
                self.visible, self.choices, self.unverified, self.closed = {}, None, False, False
                return
            self.choices = [self.visible, {}]
            # Blanked or not, a closed disc says which.
            self.closed = self.closed and "Status:        complete" in self.status()["text"]
            return
        rc, out = self.run(*args)
        if rc != 0:
            raise Finding(f"erase failed: {out}")
        self.visible, self.choices, self.unverified, self.closed = {}, None, False, False

    def eject(self):
        rc, out = self.run("eject")
        if rc != 0:
            raise Finding(f"eject failed: {out}")
        rc, out = self.run("sessions")
        if rc != 1 or "no disc" not in out:
            raise Finding("an ejected disc was still read")
        self.recorder("load")

    # --- the check -------------------------------------------------------------------
    def readers_see(self, image, start, tree):
        want = tempfile.mkdtemp(dir=self.work)
        try:
            for rel, data in tree.items():
                os.makedirs(os.path.dirname(os.path.join(want, rel)), exist_ok=True)
                with open(os.path.join(want, rel), "wb") as f:
                    f.write(data)
            cmd = ["/usr/bin/python3", CHECK, image, want, "--readers", "xorriso,pycdlib"]
            if start:
                cmd += ["--session-start", str(start)]
            p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            text = p.stdout.decode(errors="replace")
            if p.returncode != 0 and not tree and "unexpected" not in text and "differs" not in text:
                return ""  # no file system at all, as expected of an empty disc
            return text if p.returncode != 0 else ""
        finally:
            shutil.rmtree(want, ignore_errors=True)

    def check(self):
        s = self.status()
        if s["tray_open"] or self.unverified:
            return
        choices = self.choices or [self.visible]
        overwritable = s["medium"].startswith(OVERWRITABLE_NAMES)
        if not overwritable and s["complete"] == 0:
            # No closed session: readers find no file system, whatever the
            # open session holds.
            if {} not in choices:
                raise Finding("the disc holds no closed session")
            self.visible, self.choices = {}, None
            return
        image = os.path.join(self.work, "disc.iso")
        rc, out = self.run("recorder", "export", image)
        if rc != 0:
            if "nothing is recorded" in out and {} in choices:
                self.visible, self.choices = {}, None
                return
            raise Finding(f"the disc cannot be exported: {out}")
        start = 0
        if not overwritable:
            firsts = [t[1] for t in s["tracks"] if t[0] == s["complete"]]
            start = firsts[0] if firsts else 0
        problems = []
        for tree in choices:
            problem = self.readers_see(image, start, tree)
            if not problem:
                self.visible, self.choices = tree, None
                os.unlink(image)
                return
            problems.append(problem)
        raise Finding("the newest session is not what the program reported:\n" + "\n".join(problems))

    def play(self, steps):
        self.insert()
        for self.step in range(1, steps + 1):
            action = self.rng.choices(
                [self.burn, self.test_burn, self.erase, self.eject, self.insert], [70, 5, 10, 7, 8])[0]
            self.log.append(f"--- step {self.step}: {action.__name__}")
            action()
            self.check()


def main():
    missing = [t for t in ("xorriso",) if not shutil.which(t)]
    try:
        import pycdlib  # noqa: F401
    except ImportError:
        missing.append("pycdlib")
    if missing:
        print("soak skipped: not installed: " + ", ".join(missing))
        return 77
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True, help="the build's bin folder (velloran and wnaspi32.so)")
    ap.add_argument("--seeds", default="1", help="a seed, or FIRST-LAST")
    ap.add_argument("--steps", type=int, default=12, help="steps per seed")
    ap.add_argument("--scale", type=float, default=0.02, help="time scale of the recorder's long operations")
    ap.add_argument("--keep", help="where to keep the folder of a seed that found something")
    args = ap.parse_args()
    first, _, last = args.seeds.partition("-")
    seeds = range(int(first), int(last or first) + 1)
    started = time.monotonic()
    steps = 0
    for seed in seeds:
        work = tempfile.mkdtemp(prefix=f"velloran-soak-{seed}-")
        soak = Soak(seed, args.bin, args.scale, work)
        try:
            soak.play(args.steps)
            steps += args.steps
            shutil.rmtree(work, ignore_errors=True)
        except Finding as finding:
            print(f"FINDING in seed {seed}, step {soak.step}: {finding}")
            print("\n".join(soak.log[-60:]))
            if args.keep:
                kept = os.path.join(args.keep, f"soak-seed-{seed}")
                shutil.rmtree(kept, ignore_errors=True)
                shutil.move(work, kept)
                print(f"(the seed's folder is kept in {kept})")
            else:
                shutil.rmtree(work, ignore_errors=True)
            print(f"reproduce: scripts/soak.sh --seeds {seed} --steps {args.steps}")
            return 1
    print(f"soak: {len(seeds)} seeds, {steps} steps, no finding ({time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
