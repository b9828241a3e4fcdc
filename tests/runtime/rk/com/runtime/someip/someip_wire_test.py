#!/usr/bin/python3
"""Wire test of the data identifier service over SOME/IP, with messages built
by scapy's SOME/IP layer and sent over a plain UDP socket.

    someip_wire_test.py --server <executable>   starts the executable, which
        prints "ready <port> ..." once listening, and stops it when done
    someip_wire_test.py --port <port>            tests a server already running

A Read request is answered with every header byte as expected and the result
payload; malformed datagrams get no answer; an unknown service or method and
wrong protocol or interface versions get the documented error; the server
still answers a Read afterwards.
"""
import argparse
import socket
import struct
import subprocess
import sys
import unittest

from scapy.contrib.automotive.someip import SOMEIP
from scapy.packet import Raw

PORT = None
EXPECTED_READ = None
TIMEOUT_S = 10.0

EMPTY_MAP = b"\x00\x00\x00\x00"


def request(session, srv_id=0x0401, method_id=0x0001, proto_ver=1, iface_ver=1, msg_type=0x00, payload=EMPTY_MAP):
    return bytes(SOMEIP(srv_id=srv_id, method_id=method_id, client_id=0x7E57, session_id=session,
                        proto_ver=proto_ver, iface_ver=iface_ver, msg_type=msg_type, retcode=0) / Raw(payload))


class DataIdentifierOnTheWire(unittest.TestCase):
    def setUp(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(TIMEOUT_S)

    def tearDown(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendto(data, ("127.0.0.1", PORT))

    def receive(self):
        data, sender = self.sock.recvfrom(65536)
        self.assertEqual(sender, ("127.0.0.1", PORT), "replies come from the service's endpoint")
        return data

    def assert_read_answered(self, session):
        data = self.receive()
        reply = SOMEIP(data)
        self.assertEqual(reply.srv_id, 0x0401)
        self.assertEqual(reply.method_id, 0x0001)
        self.assertEqual(reply.len, 8 + len(EXPECTED_READ))
        self.assertEqual(reply.client_id, 0x7E57)
        self.assertEqual(reply.session_id, session)
        self.assertEqual(reply.proto_ver, 0x01)
        self.assertEqual(reply.iface_ver, 0x01)
        self.assertEqual(reply.msg_type, 0x80)
        self.assertEqual(reply.retcode, 0x00)
        self.assertEqual(bytes(reply.payload), EXPECTED_READ)
        self.assertEqual(data, struct.pack(">HHIHHBBBB", 0x0401, 0x0001, 8 + len(EXPECTED_READ), 0x7E57, session,
                                           1, 1, 0x80, 0x00) + EXPECTED_READ)

    def assert_error(self, sent, code):
        data = self.receive()
        self.assertEqual(len(data), 16, "an error carries no payload")
        reply = SOMEIP(data)
        self.assertEqual(data[0:4], sent[0:4], "message id copied")
        self.assertEqual(reply.len, 8)
        self.assertEqual(data[8:12], sent[8:12], "request id copied")
        self.assertEqual(reply.proto_ver, 0x01)
        self.assertEqual(reply.iface_ver, sent[13], "interface version copied")
        self.assertEqual(reply.msg_type, 0x81)
        self.assertEqual(reply.retcode, code)

    def test_read_is_answered_byte_for_byte(self):
        self.send(request(0x0001))
        self.assert_read_answered(0x0001)

    def test_malformed_datagrams_are_not_answered(self):
        good = request(0x0010)
        truncated = good[:10]
        length_too_long = good[:4] + struct.pack(">I", 0x40) + good[8:]
        length_too_short = good[:4] + struct.pack(">I", 7) + good[8:]
        bytes_after_the_message = good + b"\x99"
        for session, bad in enumerate([truncated, length_too_long, length_too_short, bytes_after_the_message], 0x20):
            with self.subTest(bad=bad.hex()):
                self.send(bad)
                # One thread answers in arrival order: the first reply must be this Read's.
                self.send(request(session))
                self.assert_read_answered(session)

    def test_refused_requests_get_the_documented_error(self):
        cases = [
            ("unknown service", request(0x0030, srv_id=0x0402), 0x02),
            ("unknown method", request(0x0031, method_id=0x0005), 0x03),
            ("protocol version 2", request(0x0032, proto_ver=2), 0x07),
            ("interface version 9", request(0x0033, iface_ver=9), 0x08),
        ]
        for what, sent, code in cases:
            with self.subTest(what=what):
                self.send(sent)
                self.assert_error(sent, code)
        self.send(request(0x0040))
        self.assert_read_answered(0x0040)

    def test_fire_and_forget_gets_no_error(self):
        self.send(request(0x0050, method_id=0x0005, msg_type=0x01))
        self.send(request(0x0051, proto_ver=2, msg_type=0x01))
        self.send(request(0x0052))
        self.assert_read_answered(0x0052)


def main():
    global PORT, EXPECTED_READ
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--server")
    group.add_argument("--port", type=int)
    parser.add_argument("--expected-read", default="00000001010000000 21234".replace(" ", ""),
                        help="the Read result payload in hex")
    args, rest = parser.parse_known_args()
    EXPECTED_READ = bytes.fromhex(args.expected_read)
    server = None
    try:
        if args.server:
            server = subprocess.Popen([args.server, "0"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            line = server.stdout.readline().split()
            if len(line) < 2 or line[0] != "ready":
                print("server did not start:", line, file=sys.stderr)
                return 1
            PORT = int(line[1])
        else:
            PORT = args.port
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
        return 0 if result.wasSuccessful() else 1
    finally:
        if server is not None:
            server.stdin.close()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


if __name__ == "__main__":
    sys.exit(main())
