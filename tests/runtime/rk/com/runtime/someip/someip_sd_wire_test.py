#!/usr/bin/python3
"""Wire test of service discovery and events, with SD messages built by
scapy and sent from a plain UDP socket to the discovery port of a server
(someip_test_server) that offers the DTC monitor.

    someip_sd_wire_test.py --server <executable>

A SubscribeEventgroup for MonitorAction is acknowledged with the entry's
fields, and the next verdict arrives as NOTIFICATION bytes; an unknown
eventgroup is refused (Nack); a StopSubscribe ends the notifications; a
FindService is answered by an offer naming the monitor's endpoint;
malformed SD messages (entry array past the end, option index out of range,
option past its array) get no answer and the server carries on.
"""
import argparse
import os
import socket
import struct
import subprocess
import sys
import unittest

from scapy.contrib.automotive.someip import SOMEIP, SD, SDEntry_EventGroup, SDEntry_Service, SDOption_IP4_EndPoint

SERVER = None
TIMEOUT_S = 10.0


def sd_message(session, entries, options=()):
    return bytes(SOMEIP(srv_id=0xFFFF, method_id=0x8100, client_id=0, session_id=session, iface_ver=1, msg_type=2)
                 / SD(flags=0xC0, entry_array=list(entries), option_array=list(options)))


def subscribe(port, eventgroup=1, ttl=3):
    return SDEntry_EventGroup(type=0x06, srv_id=0x0D01, inst_id=1, major_ver=1, ttl=ttl, eventgroup_id=eventgroup,
                              index_1=0, n_opt_1=1), SDOption_IP4_EndPoint(addr="127.0.0.1", l4_proto=0x11, port=port)


def ack_bytes(session, eventgroup, ttl, reboot=True):
    payload = bytes([0xC0 if reboot else 0x40, 0, 0, 0]) + struct.pack(">I", 16)
    payload += bytes([0x07, 0, 0, 0]) + struct.pack(">HHB", 0x0D01, 1, 1) + ttl.to_bytes(3, "big")
    payload += bytes([0, 0]) + struct.pack(">H", eventgroup) + struct.pack(">I", 0)
    return struct.pack(">HHIHHBBBB", 0xFFFF, 0x8100, 8 + len(payload), 0, session, 1, 1, 2, 0) + payload


class Server:
    def __init__(self):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        sd_port = probe.getsockname()[1]
        probe.close()
        pid = os.getpid()
        group = "239.77.%d.%d" % ((pid >> 8) & 0xFF, pid & 0xFF)
        self.process = subprocess.Popen([SERVER, "0", str(sd_port), group], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().split()
        if len(line) != 4 or line[0] != "ready":
            raise AssertionError("server did not start: %r" % line)
        self.monitor_port = int(line[2])
        self.discovery_port = int(line[3])

    def event(self, value):
        self.process.stdin.write("event %d\n" % value)
        self.process.stdin.flush()
        self.assert_line("sent %d" % value)

    def assert_line(self, expected):
        line = self.process.stdout.readline().strip()
        if line != expected:
            raise AssertionError("server printed %r, expected %r" % (line, expected))

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("server did not stop when its input closed")
        if self.process.returncode != 0:
            raise AssertionError("server ended with %d" % self.process.returncode)


class DiscoveryOnTheWire(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(TIMEOUT_S)
        self.port = self.sock.getsockname()[1]

    def tearDown(self):
        self.sock.close()
        self.server.stop()

    def send(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.server.discovery_port))

    def receive(self):
        data, source = self.sock.recvfrom(65536)
        return data, source[1]

    def test_subscription_is_acknowledged_and_the_next_verdict_arrives(self):
        entry, option = subscribe(self.port)
        self.send(sd_message(1, [entry], [option]))
        data, source = self.receive()
        self.assertEqual(source, self.server.discovery_port)
        self.assertEqual(data.hex(), ack_bytes(1, 1, 3).hex())
        ack = SOMEIP(data)
        self.assertEqual(ack[SDEntry_EventGroup].type, 0x07)
        self.assertEqual(ack[SDEntry_EventGroup].eventgroup_id, 1)

        self.server.event(1)
        data, source = self.receive()
        self.assertEqual(source, self.server.monitor_port, "events leave from the service's endpoint")
        self.assertEqual(data.hex(), "0d01800000000009" "00000001" "01010200" "01")
        self.server.event(0)
        data, _ = self.receive()
        self.assertEqual(data.hex(), "0d01800000000009" "00000002" "01010200" "00")

    def test_unknown_eventgroup_is_refused_and_stop_subscribe_ends_the_events(self):
        entry, option = subscribe(self.port, eventgroup=2)
        self.send(sd_message(1, [entry], [option]))
        data, _ = self.receive()
        self.assertEqual(data.hex(), ack_bytes(1, 2, 0).hex(), "Nack: the acknowledgement with TTL 0")

        entry, option = subscribe(self.port)
        self.send(sd_message(2, [entry], [option]))
        self.assertEqual(self.receive()[0].hex(), ack_bytes(2, 1, 3).hex())
        entry, option = subscribe(self.port, ttl=0)
        self.send(sd_message(3, [entry], [option]))
        # Answered after the stop subscribe, so the server has taken it in.
        entry, option = subscribe(self.port, eventgroup=2)
        self.send(sd_message(4, [entry], [option]))
        self.assertEqual(self.receive()[0].hex(), ack_bytes(3, 2, 0).hex())
        self.server.event(1)
        # Subscribing again: the next datagram is its Ack, not the verdict sent while unsubscribed.
        entry, option = subscribe(self.port)
        self.send(sd_message(5, [entry], [option]))
        self.assertEqual(self.receive()[0].hex(), ack_bytes(4, 1, 3).hex())
        self.server.event(0)
        self.assertEqual(self.receive()[0][-1], 0)

    def test_find_is_answered_with_the_monitor_endpoint(self):
        find = SDEntry_Service(type=0x00, srv_id=0x0D01, inst_id=0xFFFF, major_ver=0xFF, ttl=3, minor_ver=0xFFFFFFFF)
        self.send(sd_message(1, [find]))
        data, _ = self.receive()
        offer = SOMEIP(data)
        entry = offer[SDEntry_Service]
        self.assertEqual((entry.type, entry.srv_id, entry.inst_id, entry.major_ver, entry.ttl, entry.minor_ver),
                         (0x01, 0x0D01, 0x0001, 1, 3, 0))
        endpoint = offer[SDOption_IP4_EndPoint]
        self.assertEqual((endpoint.addr, endpoint.l4_proto, endpoint.port), ("127.0.0.1", 0x11, self.server.monitor_port))

    def test_malformed_messages_are_dropped_without_harm(self):
        entry, option = subscribe(self.port)
        good = sd_message(1, [entry], [option])
        entries_past_end = bytearray(good)
        entries_past_end[20:24] = struct.pack(">I", 0x100)
        index_out_of_range = bytearray(good)
        index_out_of_range[25] = 1  # first option run starts at 1, one option only
        option_past_end = bytearray(good)
        option_past_end[-12:-10] = struct.pack(">H", 0x20)
        cut_short = good[:30]
        for bad in (entries_past_end, index_out_of_range, option_past_end, cut_short):
            self.send(bytes(bad))
        self.send(sd_message(2, [entry], [option]))
        data, _ = self.receive()
        self.assertEqual(data.hex(), ack_bytes(1, 1, 3).hex(), "only the well-formed subscription was answered")


def main():
    global SERVER
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    args, rest = parser.parse_known_args()
    SERVER = args.server
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
