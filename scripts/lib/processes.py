"""What the process tests and the measuring scripts share about wardex and
the simulated platform as child processes: a deployment on private ports,
a growing output file followed, a child stopped with a watchdog, and a
process's memory and CPU time as /proc shows them.
"""
import json
import os
import re
import signal
import socket
import threading
import time

# The service whose instance is the data identifier's, reached by testers.
DID_SERVICE = "0x0401"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def install_deployment(shipped, installed, group, did_port=0):
    """The shipped deployment on private ports: discovery on a free port and
    the multicast group 239.<group>.<this process>, the data identifier's
    instance on did_port, every instance else on a port the system picks.
    Each user has a group of its own, so that runs side by side never meet."""
    with open(shipped) as file:
        deployment = json.load(file)
    deployment["service_discovery"].update(port=free_udp_port(), multicast="239.%d.%d.%d" % (
        group, (os.getpid() >> 8) & 0xFF, os.getpid() & 0xFF))
    for service in deployment["services"]:
        for instance in service["instances"]:
            instance["port"] = did_port if service["service_id"] == DID_SERVICE else 0
    os.makedirs(os.path.dirname(installed), exist_ok=True)
    with open(installed, "w") as file:
        json.dump(deployment, file)


def resident_kib(pid, field="VmRSS"):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(field + r":\s+(\d+) kB", status.read()).group(1))


def cpu_ticks(pid):
    """User and system time of the process, in clock ticks."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def stop(child, watchdog=60):
    """SIGTERM; the seconds until the process has exited, and its exit code.
    The wait blocks in waitpid (a wait with a time-out would poll), so a child
    that does not end is killed after `watchdog` seconds."""
    timer = threading.Timer(watchdog, child.kill)
    timer.start()
    sent = time.monotonic()
    child.send_signal(signal.SIGTERM)
    code = child.wait()
    took = time.monotonic() - sent
    timer.cancel()
    return took, code


class Followed:
    """The lines of a growing output file, read as they come."""

    def __init__(self, path):
        self.file = open(path, errors="replace")
        self.pending = ""

    def lines(self):
        """The whole lines written since the last call."""
        self.pending += self.file.read()
        *lines, self.pending = self.pending.split("\n")
        return lines

    def wait_for(self, text, timeout):
        """Whether a line equal to text comes within timeout seconds."""
        deadline = time.monotonic() + timeout
        while text not in self.lines():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.001)
        return True
