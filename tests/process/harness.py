"""What the process tests share: wardex (libdlt printing each message as
"<date> <time> <stamp> <n> <ecu> <app> <context> log <level> V <n> [<text>]")
and `adaptive-sim platform` (a line per event) as children, in the sysroot
of WARDEX_SYSROOT, with the executables of WARDEX_BIN_DIR and the deployment
WARDEX_SHIPPED_DEPLOYMENT on private ports and a discovery group of their own.
"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))
import processes  # noqa: E402  (shared with the measuring scripts)

free_udp_port, resident_kib = processes.free_udp_port, processes.resident_kib

BIN_DIR = os.environ.get("WARDEX_BIN_DIR", "")
SYSROOT = os.environ.get("WARDEX_SYSROOT", "")
WARDEX = os.path.join(BIN_DIR, "wardex")
SIM = os.path.join(BIN_DIR, "adaptive-sim")
RUN_DIR = SYSROOT + "/var/run/adaptive"
CONFIG_BASE = SYSROOT + "/etc/Wardex_InitialData"
DEPLOYMENT = SYSROOT + "/etc/adaptive/com_deployment.json"
# A sanitized wardex, or one under the emulator, is slower, and its resident
# memory is not its own (quarantine, or the emulator's translation cache).
SANITIZED = bool(os.environ.get("WARDEX_SANITIZE") or os.environ.get("WARDEX_EMULATOR"))
TIMEOUT = 120.0 if os.environ.get("WARDEX_EMULATOR") else 30.0  # qemu-aarch64 is slower
CHECKPOINT = "phm checkpoint Wardex 25011 25011"
DLT_LINE = re.compile(r"^\S+ \S+\s+\d+ \d+ \S+ (\S+) (\S+) log (\w+) V \d+ \[(.*)\]$")


def install_deployment(did_port=0):
    processes.install_deployment(os.environ["WARDEX_SHIPPED_DEPLOYMENT"], DEPLOYMENT, 80, did_port)


def remove(*paths):
    for path in paths:
        if os.path.exists(path):
            os.unlink(path)


def application(instance, callback, allowed=2, healing=1, errors=("DLT",), limit=("RestartApplication",)):
    return {"appInstanceId": instance, "counterHealingTimeMin": healing, "SWID": "0x1234", "GID": 1,
            "MesswertID": "M" + instance, "numberOfAllowedErrors": allowed,
            "callbackErrorHandling": list(errors), "callbackLimitErrorHandling": list(limit),
            "callbackNames": [callback]}


def wait(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("not within %.0f s: %s" % (TIMEOUT, what))
        time.sleep(0.01)


class Output:
    """Lines of a child's stdout, each with the time it was read."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            with self.cond:
                self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
                self.cond.notify_all()

    def snapshot(self):
        with self.cond:
            return list(self.lines)

    def wait_for(self, predicate, timeout=TIMEOUT, start=0):
        """Index of the first line from start on that satisfies predicate."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for index in range(start, len(self.lines)):
                    if predicate(self.lines[index][1]):
                        return index
                start, left = max(start, len(self.lines)), deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("not seen within %.0f s; last lines:\n%s" % (
                        timeout, "\n".join(l for _, l in self.lines[-25:])))
                self.cond.wait(left)


class Child:
    def __init__(self, command, env=None):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, env=env)
        self.output = Output(self.process.stdout)

    def index_of(self, text, start=0):
        return self.output.wait_for(lambda line: line == text, TIMEOUT, start)

    def count(self, text):
        return sum(1 for _, line in self.output.snapshot() if line == text)

    def stop(self, signum=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signum)
        return self.process.wait(timeout=TIMEOUT)


class Wardex(Child):
    def __init__(self, print_mode="FORCE_ON", dlt_pipe_dir=None):
        env = dict(os.environ, DLT_LOCAL_PRINT_MODE=print_mode)
        # By default a private, empty FIFO directory: no DLT daemon is
        # reachable, even when the machine runs one.
        env["DLT_PIPE_DIR"] = dlt_pipe_dir or os.path.join(SYSROOT, "no-dlt-daemon")
        os.makedirs(env["DLT_PIPE_DIR"], exist_ok=True)
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan-libdlt.supp")
        env["TSAN_OPTIONS"] = (env.get("TSAN_OPTIONS", "") + ":suppressions=" + suppressions).lstrip(":")
        super().__init__([WARDEX], env)

    def messages(self):
        """(time, context, level, text) of every DLT message so far."""
        matches = ((at, DLT_LINE.match(line)) for at, line in self.output.snapshot())
        return [(at, m.group(2), m.group(3), m.group(4)) for at, m in matches if m]

    def texts(self):
        """(level, text) of every message once the output has ended."""
        self.output.thread.join(TIMEOUT)
        return [(level, text) for _, _, level, text in self.messages()]

    def wait_for_message(self, level, text, timeout=TIMEOUT, start=0):
        def matches(line):
            match = DLT_LINE.match(line)
            return bool(match) and match.group(3) == level and match.group(4) == text
        index = self.output.wait_for(matches, timeout, start)
        return index, self.output.snapshot()[index][0]


class Platform(Child):
    """`adaptive-sim platform`, or only its PHM or EM part."""

    def __init__(self, only=None):
        sockets = {"phm": ("phm.sock",), "exec": ("exec.sock",), None: ("phm.sock", "exec.sock")}[only]
        remove(*(os.path.join(RUN_DIR, name) for name in sockets))  # a killed platform's would look ready
        super().__init__([SIM, "platform"] + (["--only", only] if only else []))
        wait(lambda: self.process.poll() is not None or all(self._accepts(name) for name in sockets),
             "the simulated platform's sockets")
        assert self.process.poll() is None, "the simulated platform ended"

    @staticmethod
    def _accepts(name):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            return probe.connect_ex(os.path.join(RUN_DIR, name)) == 0


class ProcessCase(unittest.TestCase):
    """Clean sysroot files before, children killed after each test."""

    def setUp(self):
        folder = os.path.dirname(CONFIG_BASE)
        os.makedirs(RUN_DIR, exist_ok=True)
        os.makedirs(folder, exist_ok=True)
        # Left by an earlier test: its configuration, and the sockets of a daemon
        # it killed (EM or PHM left out of a test must be absent, not unresponsive).
        remove(*(os.path.join(folder, name) for name in os.listdir(folder) if name.startswith("Wardex_InitialData")))
        remove(*(os.path.join(RUN_DIR, name) for name in ("hostname", "phm.sock", "exec.sock")))
        install_deployment()
        self.children = []
        self.addCleanup(os.unlink, DEPLOYMENT)

    def tearDown(self):
        for child in reversed(self.children):
            if child.process.poll() is None:
                child.process.kill()
                child.process.wait()

    def child(self, child):
        self.children.append(child)
        return child

    def install(self, document, host="Kumo"):
        path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "wardex-process-%d.json" % os.getpid())
        with open(path, "w") as file:
            file.write(document if isinstance(document, str) else json.dumps(document))
        subprocess.run([SIM, "partition", host, path], check=True, stdout=subprocess.DEVNULL)
        os.unlink(path)

    def install_apps(self, *apps):
        self.install({"DIDs": [{"Apps": list(apps)}]})

    def start(self):
        return self.child(Platform()), self.child(Wardex())

    def inject(self, callback, count=1):
        subprocess.run([SIM, "phm-failure", callback, "--count", str(count)], check=True, stdout=subprocess.DEVNULL)

    def supervising(self, wardex):
        wardex.wait_for_message("debug", "Listening for Callbacks...")

    def wait_for_count(self, child, text, count):
        wait(lambda: child.count(text) >= count, "%d \"%s\"" % (count, text))


def main(cases):
    """Runs the named cases (argv) of the given classes, or all of them."""
    if not os.path.isfile(WARDEX) or not SYSROOT:
        sys.exit("WARDEX_BIN_DIR and WARDEX_SYSROOT must name a build with a sysroot")
    names = ["test_" + name for name in sys.argv[1:]]
    suite = unittest.TestSuite(case(name) for case in cases
                               for name in names or unittest.defaultTestLoader.getTestCaseNames(case)
                               if hasattr(case, name))
    sys.exit(0 if unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite).wasSuccessful() else 1)
