#!/usr/bin/python3
"""adaptive-sim's SOME/IP side against stand-ins on private ports.

A deployment with private ports is installed in the build's sysroot for the
duration of the run (the tests that share the sysroot hold the same lock):
- `adaptive-sim did-read` and `did-cancel` reach a data identifier stand-in
  (someip_test_server) and print what it answered;
- `adaptive-sim did-read` without a server reports the instance not available;
- `adaptive-sim dem-listen` prints each MonitorAction verdict the stand-in sends;
- `adaptive-sim platform` answers a hand-built RequestRestart and prints
  "sm restart-request <id>".
Environment: WARDEX_BIN_DIR, WARDEX_SYSROOT, WARDEX_SHIPPED_DEPLOYMENT, SOMEIP_PORT_BASE.
"""
import json
import os
import socket
import struct
import subprocess
import sys
import unittest

BIN_DIR = os.environ.get("WARDEX_BIN_DIR", "")
SYSROOT = os.environ.get("WARDEX_SYSROOT", "")
SHIPPED = os.environ.get("WARDEX_SHIPPED_DEPLOYMENT", "")
PORT_BASE = int(os.environ.get("SOMEIP_PORT_BASE", "0"))
SIM = os.path.join(BIN_DIR, "adaptive-sim")
SERVER = os.path.join(BIN_DIR, "someip_test_server")
DEPLOYMENT = os.path.join(SYSROOT, "etc", "adaptive", "com_deployment.json")

DID_PORT = PORT_BASE + 2
DSA_PORT = PORT_BASE + 3
SD_PORT = PORT_BASE + 90
SD_GROUP = "239.79.%d.%d" % ((os.getpid() >> 8) & 0xFF, os.getpid() & 0xFF)


def install_deployment():
    with open(SHIPPED) as f:
        deployment = json.load(f)
    deployment["call_timeout_ms"] = 1000
    deployment["service_discovery"]["port"] = SD_PORT
    deployment["service_discovery"]["multicast"] = SD_GROUP
    for service, port in zip(deployment["services"], (PORT_BASE + 1, DID_PORT, DSA_PORT)):
        service["instances"][0]["port"] = port
    os.makedirs(os.path.dirname(DEPLOYMENT), exist_ok=True)
    with open(DEPLOYMENT, "w") as f:
        json.dump(deployment, f)


class Stand_in:
    def __init__(self):
        self.process = subprocess.Popen([SERVER, str(DID_PORT), str(SD_PORT), SD_GROUP], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if line.split()[:2] != ["ready", str(DID_PORT)]:
            raise AssertionError("stand-in did not start: %r" % line)

    def command(self, text, answer):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if line.strip() != answer:
            raise AssertionError("stand-in answered %r to %r" % (line, text))

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def sim(*arguments):
    return subprocess.run([SIM, *arguments], capture_output=True, text=True, timeout=30)


class AdaptiveSimOverSomeip(unittest.TestCase):
    def test_did_read_prints_count_and_data(self):
        server = Stand_in()
        try:
            result = sim("did-read")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, "count 1 data 12 34\n")
            cancelled = sim("did-cancel")
            self.assertEqual(cancelled.returncode, 0, cancelled.stderr)
            self.assertEqual(cancelled.stdout, "cancelled\n")
        finally:
            server.stop()

    def test_did_read_without_server_reports_the_instance_not_available(self):
        result = sim("did-read")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn("Read failed: return code 0xFF", result.stderr)

    def test_dem_listen_prints_each_verdict(self):
        server = Stand_in()
        listener = subprocess.Popen([SIM, "dem-listen"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            server.command("wait-subscriber", "subscribed")
            for value in (1, 0, 0):
                server.command("event %d" % value, "sent %d" % value)
            lines = [listener.stdout.readline() for _ in range(3)]
            self.assertEqual(lines, ["dem monitor-action kFailed\n", "dem monitor-action kPassed\n",
                                     "dem monitor-action kPassed\n"])
        finally:
            listener.terminate()
            self.assertEqual(listener.wait(timeout=10), 0)
            server.stop()

    def test_platform_state_manager_prints_restart_requests(self):
        platform = subprocess.Popen([SIM, "platform"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("127.0.0.1", 0))
            sock.settimeout(1.0)
            request = struct.pack(">HHIHHBBBBB", 0x0A01, 0x0000, 9, 0x5744, 1, 1, 1, 0x00, 0x00, 7)
            reply = None
            # The platform may not listen yet; the request is repeated until answered.
            for _ in range(20):
                sock.sendto(request, ("127.0.0.2", DSA_PORT))
                try:
                    reply, _ = sock.recvfrom(1024)
                    break
                except socket.timeout:
                    continue
            self.assertEqual(reply, struct.pack(">HHIHHBBBB", 0x0A01, 0x0000, 8, 0x5744, 1, 1, 1, 0x80, 0x00))
            line = platform.stdout.readline()
            while line and not line.startswith("sm "):
                line = platform.stdout.readline()
            self.assertEqual(line, "sm restart-request 7\n")
        finally:
            platform.terminate()
            platform.wait(timeout=10)


if __name__ == "__main__":
    if not (BIN_DIR and SYSROOT and SHIPPED and PORT_BASE):
        print("WARDEX_BIN_DIR, WARDEX_SYSROOT, WARDEX_SHIPPED_DEPLOYMENT and SOMEIP_PORT_BASE must be set")
        sys.exit(2)
    install_deployment()
    try:
        result = unittest.main(exit=False, verbosity=2).result
    finally:
        os.remove(DEPLOYMENT)
    sys.exit(0 if result.wasSuccessful() else 1)
