#!/usr/bin/python3
"""A standard SOME/IP-SD peer, played with scapy on 127.0.0.3 with only the
standard port 30490 and group, meets the real wardex: find, subscribe,
notification, the peer's and wardex's reboots, and abuse of discovery.
"""
import json
import os
import socket
import threading
import time

import harness as process

from scapy.contrib.automotive.someip import SD, SOMEIP, SDEntry_EventGroup, SDEntry_Service, SDOption_IP4_EndPoint

SD_PORT = 30490
GROUP = "224.244.224.245"
WARDEX_ADDRESS = "127.0.0.1"
PEER = "127.0.0.3"
HOSTILE = "127.0.0.5"


def subscription(address, port, ttl=30):
    return ([SDEntry_EventGroup(type=0x06, srv_id=0x0D01, inst_id=1, major_ver=1, ttl=ttl, eventgroup_id=1,
                                index_1=0, n_opt_1=1)],
            [SDOption_IP4_EndPoint(addr=address, l4_proto=0x11, port=port)])


def find(service):
    return SDEntry_Service(type=0x00, srv_id=service, inst_id=0xFFFF, major_ver=0xFF, ttl=3, minor_ver=0xFFFFFFFF)


def offer(ttl, address=HOSTILE):
    return ([SDEntry_Service(type=0x01, srv_id=0x0D01, inst_id=1, major_ver=1, ttl=ttl, n_opt_1=1)],
            [SDOption_IP4_EndPoint(addr=address, l4_proto=0x11, port=30501)])


def sent_from(address, *datagrams, to=(WARDEX_ADDRESS, SD_PORT)):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.bind(address)
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address[0]))
        for datagram in datagrams:
            sender.sendto(datagram, to)


def sd_message(session, entries, options=(), flags=0xC0):
    return bytes(SOMEIP(srv_id=0xFFFF, method_id=0x8100, client_id=0, session_id=session, iface_ver=1, msg_type=2)
                 / SD(flags=flags, entry_array=list(entries), option_array=list(options)))


