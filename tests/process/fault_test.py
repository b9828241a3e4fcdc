#!/usr/bin/python3
"""Fault tests: the real wardex against platform peers that stall, never read,
answer out of turn, or a DLT daemon that is stopped.

Each case states the sound behaviour: failures keep being handled, each
costing at most its time-out; a failure delivered after a stall is handled
exactly once; SIGTERM ends wardex with exit code 0 within 1 s whatever the
peers do. Usage: fault_test.py <CaseName>, with the environment of
wardex_process_test.py.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wardex_process_test as process  # noqa: E402
from wardex_process_test import CHECKPOINT, RUN_DIR, SIM, TIMEOUT, Platform, Wardex, application  # noqa: E402

# A sanitized wardex is slower, and holds freed memory in quarantine.
SANITIZED = bool(os.environ.get("WARDEX_SANITIZE"))
# How long SIGTERM may take to end wardex, whatever its peers do.
EXIT_BUDGET = 3.0 if SANITIZED else 1.0
RECOVERY_FAILED = "Unexpected system_error during Recovery Action in Wardex monitor of the Wardex:  "


class Fake_daemon:
    """A PHM or EM played by the test on its socket: answer(line) gives the
    bytes to send back (None: nothing); with read=False it accepts and never
    reads. send(bytes) writes to the connections that subscribed, or to all
    when it reads nothing."""

    def __init__(self, name, answer=None, read=True):
        self.path = os.path.join(RUN_DIR, name)
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(64)
        self.answer, self.read = answer, read
        self.lines, self.connections, self.subscribers = [], [], []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections.append(connection)
            if self.read:
                threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        pending = b""
        while True:
            try:
                chunk = connection.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode()
                with self.lock:
                    self.lines.append(line)
                    if line.startswith("subscribe ") and connection not in self.subscribers:
                        self.subscribers.append(connection)
                reply = self.answer(line) if self.answer else None
                if reply is not None:
                    connection.sendall(reply.encode())

    def send(self, data):
        with self.lock:
            connections = list(self.subscribers if self.read else self.connections)
        for connection in connections:
            connection.sendall(data)

    def close(self):
        self.listener.close()
        with self.lock:
            for connection in self.connections:
                connection.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


def answer_em(line, text="ok"):
    """EM's answer to one identified request."""
    identity = re.match(r"request (\d+) ", line)
    return "answer %s %s\n" % (identity.group(1), text) if identity else "error 74 unreadable\n"


