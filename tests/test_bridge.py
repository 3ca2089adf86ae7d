"""python -m kelparine.bridge between real processes over 127.0.0.1: near producer -> send ->
recv -> far consumer. The commands run as subprocesses only: importing kelparine.bridge here
would add an attribute to the module that test_module checks."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import kelparine
from kelparine.bridge import free_port_pair
from conftest import remove_quietly, unique_name

pytest.importorskip("zmq")

# Sizes and contents that a lost boundary, a dropped or a reordered message would show.
PRODUCE = """
import sys, kelparine
ring = kelparine.SharedMemory.open(sys.argv[1]).spsc()
count = int(sys.argv[2])
message = lambda i: b"%d:" % i + bytes([i % 251]) * (i % 13 * 37 % 300)
for i in range(count if count >= 0 else 10**12):
    ring.put(message(i))
"""
# The same, outliving its consumer: a put that finds the send side gone waits for the next one.
PRODUCE_PATIENTLY = PRODUCE.replace("    ring.put(message(i))", """    while True:
        try:
            ring.put(message(i))
            break
        except BrokenPipeError:
            pass""")


def message(i):
    return b"%d:" % i + bytes([i % 251]) * (i % 13 * 37 % 300)




def env():
    variables = dict(os.environ)
    module_dir = str(pathlib.Path(kelparine.__file__).parent)
    variables["PYTHONPATH"] = os.pathsep.join([module_dir, *[p for p in variables.get("PYTHONPATH", "").split(os.pathsep) if p]])
    return variables


def start(*args):
    return subprocess.Popen([sys.executable, *args], env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


class Link:
    """Two rings of 4 KiB and the two commands between them (the recv side first)."""

    def __init__(self, batch=16, window=2):
        self.near_name, self.far_name = unique_name("bridge-near"), unique_name("bridge-far")
        self.near = kelparine.SharedMemory.create(self.near_name, 24 + 4096).spsc()
        self.far = kelparine.SharedMemory.create(self.far_name, 24 + 4096).spsc()
        self.endpoint = endpoint = f"tcp://127.0.0.1:{free_port_pair()}"
        self.processes = {}
        self.processes["recv"] = start("-m", "kelparine.bridge", "recv", endpoint, self.far_name,
                                       "--window", str(window))
        self.processes["send"] = start("-m", "kelparine.bridge", "send", self.near_name, endpoint,
                                       "--batch", str(batch), "--window", str(window))

    def produce(self, count):
        self.processes["producer"] = start("-c", PRODUCE, self.near_name, str(count))

    def finish(self, name, timeout=60):
        process = self.processes[name]
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out, err

    def close(self):
        for process in self.processes.values():
            if process.poll() is None:
                process.kill()
            process.communicate()
        remove_quietly(self.near_name)
        remove_quietly(self.far_name)


@pytest.fixture
def link():
    made = []

    def make(**kwargs):
        made.append(Link(**kwargs))
        return made[-1]

    yield make
    for each in made:
        each.close()


def test_every_message_arrives_in_order_then_the_end_of_the_stream(link):
    bridge = link()
    count = 5000
    bridge.produce(count)
    received = []
    with pytest.raises(EOFError):  # the near producer ended: so does the far ring's stream, after its messages
        while True:
            received.append(bridge.far.get(timeout=30))
    assert len(received) == count and received == [message(i) for i in range(count)]
    for name in ("producer", "send", "recv"):
        status, out, err = bridge.finish(name)
        assert status == 0 and "Traceback" not in err, f"{name}: {out}\n{err}"
        assert name == "producer" or f"{count} messages" in out


def test_a_stalled_far_consumer_stops_the_near_producer_and_nothing_is_lost(link):
    batch, window = 8, 2
    bridge = link(batch=batch, window=window)
    messages = [bytes([i % 251]) * 1000 for i in range(200)]
    accepted = 0
    with pytest.raises(TimeoutError):  # nobody reads the far ring: the near one fills up in time
        for item in messages:
            bridge.near.put(item, timeout=3)
            accepted += 1
    # What left the near ring: the far ring's 4 messages and at most `window` batches between
    # the rings (one of them being written by recv), nothing more.
    assert accepted - bridge.near.used() // 1004 <= 4 + window * batch
    received, pending = [], messages[accepted:]
    while len(received) < len(messages):  # this process feeds the near ring and drains the far one
        while pending and bridge.near.push(pending[0]):
            pending.pop(0)
        received.append(bridge.far.get(timeout=30))
    assert received == messages
    bridge.near.close()  # this process was the near producer: its end reaches the far ring
    with pytest.raises(EOFError):
        bridge.far.get(timeout=30)
    assert bridge.finish("send")[0] == bridge.finish("recv")[0] == 0


@pytest.mark.parametrize("command, signum", [("send", signal.SIGTERM), ("recv", signal.SIGTERM),
                                             ("send", signal.SIGINT)])
def test_a_signal_stops_a_command_cleanly_in_the_middle_of_a_stream(link, command, signum):
    bridge = link()
    bridge.produce(-1)  # endless
    deadline = time.monotonic() + 60
    taken = 0
    while taken < 2000:  # messages flow, so both commands are well into their loops
        assert time.monotonic() < deadline, "nothing came across"
        taken += len(bridge.far.get_many(1000, timeout=30))
    bridge.processes[command].send_signal(signum)
    while bridge.processes[command].poll() is None and time.monotonic() < deadline:
        bridge.far.pop_many(1000)  # keeps the stream moving while the command stops
        time.sleep(0.01)
    status, out, err = bridge.finish(command, timeout=30)
    assert status in (0, 128 + signum), f"{status}: {out}\n{err}"
    assert "Traceback" not in err, err
    if command == "recv":  # its producer role went with it: the far consumer sees the end
        with pytest.raises(EOFError):
            while True:
                bridge.far.get(timeout=30)


def test_a_send_restarted_while_its_batches_wait_for_the_far_ring_loses_and_reorders_nothing(link):
    bridge = link(batch=8, window=6)
    count = 3000
    bridge.processes["producer"] = start("-c", PRODUCE_PATIENTLY, bridge.near_name, str(count))
    assert bridge.processes["send"].stdout.readline().startswith("send:")  # running, its handlers set
    deadline = time.monotonic() + 60
    while bridge.near.used() < 2048 or bridge.far.is_empty():  # nobody reads the far ring: batches wait in between
        assert time.monotonic() < deadline and bridge.processes["producer"].poll() is None
        time.sleep(0.05)
    bridge.processes["send"].send_signal(signal.SIGTERM)
    assert bridge.finish("send")[0] == 128 + signal.SIGTERM
    bridge.processes["send"] = start("-m", "kelparine.bridge", "send", bridge.near_name,
                                     bridge.endpoint, "--batch", "8", "--window", "6")
    received = []
    with pytest.raises(EOFError):
        while True:
            received.append(bridge.far.get(timeout=30))
    assert received == [message(i) for i in range(count)]
