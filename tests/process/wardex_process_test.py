#!/usr/bin/python3
"""Process tests: the real wardex executable on the simulated platform.

wardex runs with DLT_LOCAL_PRINT_MODE=FORCE_ON, so libdlt prints each message
on its stdout as
  <date> <time> <timestamp> <counter> <ecu> <app> <context> log <level> V <n> [<arguments>]
and `adaptive-sim platform` prints one line per event it receives.
Usage: wardex_process_test.py <TestCaseName>; WARDEX_BIN_DIR and WARDEX_SYSROOT
name the build's executables and sysroot, WARDEX_SHIPPED_DEPLOYMENT the
SOME/IP deployment, installed in the sysroot with ports of the system's
choice and a discovery port and group of this run's own.
"""
import json
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

BIN_DIR = os.environ.get("WARDEX_BIN_DIR", "")
SYSROOT = os.environ.get("WARDEX_SYSROOT", "")
WARDEX = os.path.join(BIN_DIR, "wardex")
SIM = os.path.join(BIN_DIR, "adaptive-sim")
RUN_DIR = SYSROOT + "/var/run/adaptive"
CONFIG_BASE = SYSROOT + "/etc/Wardex_InitialData"
SHIPPED_DEPLOYMENT = os.environ.get("WARDEX_SHIPPED_DEPLOYMENT", "")
DEPLOYMENT = SYSROOT + "/etc/adaptive/com_deployment.json"


def install_deployment():
    with open(SHIPPED_DEPLOYMENT) as f:
        deployment = json.load(f)
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    deployment["service_discovery"]["port"] = probe.getsockname()[1]
    probe.close()
    deployment["service_discovery"]["multicast"] = "239.80.%d.%d" % ((os.getpid() >> 8) & 0xFF, os.getpid() & 0xFF)
    for service in deployment["services"]:
        for instance in service["instances"]:
            instance["port"] = 0
    os.makedirs(os.path.dirname(DEPLOYMENT), exist_ok=True)
    with open(DEPLOYMENT, "w") as f:
        json.dump(deployment, f)
TIMEOUT = 30.0

DLT_LINE = re.compile(r"^\S+ \S+\s+\d+ \d+ \S+ (\S+) (\S+) log (\w+) V \d+ \[(.*)\]$")