class Private_dlt_daemon:
    """A dlt-daemon of this test's own: FIFO directory, control socket and
    TCP port."""

    def __init__(self, folder):
        shutil.rmtree(folder, ignore_errors=True)
        self.pipe_dir = os.path.join(folder, "run")
        os.makedirs(self.pipe_dir)
        probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        probe.bind(("::1", 0))
        port = probe.getsockname()[1]
        probe.close()
        with open(os.path.join(folder, "dlt.conf"), "w") as conf:
            conf.write("ECUId = ECU1\nLoggingMode = 0\nLoggingLevel = 6\nControlSocketPath = %s\n"
                       "PersistanceStoragePath = %s\nUDPConnectionSetup = 0\nBindAddress = ::1\n"
                       % (os.path.join(folder, "ctrl.sock"), folder))
        self.process = subprocess.Popen(["dlt-daemon", "-c", os.path.join(folder, "dlt.conf"), "-t", self.pipe_dir,
                                         "-p", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(os.path.join(self.pipe_dir, "dlt")):
            if time.monotonic() > deadline:
                raise AssertionError("dlt-daemon did not start")
            time.sleep(0.01)

    def stop(self):
        self.process.send_signal(signal.SIGCONT)
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=TIMEOUT)


class Faults(process.ProcessCase):
    """One case per peer misbehaving; every case ends with the exit budget."""

    def part(self, only):
        platform = Platform(only=only)
        self.children.append(platform)
        return platform

    def wardex(self, **options):
        wardex = Wardex(**options)
        self.children.append(wardex)
        return wardex

    def stall(self, child):
        child.process.send_signal(signal.SIGSTOP)
        self.addCleanup(child.process.send_signal, signal.SIGCONT)

    def assert_ends_in_time(self, wardex):
        sent = time.monotonic()
        code = wardex.stop()
        took = time.monotonic() - sent
        print("exit code %d %.3f s after SIGTERM" % (code, took))
        self.assertEqual(code, 0)
        self.assertLess(took, EXIT_BUDGET)

    def count(self, wardex, level, text):
        return sum(1 for _, _, lvl, txt in wardex.messages() if lvl == level and txt == text)

    def test_StalledEmCostsEachRequestItsTimeOutAndNeverActsLater(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=1, errors=(),
                                                     limit=("RestartApplication", "DLT"))]}]})
        self.part("phm")
        em = self.part("exec")
        wardex = self.wardex()
        self.supervising(wardex)
        em.index_of("exec state Wardex kRunning")
        # Given EM stopped, two failures each fail after the request's time-out,
        timed_out = RECOVERY_FAILED + "no answer from execution management to restart App1: Connection timed out"
        self.stall(em)
        self.inject("App1_CB", count=2)
        first, at_first = wardex.wait_for_message("error", timed_out)
        _, at_second = wardex.wait_for_message("error", timed_out, start=first + 1)
        print("the second failure failed %.2f s after the first" % (at_second - at_first))
        self.assertLess(at_second - at_first, 3.0)
        # and when EM resumes it carries out neither; the next failure's restart goes through.
        em.process.send_signal(signal.SIGCONT)
        self.inject("App1_CB")
        em.index_of("exec restart App1")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  3 times (Max allowed for this App:  1 ).")
        self.assertEqual(em.count("exec restart App1"), 1)
        late = [t for _, _, lvl, t in wardex.messages() if lvl == "warn" and t.startswith("Ignored line from EM:")]
        self.assertEqual(late, ["Ignored line from EM: answer %d error 62 request expired late answer" % i
                                for i in (1, 2)])
        # A shutdown while EM is stopped and a restart waits for it.
        self.stall(em)
        mark = len(wardex.output.snapshot())
        self.inject("App1_CB")
        wardex.wait_for_message("info", "Restarting App1...", start=mark)
        self.assert_ends_in_time(wardex)

    def test_StalledPhmLosesNoFailureAndHoldsUpNoShutdown(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=1, errors=(),
                                                     limit=("RestartApplication",))]}]})
        phm = self.part("phm")
        em = self.part("exec")
        wardex = self.wardex()
        self.supervising(wardex)
        phm.index_of("phm subscribe App1_CB")
        # Given a failure sent while PHM is stopped,
        self.stall(phm)
        injector = subprocess.Popen([SIM, "phm-failure", "App1_CB"], stdout=subprocess.DEVNULL)
        time.sleep(1.0)
        phm.process.send_signal(signal.SIGCONT)
        self.assertEqual(injector.wait(TIMEOUT), 0)
        # it is handled exactly once when PHM resumes.
        em.index_of("exec restart App1")
        phm.index_of(CHECKPOINT, len(phm.output.snapshot()))
        time.sleep(0.5)
        self.assertEqual(em.count("exec restart App1"), 1)
        self.stall(phm)
        time.sleep(0.6)
        self.assert_ends_in_time(wardex)
        em.index_of("exec state Wardex kShuttingdown")

    def test_PhmThatNeverReadsHoldsUpNeitherFailuresNorShutdown(self):
        names = ["CB%04d_" % i + "n" * 500 for i in range(2000)]
        self.install({"DIDs": [{"Apps": [dict(application("App1", names[0], allowed=100), callbackNames=names)]}]})
        self.part("exec")
        phm = Fake_daemon("phm.sock", read=False)
        self.addCleanup(phm.close)
        wardex = self.wardex()
        self.supervising(wardex)
        # Given a PHM that takes none of the 1 MB of subscriptions, a failure it sends is handled,
        deadline = time.monotonic() + TIMEOUT
        while len(phm.connections) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        phm.send(("failure %s\n" % names[1999]).encode())
        wardex.wait_for_message("info", "Wardex Callback is called for the application ' App1 ' number of already "
                                        "reported errors:  0")
        # and SIGTERM still ends wardex at once.
        self.assert_ends_in_time(wardex)

    def test_PhmBurstIsHandledLineByLineInBoundedMemory(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=100)]}]})
        self.part("exec")
        phm = Fake_daemon("phm.sock")
        self.addCleanup(phm.close)
        wardex = self.wardex()
        self.supervising(wardex)
        deadline = time.monotonic() + TIMEOUT
        while "subscribe App1_CB" not in phm.lines and time.monotonic() < deadline:
            time.sleep(0.01)

        def resident_kb(field):
            with open("/proc/%d/status" % wardex.process.pid) as status:
                return int(re.search(field + r":\s+(\d+) kB", status.read()).group(1))
        with open("/proc/%d/clear_refs" % wardex.process.pid, "w") as clear:
            clear.write("5")  # the peak so far is forgotten
        before = resident_kb("VmRSS")
        # Given 48 MB of failures under a name nobody registered, then one under App1's name,
        phm.send(b"failure Other\n" * ((48 << 20) // 14) + b"failure App1_CB\n")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  1 times (Max allowed for this App:  100 ).")
        grown = resident_kb("VmHWM") - before
        print("peak RSS grew by %d kB during the burst" % grown)
        if not SANITIZED:
            self.assertLess(grown, 8 * 1024)
        self.assert_ends_in_time(wardex)

    @unittest.skipUnless(shutil.which("dlt-daemon"), "needs dlt-daemon")
    def test_StoppedDltDaemonHoldsUpNoShutdown(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=10000, errors=("DLT",))]}]})
        platform = self.part(None)
        daemon = Private_dlt_daemon(os.path.join(process.SYSROOT, "dlt-daemon"))
        self.addCleanup(daemon.stop)
        wardex = self.wardex(dlt_pipe_dir=daemon.pipe_dir)
        self.supervising(wardex)
        platform.index_of("phm subscribe App1_CB")
        # Given a stopped DLT daemon whose FIFO fills with the messages of 2000 failures,
        self.stall(daemon)
        self.inject("App1_CB", count=2000)
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  2000 times (Max allowed for this "
                                         "App:  10000 ).")
        # SIGTERM ends wardex in time, and EM still hears of the shutdown.
        self.assert_ends_in_time(wardex)
        platform.index_of("exec state Wardex kShuttingdown")

    def test_CallbackNameListedTwiceCountsEachFailureOnce(self):
        self.install({"DIDs": [{"Apps": [dict(application("App1", "A_CB", allowed=2, limit=("RestartApplication",)),
                                              callbackNames=["A_CB", "A_CB"])]}]})
        platform = self.part(None)
        wardex = self.wardex()
        wardex.wait_for_message("warn", "Callback name listed twice, registered once: A_CB of App1")
        self.supervising(wardex)
        platform.index_of("phm subscribe A_CB")
        self.inject("A_CB")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  1 times (Max allowed for this App:  2 ).")
        self.inject("A_CB")
        platform.index_of("exec restart App1")
        time.sleep(0.5)
        self.assertEqual(platform.count("exec restart App1"), 1)
        self.assertEqual(platform.count("phm subscribe A_CB"), 1)
        called = "Wardex Callback is called for the application ' App1 ' number of already reported errors:  %d"
        self.assertEqual([self.count(wardex, "info", called % n) for n in (0, 1, 2)], [1, 1, 0])
        self.assert_ends_in_time(wardex)

    def test_UnsolicitedEmLinesAreLoggedAndDroppedAndAnswersStayInStep(self):
        self.install({"DIDs": [{"Apps": [application("App1", "App1_CB", allowed=1, errors=(),
                                                     limit=("RestartApplication", "DLT"))]}]})
        restarts = []

        def answer(line):
            # The first restart is refused, after an answer nobody asked for and an
            # "ok" without identity; the second is done.
            if line.endswith(" restart App1"):
                restarts.append(line)
                if len(restarts) == 1:
                    return "answer 999 ok\nok\n" + answer_em(line, "error 1 not yours")
            return answer_em(line)
        em = Fake_daemon("exec.sock", answer)
        self.addCleanup(em.close)
        phm = self.part("phm")
        wardex = self.wardex()
        self.supervising(wardex)
        phm.index_of("phm subscribe App1_CB")
        self.inject("App1_CB")
        wardex.wait_for_message("error", RECOVERY_FAILED + "execution management refused restart App1: not yours: "
                                                           "Operation not permitted")
        self.inject("App1_CB")
        wardex.wait_for_message("error", "ERROR: App1 not working properly for  2 times (Max allowed for this App:  1 ).")
        self.assertEqual(self.count(wardex, "warn", "Ignored line from EM: answer 999 ok unsolicited answer"), 1)
        self.assertEqual(self.count(wardex, "warn", "Ignored line from EM: ok answer without identity"), 1)
        self.assertEqual(len([m for m in wardex.messages() if m[3].startswith("ERROR: App1")]), 1)
        self.assert_ends_in_time(wardex)


if __name__ == "__main__":
    if not os.path.isfile(process.WARDEX) or not process.SYSROOT:
        print("WARDEX_BIN_DIR and WARDEX_SYSROOT must name a build with a sysroot")
        sys.exit(2)
    names = ["test_" + name for name in sys.argv[1:]] or None
    suite = (unittest.TestSuite(Faults(name) for name in names) if names
             else unittest.defaultTestLoader.loadTestsFromTestCase(Faults))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
