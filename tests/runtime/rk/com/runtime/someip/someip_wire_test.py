#!/usr/bin/python3
"""Wire test of the data identifier service, with requests built by scapy's
SOME/IP layer: a Read is answered byte for byte, malformed datagrams and
fire-and-forget requests get no answer, refused requests get their error.

    someip_wire_test.py --server <someip_test_server>
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
READ_RESULT = bytes.fromhex("0000000101000000021234")


def request(session, srv_id=0x0401, method_id=0x0001, proto_ver=1, iface_ver=1, msg_type=0x00):
    return bytes(SOMEIP(srv_id=srv_id, method_id=method_id, client_id=0x7E57, session_id=session,
                        proto_ver=proto_ver, iface_ver=iface_ver, msg_type=msg_type, retcode=0) / Raw(b"\0\0\0\0"))


def header(sent, length, msg_type, code):
    return sent[0:4] + struct.pack(">I", length) + sent[8:12] + bytes([1, sent[13], msg_type, code])


class DataIdentifierOnTheWire(unittest.TestCase):
    def setUp(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(10.0)

    def tearDown(self):
        self.sock.close()

    def exchange(self, sent, expected):
        self.sock.sendto(sent, ("127.0.0.1", PORT))
        data, sender = self.sock.recvfrom(65536)
        self.assertEqual(sender, ("127.0.0.1", PORT), "replies come from the service's endpoint")
        self.assertEqual(data.hex(), expected.hex())

    def assert_read_answered(self, session):
        sent = request(session)
        self.exchange(sent, header(sent, 8 + len(READ_RESULT), 0x80, 0) + READ_RESULT)

    def test_malformed_and_fire_and_forget_datagrams_are_not_answered(self):
        good = request(0x0010)
        unanswered = [good[:10], good[:4] + struct.pack(">I", 0x40) + good[8:], good[:4] + struct.pack(">I", 7) + good[8:],
                      good + b"\x99", request(0x11, method_id=5, msg_type=0x01), request(0x12, proto_ver=2, msg_type=0x01)]
        for bad in unanswered:
            self.sock.sendto(bad, ("127.0.0.1", PORT))
        # One thread answers in arrival order: the first reply must be this Read's.
        self.assert_read_answered(0x0020)

    def test_refused_requests_get_their_error_without_payload(self):
        for sent, code in [(request(0x30, srv_id=0x0402), 0x02), (request(0x31, method_id=5), 0x03),
                           (request(0x32, proto_ver=2), 0x07), (request(0x33, iface_ver=9), 0x08)]:
            with self.subTest(code=code):
                self.exchange(sent, header(sent, 8, 0x81, code))
        self.assert_read_answered(0x0040)


def main():
    global PORT
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    args, rest = parser.parse_known_args()
    server = subprocess.Popen([args.server, "0"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline().split()
        if len(line) < 2 or line[0] != "ready":
            print("server did not start:", line, file=sys.stderr)
            return 1
        PORT = int(line[1])
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
        return 0 if result.wasSuccessful() else 1
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


if __name__ == "__main__":
    sys.exit(main())