class Output:
    """Lines of a child's stdout, each with the time it was read."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                self.lines.append((time.monotonic(), line))
                self.cond.notify_all()


    def snapshot(self):
        with self.cond:
            return list(self.lines)

    def wait_for(self, predicate, timeout=TIMEOUT, start=0):
        """Index of the first line from start on that satisfies predicate."""
        deadline = time.monotonic() + timeout
        index = start
        with self.cond:
            while True:
                # Only the lines that came since the last look.
                for index in range(index, len(self.lines)):
                    if predicate(self.lines[index][1]):
                        return index
                index = max(index, start, len(self.lines))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("not seen within %.0f s; last lines:\n%s" % (
                        timeout, "\n".join(l for _, l in self.lines[-25:])))
                self.cond.wait(left)


class Wardex:
    def __init__(self, print_mode="FORCE_ON", dlt_pipe_dir=None):
        env = dict(os.environ, DLT_LOCAL_PRINT_MODE=print_mode)
        # By default a private, empty FIFO directory: no DLT daemon is
        # reachable, even when the machine runs one.
        env["DLT_PIPE_DIR"] = dlt_pipe_dir or os.path.join(SYSROOT, "no-dlt-daemon")
        os.makedirs(env["DLT_PIPE_DIR"], exist_ok=True)
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan-libdlt.supp")
        env["TSAN_OPTIONS"] = (env.get("TSAN_OPTIONS", "") + ":suppressions=" + suppressions).lstrip(":")
        self.process = subprocess.Popen([WARDEX], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, env=env)
        self.output = Output(self.process.stdout)

    def messages(self):
        """(time, context, level, text) of every DLT message so far."""
        result = []
        for at, line in self.output.snapshot():
            match = DLT_LINE.match(line)
            if match:
                result.append((at, match.group(2), match.group(3), match.group(4)))
        return result

    def wait_for_message(self, level, text, timeout=TIMEOUT, start=0):
        def matches(line):
            match = DLT_LINE.match(line)
            return bool(match) and match.group(3) == level and match.group(4) == text
        index = self.output.wait_for(matches, timeout, start)
        return index, self.output.snapshot()[index][0]

    def stop(self, signum=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            return self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            # A wardex that does not end: where each of its threads waits.
            try:
                where = subprocess.run(["gdb", "-p", str(self.process.pid), "-batch", "-ex", "thread apply all bt"],
                                       capture_output=True, text=True, timeout=120).stdout
            except (OSError, subprocess.TimeoutExpired) as error:
                where = "no backtrace: %s" % error
            print("wardex did not end after the signal; its threads:\n" + where)
            raise


class Platform:
    def __init__(self, *arguments, only=None):
        sockets = {"phm": ("phm.sock",), "exec": ("exec.sock",), None: ("phm.sock", "exec.sock")}[only]
        if only:
            arguments += ("--only", only)
        # Socket files left by a platform that was killed would look ready.
        for name in sockets:
            if os.path.exists(os.path.join(RUN_DIR, name)):
                os.unlink(os.path.join(RUN_DIR, name))
        self.process = subprocess.Popen([SIM, "platform", *arguments], stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL)
        self.output = Output(self.process.stdout)
        deadline = time.monotonic() + TIMEOUT
        while not all(self._accepts(name) for name in sockets):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("the simulated platform did not start")
            time.sleep(0.01)

    @staticmethod
    def _accepts(name):
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(os.path.join(RUN_DIR, name))
            return True
        except OSError:
            return False
        finally:
            probe.close()

    def index_of(self, text, start=0):
        return self.output.wait_for(lambda line: line == text, TIMEOUT, start)

    def count(self, text, since=0.0, until=float("inf")):
        return sum(1 for at, line in self.output.snapshot() if line == text and since <= at <= until)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=TIMEOUT)


def application(instance, callback, allowed=2, healing=1, errors=("DLT",), limit=("RestartApplication",)):
    return {"appInstanceId": instance, "counterHealingTimeMin": healing, "SWID": "0x1234", "GID": 1,
            "MesswertID": "M" + instance, "numberOfAllowedErrors": allowed,
            "callbackErrorHandling": list(errors), "callbackLimitErrorHandling": list(limit),
            "callbackNames": [callback]}


CHECKPOINT = "phm checkpoint Wardex 25011 25011"


class ProcessCase(unittest.TestCase):
    """Clean sysroot files before, children killed after each test."""

    def setUp(self):
        os.makedirs(RUN_DIR, exist_ok=True)
        os.makedirs(os.path.dirname(CONFIG_BASE), exist_ok=True)
        for name in os.listdir(os.path.dirname(CONFIG_BASE)):
            if name.startswith("Wardex_InitialData"):
                os.unlink(os.path.join(os.path.dirname(CONFIG_BASE), name))
        # Also the sockets of a daemon killed by an earlier test: EM or PHM
        # left out of a test must be absent, not unresponsive.
        for name in ("hostname", "phm.sock", "exec.sock"):
            if os.path.exists(os.path.join(RUN_DIR, name)):
                os.unlink(os.path.join(RUN_DIR, name))
        install_deployment()
        self.children = []

    def tearDown(self):
        for child in reversed(self.children):
            if child.process.poll() is None:
                child.process.kill()
                child.process.wait()
        os.unlink(DEPLOYMENT)

    def install(self, document, host="Kumo"):
        path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "wardex-process-%d.json" % os.getpid())
        with open(path, "w") as file:
            file.write(document if isinstance(document, str) else json.dumps(document))
        subprocess.run([SIM, "partition", host, path], check=True, stdout=subprocess.DEVNULL)
        os.unlink(path)

    def start(self, *platform_arguments):
        platform = Platform(*platform_arguments)
        self.children.append(platform)
        wardex = Wardex()
        self.children.append(wardex)
        return platform, wardex

    def inject(self, callback, count=1):
        subprocess.run([SIM, "phm-failure", callback, "--count", str(count)], check=True,
                       stdout=subprocess.DEVNULL)

    def supervising(self, wardex):
        wardex.wait_for_message("debug", "Listening for Callbacks...")

    @staticmethod
    def wait_for_count(platform, text, count):
        deadline = time.monotonic() + TIMEOUT
        while platform.count(text) < count:
            if time.monotonic() > deadline:
                raise AssertionError("%d of %d \"%s\" within %.0f s" % (platform.count(text), count, text, TIMEOUT))
            time.sleep(0.01)


class WardexProcess(ProcessCase):
    def test_RunningIsReportedBeforeTheConfigurationIsRead(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB")]}]})
        platform, wardex = self.start()
        running = platform.index_of("exec state Wardex kRunning")
        subscribed = platform.index_of("phm subscribe App1_CB")
        self.assertLess(running, subscribed)
        wardex.wait_for_message("info", "Wardex version 1.4.1 has started!")
        wardex.wait_for_message("debug", "reading the special Config file of the partition  Kumo")
        self.assertEqual(wardex.stop(), 0)
        platform.index_of("exec state Wardex kShuttingdown", running)

    def test_CheckpointsArriveAboutEvery500ms(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB")]}]})
        platform, wardex = self.start()
        first = platform.index_of(CHECKPOINT)
        since = platform.output.snapshot()[first][0]
        time.sleep(5.0)
        count = platform.count(CHECKPOINT, since + 0.25, since + 4.75)
        print("checkpoints in 4.5 s: %d" % count)
        self.assertGreaterEqual(count, 6)
        self.assertLessEqual(count, 12)
        self.assertEqual(wardex.stop(), 0)

    def test_FailureUnderAConfiguredNameReachesEmAsTheConfiguredReaction(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=2),
                                         application("App2", "App2_CB", allowed=1, errors=(),
                                                     limit=("TerminateApplication",))]}]})
        platform, wardex = self.start()
        self.supervising(wardex)
        platform.index_of("phm subscribe App2_CB")
        self.inject("App1_CB")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  1 times (Max allowed for this App:  2 ).")
        self.inject("App1_CB")
        platform.index_of("exec restart App1")
        wardex.wait_for_message("info", "Restarting App1...")
        self.inject("App2_CB")
        platform.index_of("exec stop App2")
        self.assertEqual(platform.count("exec restart App1"), 1)
        self.assertEqual(wardex.stop(), 0)

    def test_TerminationSignalsEndTheProcessWithExitCodeZero(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB")]}]})
        platform = Platform()
        self.children.append(platform)
        # SIGTERM is followed at once by SIGINT, which arrives while the first
        # one is being acted on: each is reported once, before the teardown.
        cases = [(signal.SIGINT,), (signal.SIGTERM, signal.SIGINT), (signal.SIGABRT,)]
        # GCC 12's ThreadSanitizer takes SIGABRT for a fault of the thread it
        # lands on and runs the handler there at once, even inside its own
        # runtime, where it may crash; the other builds test SIGABRT.
        if os.environ.get("WARDEX_SANITIZE") == "thread":
            cases.pop()
        for signums in cases:
            wardex = Wardex()
            self.children.append(wardex)
            self.supervising(wardex)
            sent = time.monotonic()
            for signum in signums:
                wardex.process.send_signal(signum)
            code = wardex.process.wait(timeout=TIMEOUT)
            took = time.monotonic() - sent
            print("%s: exit code %d after %.3f s" % ("+".join(signal.Signals(s).name for s in signums), code, took))
            self.assertEqual(code, 0)
            self.assertLess(took, 5.0)
            wardex.output.thread.join(TIMEOUT)
            texts = [(level, text) for _, _, level, text in wardex.messages()]
            clearing = texts.index(("debug", "Clear Applications from Wardex MonitorList "))
            self.assertIn(("info", "Stopping Callback Client. Terminating."), texts)
            for signum in signums:
                warning = ("warn", "received signal:  %d" % signum)
                self.assertEqual(texts.count(warning), 1)
            # The signal that starts the teardown is reported before it. Of
            # two sent at once the kernel may deliver either first.
            first_report = min(texts.index(("warn", "received signal:  %d" % signum)) for signum in signums)
            self.assertLess(first_report, clearing)
        self.assertEqual(platform.count("exec state Wardex kShuttingdown"), len(cases))

    def check_failed_configuration(self, loader_error):
        platform, wardex = self.start()
        wardex.wait_for_message("error", loader_error)
        wardex.wait_for_message("error", "Error importing from JSON file. Make sure you are using the "
                                         "correct database format and check above for errors.")
        shutting = platform.index_of("exec state Wardex kShuttingdown")
        # The alive supervision goes on, and so does the process.
        later = platform.index_of(CHECKPOINT, shutting + 1)
        platform.index_of(CHECKPOINT, later + 1)
        self.assertIsNone(wardex.process.poll())
        self.assertEqual(wardex.stop(signal.SIGINT), 0)
        self.assertNotIn("phm subscribe", " ".join(l for _, l in platform.output.snapshot()))
        # The signal is reported before the teardown it causes.
        wardex.output.thread.join(TIMEOUT)
        texts = [text for _, _, _, text in wardex.messages()]
        self.assertEqual(texts.count("received signal:  2"), 1)
        self.assertLess(texts.index("received signal:  2"), texts.index("~DataIdentifier_NumberofECUResetsSkeletonImpl"))

    def test_MissingConfigurationKeepsTheProcessAliveUntilASignal(self):
        self.check_failed_configuration(
            "Unexpected exception during reading the Wardex_InitialData.json:  "
            "Failed to open JSON file '%s.json'." % CONFIG_BASE)

    def test_MalformedConfigurationKeepsTheProcessAliveUntilASignal(self):
        self.install('{"DIDs": [{"Apps": [}]}', host="QZ")
        self.check_failed_configuration(
            "Unexpected exception during reading the Wardex_InitialData.json:  "
            "Failed to parse JSON file '%sQZ.json': [json.exception.parse_error.101] parse error at "
            "line 1, column 21: syntax error while parsing value - unexpected '}'; expected '[', '{', "
            "or a literal" % CONFIG_BASE)

    def test_AgingHealsAnApplicationWithHealingTimeZero(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=2, healing=0)]}]})
        platform, wardex = self.start()
        self.supervising(wardex)
        # Right after an aging pass, so the next one comes about 5 s after the failure.
        index, _ = wardex.wait_for_message("debug", "Listening for signals ")
        sent = time.monotonic()
        self.inject("App1_CB")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  1 times (Max allowed for this App:  2 ).")
        _, healed = wardex.wait_for_message("debug", "Application  App1  got well again", start=index)
        print("healed %.2f s after the failure" % (healed - sent))
        self.assertGreater(healed - sent, 3.5)
        self.assertLess(healed - sent, 8.0)
        # The count starts again from zero: the next failure is the first one.
        self.inject("App1_CB")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  1 times (Max allowed for this App:  2 ).",
                                start=index + 3)
        self.assertEqual(platform.count("exec restart App1"), 0)
        self.assertEqual(wardex.stop(), 0)

    def read_measured_values(self):
        result = subprocess.run([SIM, "did-read"], check=True, stdout=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, timeout=TIMEOUT)
        return result.stdout.decode().strip()

    def test_MeasuredValuesAreReadOverSomeIpAndLeaveWhenHealed(self):
        first = application("App1", "App1_CB", allowed=100, healing=0, errors=("Messwert",))
        second = dict(application("App2", "App2_CB", allowed=100, healing=1, errors=("Messwert",)), SWID="ABCDEF")
        self.install({"DIDs": [{"Apps": [first, second]}]})
        platform, wardex = self.start()
        self.supervising(wardex)
        self.assertEqual(self.read_measured_values(), "count 0 data")
        # Right after an aging pass, so both failures are counted before the next one.
        index, _ = wardex.wait_for_message("debug", "Listening for signals ")
        self.inject("App1_CB")
        wardex.wait_for_message("info", "Messwert for  App1 is added. (SWID: 0x1234string to hex:  18 52 ).")
        self.inject("App2_CB")
        wardex.wait_for_message("info", "Messwert for  App2 is added. (SWID: ABCDEFstring to hex:  171 205 ).")
        # In list order, whatever the order of the failures.
        self.assertEqual(self.read_measured_values(), "count 2 data 12 34 ab cd ef")
        # App1 heals at the next pass (healing time 0); App2 needs a minute.
        wardex.wait_for_message("debug", "Application  App1  got well again", start=index)
        self.assertEqual(self.read_measured_values(), "count 1 data ab cd ef")
        self.assertEqual(platform.count("exec restart App1"), 0)
        self.assertEqual(wardex.stop(), 0)

    def test_DtcVerdictsReachTheDiagnosticEventManager(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=100, healing=0, errors=("DTC",))]}]})
        platform, wardex = self.start()
        listener = subprocess.Popen([SIM, "dem-listen"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        dem = Listener(listener)
        self.children.append(dem)
        self.supervising(wardex)
        # The listener subscribes once it has seen the monitor's offer; a
        # verdict sent before that is lost, so failures repeat until one arrives.
        failed = None
        for _ in range(30):
            self.inject("App1_CB")
            try:
                failed = dem.output.wait_for(lambda line: line == "dem monitor-action kFailed", 1.0)
                break
            except AssertionError:
                continue
        self.assertIsNotNone(failed, "no kFailed reached dem-listen")
        # Healed at the next aging pass; from then on every pass sends kPassed.
        first = dem.output.wait_for(lambda line: line == "dem monitor-action kPassed", TIMEOUT, failed)
        dem.output.wait_for(lambda line: line == "dem monitor-action kPassed", TIMEOUT, first + 1)
        # The monitor is withdrawn after main has returned: its StopOffer still
        # goes out to the discovery group, and its teardown is logged.
        group = discovery_group()
        self.assertEqual(wardex.stop(), 0)
        self.assertIn((0x0D01, 0x0001), stop_offers(group))
        wardex.output.thread.join(TIMEOUT)
        self.assertIn(("WDX-", "debug", "~DiagnosticMonitor"), [m[1:] for m in wardex.messages()])
        self.assertEqual(dem.stop(), 0)


def discovery_group():
    """A socket that receives what is sent to this run's discovery group."""
    with open(DEPLOYMENT) as file:
        sd = json.load(file)["service_discovery"]
    group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    group.bind((sd["multicast"], sd["port"]))
    group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(sd["multicast"]) + socket.inet_aton("127.0.0.1"))
    return group


