#!/usr/bin/python3
"""The standard peer's scenario, and a Read, across a veth link between two network namespaces
(wardex's, the peer's) with addresses from 192.0.2.0/24 and a multicast route inside them only."""
import ctypes
import os
import pathlib
import subprocess

import harness as process
import standard_peer_test as standard

standard.WARDEX_ADDRESS, standard.PEER = "192.0.2.1", "192.0.2.2"
DID = ("192.0.2.1", 30502)
NAMESPACES = ("wardex-%d" % os.getpid(), "peer-%d" % os.getpid())
PAIR = "netns add {0}\nnetns add {1}\nlink add veth0 netns {0} type veth peer name veth0 netns {1}\n"
LINK_END = "link set lo up\nlink set veth0 up\naddr add %s/24 dev veth0\nroute add 224.0.0.0/4 dev veth0\n"


def ip(commands, *options):
    subprocess.run(("ip",) + options + ("-batch", "-"), input=commands, text=True, check=True)


def enter(namespace):
    """The calling thread, and what it opens or starts from now on, in the namespace."""
    with open("/run/netns/" + namespace) as file:
        assert ctypes.CDLL(None).setns(file.fileno(), 0x40000000) == 0, "setns " + namespace  # CLONE_NEWNET


class VethLink(standard.StandardPeer):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to create network namespaces and a veth pair")
        for name in NAMESPACES:
            self.addCleanup(subprocess.run, ("ip", "netns", "delete", name), stderr=subprocess.DEVNULL)
        ip(PAIR.format(*NAMESPACES))
        for name, address in zip(NAMESPACES, (standard.WARDEX_ADDRESS, standard.PEER)):
            ip(LINK_END % address, "-n", name)
        enter(NAMESPACES[1])  # the peer's sockets
        super().setUp()
        enter(NAMESPACES[0])  # wardex and the platform, with the shipped deployment on wardex's link address
        shipped = pathlib.Path(os.environ["WARDEX_SHIPPED_DEPLOYMENT"]).read_text()
        pathlib.Path(process.DEPLOYMENT).write_text(shipped.replace('"127.0.0.1"', '"%s"' % standard.WARDEX_ADDRESS))

    def supervising(self, wardex):
        # Then, once the data identifier is offered, a Read across the link finds nothing measured yet.
        super().supervising(wardex)
        self.peer.wait_for(lambda item: any(e.srv_id == 0x0401 for e in standard.entries_of(item[3], 0x01)), 0)
        self.peer.events.settimeout(process.TIMEOUT)
        self.peer.events.sendto(bytes.fromhex("04010001 0000000c 7e570001 01010000 00000000"), DID)
        reply = bytes.fromhex("04010001 00000011 7e570001 01018000 00000001 00 00000000")
        self.assertEqual(self.peer.events.recvfrom(1024), (reply, DID))


if __name__ == "__main__":
    process.main([VethLink])
