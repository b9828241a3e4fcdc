#!/usr/bin/python3
"""Process tests: the real wardex executable on the simulated platform.

Usage: wardex_process_test.py [<TestCaseName>...], with the environment
described in harness.py.
"""
import os
import signal
import subprocess

from harness import (CHECKPOINT, CONFIG_BASE, SIM, TIMEOUT, Child, Platform, ProcessCase,
                     Wardex, application, main)

DID_OFFERED = ('{"1_incident":{"1_id":"Offer_service","2_service_id":{"1_id":"Service_id","string":'
               '"orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets"}')
DTC_MONITOR = '"2_service_id":{"1_id":"Service_id","string":"rk::dm::dem::DiagnosticMonitor"}'
DTC_OFFERED = '{"1_incident":{"1_id":"Offer_service",' + DTC_MONITOR
DTC_WITHDRAWN = '{"1_incident":{"1_id":"Stop_offer_service",' + DTC_MONITOR
DTC_ANNOUNCED = "Offering Service for DTC: InitMonitorReason: 0, countFailed: 0, countPassed: 0"


def line_with(wardex, text):
    """Index of the first output line that contains text (-1: none)."""
    return next((i for i, (_, line) in enumerate(wardex.output.snapshot()) if text in line), -1)


def did_read():
    result = subprocess.run([SIM, "did-read"], capture_output=True, text=True, timeout=TIMEOUT)
    return result.returncode, result.stdout.strip()