class Peer:
    """The peer's two discovery sockets (unicast 127.0.0.3:30490 and the
    group) and its event socket; every discovery datagram from wardex's
    address is kept with its source and the socket it came to."""

    def __init__(self):
        self.unicast = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.unicast.bind((PEER, SD_PORT))
        self.unicast.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(PEER))
        self.group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.group.bind((GROUP, SD_PORT))
        self.group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                              socket.inet_aton(GROUP) + socket.inet_aton(PEER))
        self.events = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.events.bind((PEER, 0))
        self.received = []  # (time, source, via_group, SOMEIP)
        self.lock = threading.Lock()
        self.running = True
        self.threads = [threading.Thread(target=self._listen, args=(s, s is self.group), daemon=True)
                        for s in (self.unicast, self.group)]
        for thread in self.threads:
            thread.start()
        self.session = 0

    def _listen(self, sock, via_group):
        sock.settimeout(0.2)
        while self.running:
            try:
                data, source = sock.recvfrom(65536)
            except socket.timeout:
                continue
            if source[0] != WARDEX_ADDRESS:
                continue
            with self.lock:
                self.received.append((time.monotonic(), source, via_group, SOMEIP(data)))

    def send(self, entries, options=(), to=None, flags=0xC0, session=None):
        self.session = session if session is not None else self.session + 1
        self.unicast.sendto(sd_message(self.session, entries, options, flags), to or (WARDEX_ADDRESS, SD_PORT))

    def wait_for(self, predicate, since, timeout=process.TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for item in self.received:
                    if item[0] >= since and predicate(item):
                        return item
            time.sleep(0.01)
        raise AssertionError("the peer did not receive what it waited for")

    def notification(self, timeout):
        """(source, bytes) of the next notification, or None."""
        self.events.settimeout(timeout)
        try:
            data, source = self.events.recvfrom(65536)
            return source, data
        except socket.timeout:
            return None

    def stop(self):
        self.running = False
        for thread in self.threads:
            thread.join()
        for sock in (self.unicast, self.group, self.events):
            sock.close()


def entries_of(message, entry_type):
    return [e for e in message[SD].entry_array if e.type == entry_type]


class StandardPeer(process.ProcessCase):
    """Wardex on the standard discovery port and group, the peer beside it."""

    def setUp(self):
        super().setUp()
        # The standard discovery port and group: the peer knows no other.
        with open(process.DEPLOYMENT) as file:
            deployment = json.load(file)
        deployment["service_discovery"].update(port=SD_PORT, multicast=GROUP)
        with open(process.DEPLOYMENT, "w") as file:
            json.dump(deployment, file)
        # One application whose failures are DTC verdicts.
        self.install_apps(process.application("App1", "App1_CB", allowed=100, healing=60, errors=("DTC",)))
        self.peer = Peer()

    def tearDown(self):
        self.peer.stop()
        super().tearDown()

    def test_FindSubscribeNotifyRebootAndRestart(self):
        platform, wardex = self.start()
        self.supervising(wardex)

        # Find (to the group) -> a unicast offer from wardex's discovery endpoint.
        start = time.monotonic()
        self.peer.send([find(0x0D01)], to=(GROUP, SD_PORT))
        offer = self.peer.wait_for(
            lambda item: not item[2] and any(e.srv_id == 0x0D01 for e in entries_of(item[3], 0x01)), start)[3]
        option = offer[SD].option_array[0]
        monitor = (option.addr, option.port)
        self.assertEqual(option.addr, WARDEX_ADDRESS)

        # Subscribe (to wardex's discovery endpoint) -> an Ack from it.
        start = time.monotonic()
        events_port = self.peer.events.getsockname()[1]
        self.peer.send(*subscription(PEER, events_port))
        ack = self.peer.wait_for(lambda item: entries_of(item[3], 0x07), start)[3]
        self.assertEqual(entries_of(ack, 0x07)[0].ttl, 30)

        # A verdict arrives as a notification from the monitor's endpoint.
        self.inject("App1_CB")
        got = self.peer.notification(process.TIMEOUT)
        self.assertIsNotNone(got, "no notification")
        source, notification = got
        self.assertEqual(source, monitor)
        # Service 0x0D01, event 0x8000, length 9, client 0, protocol 1, interface 1, NOTIFICATION, E_OK, kFailed.
        self.assertEqual(notification[:10], bytes.fromhex("0d018000000000090000"))
        self.assertEqual(notification[12:], bytes.fromhex("0101020001"))

        # The peer reboots: session 1 with the reboot flag again. Its old
        # subscription gets nothing more.
        self.peer.send([find(0x0401)], session=1)
        time.sleep(0.5)
        self.inject("App1_CB")
        self.assertIsNone(self.peer.notification(2.0), "a notification reached the rebooted peer's old endpoint")
        # Subscribed again, it gets the verdicts again.
        start = time.monotonic()
        self.peer.send(*subscription(PEER, events_port))
        self.peer.wait_for(lambda item: entries_of(item[3], 0x07), start)
        self.inject("App1_CB")
        self.assertIsNotNone(self.peer.notification(process.TIMEOUT), "no notification after subscribing again")

        # Stopped after main has returned, wardex still withdraws the DTC monitor in the group;
        # restarted, its first discovery message has session 1 and the reboot flag.
        start = time.monotonic()
        self.assertEqual(wardex.stop(), 0)
        self.peer.wait_for(lambda item: item[2] and any(e.srv_id == 0x0D01 and e.ttl == 0
                                                        for e in entries_of(item[3], 0x01)), start)
        start = time.monotonic()
        wardex = self.child(process.Wardex())
        first = self.peer.wait_for(lambda item: any(e.ttl > 0 for e in entries_of(item[3], 0x01)), start)[3]
        self.assertEqual(first.session_id, 1)
        self.assertEqual(first[SD].flags & 0x80, 0x80)
        self.assertEqual(wardex.stop(), 0)
        self.assertEqual(platform.stop(), 0)

        with self.peer.lock:  # every discovery message came from wardex's discovery endpoint
            sources = {item[1] for item in self.peer.received}
        self.assertEqual(sources, {(WARDEX_ADDRESS, SD_PORT)})

    def test_HostilePeersCannotSilenceTheVerdicts(self):
        # Per attack five failures: the DEM (the peer) and dem-listen get five verdicts each, RSS stays bounded.
        storm = int(os.environ.get("WARDEX_SD_STORM", "20000"))
        host = lambda n: "127.1.%d.%d" % (n // 250, n % 250 + 1)
        foreign = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        foreign.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        attacks = {
            "two messages from the DEM's address, another port, reboot: session 10, 1": lambda events: sent_from(
                (PEER, 0), sd_message(10, [find(0x0401)]) + sd_message(1, [find(0x0401)])),
            "StopSubscribe of the DEM's endpoint": lambda events: sent_from(
                (HOSTILE, SD_PORT), sd_message(1, *subscription(PEER, events, ttl=0))),
            "65 source ports subscribing for ever": lambda events: [sent_from(
                (HOSTILE, 0), sd_message(n + 1, *subscription(HOSTILE, 40000 + n, ttl=0xFFFFFF))) for n in range(65)],
            "offers and StopOffers of the monitor from another sender": lambda events: [sent_from(
                (HOSTILE, SD_PORT), sd_message(n * 2 + 1, *offer(0)), sd_message(n * 2 + 2, *offer(3)),
                to=(GROUP, SD_PORT)) for n in range(5)],
            "subscriptions for ever from %d addresses" % storm: lambda events: [sent_from(
                (host(n), SD_PORT), sd_message(1, *subscription(host(n), 40000, ttl=0xFFFFFF))) for n in range(storm)],
            "20 finds of 4,090 entries each": lambda events: [self.peer.send([find(0x0401)] * 4090) for _ in range(20)],
            "a socket on the discovery endpoint": lambda events: foreign.bind((WARDEX_ADDRESS, SD_PORT)),
        }
        platform, wardex = self.start()
        dem = self.child(process.Child([process.SIM, "dem-listen"]))
        self.supervising(wardex)
        events = self.peer.events.getsockname()[1]
        while dem.count("dem monitor-action kFailed") == 0:
            self.inject("App1_CB")
            time.sleep(0.5)
        while self.peer.notification(0.5):
            pass
        failed = []
        for what, attack in attacks.items():
            start = time.monotonic()
            self.peer.send(*subscription(PEER, events))
            self.peer.wait_for(lambda item: entries_of(item[3], 0x07), start)
            before = (dem.count("dem monitor-action kFailed"), process.resident_kib(wardex.process.pid))
            try:
                attack(events)
            except OSError as error:  # bound exclusively
                print("%s: %s" % (what, error))
            got = 0
            for _ in range(5):
                self.inject("App1_CB")
                got += self.peer.notification(5.0) is not None  # a loaded machine may lag behind a storm
                time.sleep(0.7)
            deadline = time.monotonic() + 5.0
            while dem.count("dem monitor-action kFailed") - before[0] < 5 and time.monotonic() < deadline:
                time.sleep(0.05)
            after = (dem.count("dem monitor-action kFailed") - before[0], process.resident_kib(wardex.process.pid))
            print("%s: verdicts to the DEM %d of 5, to dem-listen %d of 5; RSS %d -> %d KiB" % (
                what, got, after[0], before[1], after[1]))
            if (got, after[0]) != (5, 5) or (after[1] - before[1] > 4096 and not process.SANITIZED):
                failed.append(what)
        with self.peer.lock:  # wardex's session ids to the DEM only grow: it never looked restarted
            sessions = [m.session_id for _, _, via_group, m in self.peer.received if not via_group]
        self.assertEqual(sessions, sorted(set(sessions)))
        self.assertEqual(failed, [])
        self.assertEqual(wardex.stop(), 0)


if __name__ == "__main__":
    process.main([StandardPeer])