def stop_offers(group):
    """(service, instance) of every StopOffer entry (an offer with TTL 0) that
    reached the group's socket, which is then closed."""
    group.settimeout(0.2)
    found = []
    while True:
        try:
            datagram = group.recv(65536)
        except socket.timeout:
            break
        if len(datagram) < 24 or datagram[:4] != b"\xff\xff\x81\x00":
            continue
        length = struct.unpack(">I", datagram[20:24])[0]
        for at in range(24, min(24 + length, len(datagram)) - 15, 16):
            kind, service, instance, ttl = datagram[at], *struct.unpack(">HH", datagram[at + 4:at + 8]), \
                int.from_bytes(datagram[at + 9:at + 12], "big")
            if kind == 0x01 and ttl == 0:
                found.append((service, instance))
    group.close()
    return found


class Listener:
    def __init__(self, process):
        self.process = process
        self.output = Output(process.stdout)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=TIMEOUT)


class WardexUnderFaults(ProcessCase):
    """The platform misbehaves; wardex carries on and still ends cleanly."""

    def start_parts(self, *parts):
        platforms = []
        for only in parts:
            platforms.append(Platform(only=only))
            self.children.append(platforms[-1])
        wardex = Wardex()
        self.children.append(wardex)
        return platforms, wardex

    def test_PhmRestartedWhileFailuresArriveResumesCallbacksAndCheckpoints(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=1, errors=(),
                                                     limit=("RestartApplication",))]}]})
        (phm, em), wardex = self.start_parts("phm", "exec")
        self.supervising(wardex)
        phm.index_of("phm subscribe App1_CB")
        phm.index_of(CHECKPOINT)
        # Given failures on their way, when PHM dies without closing anything
        # in order and comes back,
        load = subprocess.Popen([SIM, "phm-load", "App1_CB", "--rate", "200", "--seconds", "20"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(load.kill)
        em.index_of("exec restart App1")
        phm.process.kill()
        phm.process.wait(TIMEOUT)
        load.wait(TIMEOUT)
        wardex.wait_for_message("warn", "Connection to PHM lost; reconnecting")
        phm = Platform(only="phm")
        self.children.append(phm)
        # then wardex subscribes again, its checkpoints resume and the next
        # failure is reacted to.
        phm.index_of("phm subscribe App1_CB")
        phm.index_of(CHECKPOINT)
        before = em.count("exec restart App1")
        self.inject("App1_CB", count=3)
        self.wait_for_count(em, "exec restart App1", before + 3)
        self.assertIsNone(wardex.process.poll())
        self.assertEqual(wardex.stop(), 0)
        texts = " ".join(text for _, _, _, text in wardex.messages())
        self.assertNotIn("Unexpected", texts)
        self.assertNotIn("Unknown exception", texts)

    def test_AbsentEmIsLoggedAsASystemErrorAndSupervisionGoesOn(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=5,
                                                     errors=("RestartApplication", "DLT"))]}]})
        (phm,), wardex = self.start_parts("phm")
        self.supervising(wardex)
        phm.index_of("phm subscribe App1_CB")
        unreachable = ("Unexpected system_error during Recovery Action in Wardex monitor of the Wardex:  "
                       "connect to %s/exec.sock: No such file or directory" % RUN_DIR)
        self.inject("App1_CB")
        first, _ = wardex.wait_for_message("error", unreachable)
        # The failed restart drops the rest of its list, but the next failure
        # is counted and reacted to again.
        self.inject("App1_CB")
        wardex.wait_for_message("info", "Wardex Callback is called for the application ' App1 ' number of "
                                        "already reported errors:  1", start=first)
        second, _ = wardex.wait_for_message("error", unreachable, start=first + 1)
        phm.index_of(CHECKPOINT, len(phm.output.snapshot()))
        # EM comes up: the next restart reaches it and the rest of the list runs.
        em = Platform(only="exec")
        self.children.append(em)
        self.inject("App1_CB")
        em.index_of("exec restart App1")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  3 times (Max allowed for this "
                                         "App:  5 ).", start=second)
        self.assertEqual(len([m for m in wardex.messages() if m[3].startswith("ERROR: App1")]), 1)
        self.assertEqual(wardex.stop(), 0)

    def test_NoDltDaemonDoesNotDelayTheExit(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=1, errors=(),
                                                     limit=("RestartApplication",))]}]})
        platform = Platform()
        self.children.append(platform)
        # Nothing printed locally and no daemon: every message stays in
        # libdlt's buffer until exit.
        wardex = Wardex(print_mode="FORCE_OFF")
        self.children.append(wardex)
        platform.index_of("phm subscribe App1_CB")
        self.inject("App1_CB", count=2000)
        self.wait_for_count(platform, "exec restart App1", 2000)
        sent = time.monotonic()
        code = wardex.stop()
        took = time.monotonic() - sent
        print("exit %.3f s after SIGTERM with 6000 messages buffered and no DLT daemon" % took)
        self.assertEqual(code, 0)
        self.assertLess(took, 5.0)
        platform.index_of("exec state Wardex kShuttingdown")

    def test_TenThousandApplicationsAreSupervised(self):
        count = 10000
        apps = [application("App%05d" % i, "App%05d_CB" % i, allowed=1, errors=(),
                            limit=("RestartApplication",), healing=10) for i in range(count)]
        self.install({"DIDs": [{"Apps": apps[:count // 2]}, {"Apps": apps[count // 2:]}]})
        platform = Platform()
        self.children.append(platform)
        started = time.monotonic()
        wardex = Wardex()
        self.children.append(wardex)
        _, supervising = wardex.wait_for_message("debug", "Listening for Callbacks...", timeout=120)
        platform.index_of("phm subscribe App%05d_CB" % (count - 1))
        subscribed = time.monotonic()
        self.assertEqual(sum(1 for _, l in platform.output.snapshot() if l.startswith("phm subscribe ")), count)
        self.inject("App%05d_CB" % (count - 1))
        self.inject("App00000_CB")
        platform.index_of("exec restart App%05d" % (count - 1))
        platform.index_of("exec restart App00000")
        sent = time.monotonic()
        self.assertEqual(wardex.stop(), 0)
        stopped = time.monotonic()
        print("10000 applications: supervising %.2f s after the start, all names subscribed at %.2f s, "
              "exit %.3f s after SIGTERM" % (supervising - started, subscribed - started, stopped - sent))
        self.assertLess(subscribed - started, 120)


    def test_MalformedSomeipFloodLeavesReadsServed(self):
        with open(DEPLOYMENT) as file:
            deployment = json.load(file)
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        did_port = probe.getsockname()[1]
        probe.close()
        for service in deployment["services"]:
            if service["service_id"] == "0x0401":
                service["instances"][0]["port"] = did_port
        with open(DEPLOYMENT, "w") as file:
            json.dump(deployment, file)
        sd = (deployment["service_discovery"]["multicast"], deployment["service_discovery"]["port"])
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB")]}]})
        platform, wardex = self.start()
        self.supervising(wardex)

        def read():
            return subprocess.run([SIM, "did-read"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(read().stdout, "count 0 data\n")

        # Given a steady stream of broken datagrams to the data identifier's
        # endpoint and to the discovery group,
        def header(service, method, length, message_type=0, protocol=1):
            return struct.pack(">HHIHHBBBB", service, method, length, 0x7E57, 1, protocol, 1, message_type, 0)
        meta = struct.pack(">I", 0)
        broken = [b"", b"\x04", header(0x0401, 1, 4), header(0x0401, 1, 0xFFFFFFFF) + meta,
                  header(0x0401, 1, 12) + meta + b"\x00\x00", header(0x0401, 1, 12) + meta + header(0x0401, 1, 40),
                  header(0x0401, 1, 8 + 4 + 4096)[:16] + meta, header(0x0401, 1, 12) + struct.pack(">I", 0x7FFFFFFF)]
        sd_payload = bytes([0xC0, 0, 0, 0]) + struct.pack(">I", 16)
        sd_entry = bytes([0x01, 0, 0, 0x10]) + struct.pack(">HHB", 0x0401, 1, 1) + b"\x00\x00\x03" + struct.pack(">I", 0)
        broken_sd = [header(0xFFFF, 0x8100, 8 + 4, 2)[:-0] + bytes([0xC0, 0, 0, 0]),
                     header(0xFFFF, 0x8100, 8 + 8 + 16 + 4, 2) + sd_payload + sd_entry + struct.pack(">I", 0x100),
                     header(0xFFFF, 0x8100, 8 + 8 + 0x1000, 2) + bytes([0xC0, 0, 0, 0]) + struct.pack(">I", 0x1000),
                     header(0xFFFF, 0x8100, 8 + 8 + 16 + 4 + 12, 2) + sd_payload + sd_entry + struct.pack(">I", 12)
                     + struct.pack(">HBB", 0x20, 0x04, 0) + b"\x7f\x00\x00\x01" + b"\x00\x11\x00"]
        stop = threading.Event()
        sent = [0]

        def flood():
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
            sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
            noise = random.Random(7)
            while not stop.is_set():
                for _ in range(20):
                    kind = noise.randrange(4)
                    if kind == 0:
                        data = bytes(noise.getrandbits(8) for _ in range(noise.randrange(64)))
                        sender.sendto(data, ("127.0.0.1", did_port))
                    elif kind == 1:
                        sender.sendto(noise.choice(broken), ("127.0.0.1", did_port))
                    else:
                        sender.sendto(noise.choice(broken_sd), sd)
                    sent[0] += 1
                time.sleep(0.005)
            sender.close()
        flooding = threading.Thread(target=flood, daemon=True)
        flooding.start()
        try:
            # then correct requests are still answered, every one of them.
            reads = 0
            while sent[0] < 5000 or reads < 10:
                result = read()
                self.assertEqual((result.returncode, result.stdout), (0, "count 0 data\n"), result.stderr)
                reads += 1
                self.assertTrue(flooding.is_alive())
        finally:
            stop.set()
            flooding.join(TIMEOUT)
        print("%d broken datagrams sent while %d Read calls were answered" % (sent[0], reads))
        self.assertIsNone(wardex.process.poll())
        self.assertEqual(wardex.stop(), 0)


if __name__ == "__main__":
    if not os.path.isfile(WARDEX) or not SYSROOT:
        print("WARDEX_BIN_DIR and WARDEX_SYSROOT must name a build with a sysroot")
        sys.exit(2)
    names = ["test_" + name for name in sys.argv[1:]] or None
    cases = [WardexProcess, WardexUnderFaults]

    def case(name):
        return next(c for c in cases if hasattr(c, name))(name)
    suite = (unittest.TestSuite(case(name) for name in names) if names
             else unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in cases))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