class WardexProcess(ProcessCase):
    def test_FailureUnderAConfiguredNameReachesEmAsTheConfiguredReaction(self):
        self.install_apps(application("App1", "App1_CB", allowed=2),
                          application("App2", "App2_CB", allowed=1, errors=(), limit=("TerminateApplication",)))
        platform, wardex = self.start()
        # EM hears that wardex runs before PHM hears of any callback name.
        running = platform.index_of("exec state Wardex kRunning")
        self.assertLess(running, platform.index_of("phm subscribe App1_CB"))
        wardex.wait_for_message("info", "Wardex version 1.4.1 has started!")
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
        platform.index_of("exec state Wardex kShuttingdown", running)
        # No reaction names "DTC": the DTC monitor is not offered.
        self.assertEqual(line_with(wardex, DTC_OFFERED), -1)
        self.assertEqual(line_with(wardex, DTC_ANNOUNCED), -1)

    def test_TerminationSignalsEndTheProcessWithExitCodeZero(self):
        self.install_apps(application("App1", "App1_CB"))
        platform = self.child(Platform())
        # SIGTERM is followed at once by SIGINT, which arrives while the first
        # one is being acted on: each is reported once, before the teardown.
        cases = [(signal.SIGINT,), (signal.SIGTERM, signal.SIGINT), (signal.SIGABRT,)]
        # GCC 12's ThreadSanitizer takes SIGABRT for a fault of the thread it
        # lands on and runs the handler there at once, even inside its own
        # runtime, where it may crash; the other builds test SIGABRT.
        if os.environ.get("WARDEX_SANITIZE") == "thread":
            cases.pop()
        for signums in cases:
            wardex = self.child(Wardex())
            self.supervising(wardex)
            for signum in signums:
                wardex.process.send_signal(signum)
            self.assertEqual(wardex.process.wait(timeout=TIMEOUT), 0)
            texts = wardex.texts()
            self.assertIn(("info", "Stopping Callback Client. Terminating."), texts)
            reports = [("warn", "received signal:  %d" % signum) for signum in signums]
            self.assertEqual([texts.count(report) for report in reports], [1] * len(signums))
            # The signal that starts the teardown is reported before it. Of
            # two sent at once the kernel may deliver either first.
            self.assertLess(min(map(texts.index, reports)), texts.index(("debug", "Clear Applications from Wardex MonitorList ")))
        self.assertEqual(platform.count("exec state Wardex kShuttingdown"), len(cases))

    def test_UnreadableConfigurationKeepsTheProcessAliveUntilASignal(self):
        opening = "Failed to open JSON file '%s.json'." % CONFIG_BASE
        parsing = ("Failed to parse JSON file '%sQZ.json': [json.exception.parse_error.101] parse error at line 1, "
                   "column 21: syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal"
                   % CONFIG_BASE)
        for document, reason in ((None, opening), ('{"DIDs": [{"Apps": [}]}', parsing)):
            with self.subTest(reason=reason[:24]):
                if document:
                    self.install(document, host="QZ")
                platform, wardex = self.start()
                wardex.wait_for_message("error", "Unexpected exception during reading the Wardex_InitialData.json:  "
                                        + reason)
                wardex.wait_for_message("error", "Error importing from JSON file. Make sure you are using the "
                                                 "correct database format and check above for errors.")
                shutting = platform.index_of("exec state Wardex kShuttingdown")
                # The alive supervision goes on, and so does the process.
                platform.index_of(CHECKPOINT, platform.index_of(CHECKPOINT, shutting + 1) + 1)
                self.assertIsNone(wardex.process.poll())
                self.assertEqual(wardex.stop(signal.SIGINT), 0)
                self.assertEqual(platform.stop(), 0)
                self.assertFalse(any(line.startswith("phm subscribe") for _, line in platform.output.snapshot()))
                texts = [text for _, text in wardex.texts()]
                # The data identifier is offered all the same, and withdrawn
                # after the signal has been reported.
                self.assertLess(line_with(wardex, DID_OFFERED), line_with(wardex, reason[:24]))
                destroyed = texts.index("~DataIdentifier_NumberofECUResetsSkeletonImpl")
                self.assertLess(texts.index("received signal:  2"), destroyed)
                self.assertLess(line_with(wardex, '{"1_incident":{"1_id":"Stop_offer_service"'),
                                line_with(wardex, "~DataIdentifier_NumberofECUResetsSkeletonImpl"))

    def test_MeasuredValuesAreReadOverSomeIpAndLeaveWhenHealed(self):
        first = application("App1", "App1_CB", allowed=100, healing=0, errors=("Messwert",))
        second = dict(application("App2", "App2_CB", allowed=100, healing=1, errors=("Messwert",)), SWID="ABCDEF")
        self.install_apps(first, second)
        platform, wardex = self.start()
        self.supervising(wardex)
        self.assertEqual(did_read(), (0, "count 0 data"))
        # Right after an aging pass, so both failures are counted before the next one.
        index, _ = wardex.wait_for_message("debug", "Listening for signals ")
        self.inject("App1_CB")
        wardex.wait_for_message("info", "Messwert for  App1 is added. (SWID: 0x1234string to hex:  18 52 ).")
        self.inject("App2_CB")
        wardex.wait_for_message("info", "Messwert for  App2 is added. (SWID: ABCDEFstring to hex:  171 205 ).")
        # In list order, whatever the order of the failures.
        self.assertEqual(did_read(), (0, "count 2 data 12 34 ab cd ef"))
        # App1 heals at the next pass (healing time 0); App2 needs a minute.
        healed, _ = wardex.wait_for_message("debug", "Application  App1  got well again", start=index)
        self.assertEqual(did_read(), (0, "count 1 data ab cd ef"))
        # The count starts again from zero: the next failure is the first one.
        self.inject("App1_CB")
        wardex.wait_for_message("info", "Wardex Callback is called for the application ' App1 ' number of "
                                        "already reported errors:  0", start=healed)
        self.assertEqual(wardex.stop(), 0)

    def test_DtcVerdictsReachTheDiagnosticEventManager(self):
        self.install_apps(application("App1", "App1_CB", allowed=100, healing=0, errors=("DTC",)))
        platform, wardex = self.start()
        dem = self.child(Child([SIM, "dem-listen"]))
        self.supervising(wardex)
        # Offered, then announced, before the callbacks are listened for.
        offered = line_with(wardex, DTC_OFFERED)
        self.assertLess(line_with(wardex, DID_OFFERED), offered)
        self.assertLess(offered, line_with(wardex, DTC_ANNOUNCED))
        self.assertLess(line_with(wardex, DTC_ANNOUNCED), line_with(wardex, "Listening for Callbacks..."))
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
        dem.index_of("dem monitor-action kPassed", dem.index_of("dem monitor-action kPassed", failed) + 1)
        # The monitor is withdrawn after main has returned, and its teardown is logged.
        self.assertEqual(wardex.stop(), 0)
        wardex.texts()
        self.assertLess(line_with(wardex, "~DataIdentifier_NumberofECUResetsSkeletonImpl"),
                        line_with(wardex, DTC_WITHDRAWN))
        self.assertLess(line_with(wardex, DTC_WITHDRAWN), line_with(wardex, "~DiagnosticMonitor"))



if __name__ == "__main__":
    main([WardexProcess])
