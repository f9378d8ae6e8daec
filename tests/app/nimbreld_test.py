"""nimbreld as a process, driven the way a user drives it: a settings file,
real serial programs (pyserial) on its ports, signals to end it."""

import os
import queue
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import serial

NIMBRELD = os.environ.get("NIMBRELD", os.path.join(os.getcwd(), "nimbreld"))


class Daemon:
    """One nimbreld with its own settings, port directory and lock file."""

    def __init__(self, ini_text, extra_args=()):
        self.dir = tempfile.TemporaryDirectory(prefix="nimbreld-test-")
        self.port_dir = os.path.join(self.dir.name, "ports")
        self.config = os.path.join(self.dir.name, "nimbrel.ini")
        with open(self.config, "w") as f:
            f.write(ini_text)
        env = dict(os.environ, NIMBREL_LOCK_FILE=os.path.join(self.dir.name, "lock"))
        self.proc = subprocess.Popen(
            [NIMBRELD, "--config", self.config, "--port-dir", self.port_dir, *extra_args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.env = env
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_line(self, text, timeout=10.0):
        if text in self.seen:
            return True
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=0.05)
            except queue.Empty:
                continue
            self.seen.append(line)
            if line == text:
                return True
        return False

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        return self.proc.returncode

    def close(self):
        self.stop(signal.SIGKILL)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.dir.cleanup()


def client_ini(peer_port):
    return ("[Options]\nConnectTimeout=5\n\n"
            "[COM2]\nEnable=1\nMode=client\nConnectType=raw\nIPAddress=127.0.0.1\n"
            "PeerPort=%d\n" % peer_port)


class NimbreldTest(unittest.TestCase):
    def setUp(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(10)
        self.peer_port = self.listener.getsockname()[1]
        self.daemons = []

    def tearDown(self):
        for d in self.daemons:
            d.close()
        self.listener.close()

    def start(self, ini_text, *args):
        d = Daemon(ini_text, args)
        self.daemons.append(d)
        return d

    def test_serial_program_sets_baud_rate_and_exchanges_data(self):
        d = self.start(client_ini(self.peer_port))
        self.assertTrue(d.wait_line("Port directory: " + d.port_dir), d.seen)
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        port = serial.Serial(os.path.join(d.port_dir, "COM2"), 9600, timeout=5)
        try:
            peer, _ = self.listener.accept()
            self.assertTrue(d.wait_line("COM2 BaudRate: 9600"), d.seen)
            self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
            port.write(b"ping from the serial side")
            got = b""
            peer.settimeout(5)
            while len(got) < 25:
                chunk = peer.recv(100)
                if not chunk:
                    break
                got += chunk
            self.assertEqual(got, b"ping from the serial side")
            peer.sendall(b"pong from the network")
            self.assertEqual(port.read(21), b"pong from the network")
            port.baudrate = 115200
            self.assertTrue(d.wait_line("COM2 BaudRate: 115200"), d.seen)
        finally:
            port.close()
        self.assertTrue(d.wait_line("COM2 Connection: Not Connect"), d.seen)
        self.assertTrue(d.wait_line("COM2 BaudRate: --------"), d.seen)
        peer.close()

    def test_example_configuration_joins_two_programs(self):
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "..", "..", "examples", "nimbrel.ini")) as f:
            ini = f.read()
        # The example's TCP port may be taken on a busy machine: use a free one.
        free = socket.socket()
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
        free.close()
        ini = ini.replace("7001", str(port))
        d = self.start(ini)
        self.assertTrue(d.wait_line("COM1 Create: Created"), d.seen)
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        com1 = serial.Serial(os.path.join(d.port_dir, "COM1"), 115200, timeout=5)
        com2 = serial.Serial(os.path.join(d.port_dir, "COM2"), 115200, timeout=5)
        try:
            self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
            self.assertTrue(d.wait_line("COM1 Connection: Connected"), d.seen)
            self.assertTrue(any(line.startswith("COM1 Peer: 127.0.0.1:") for line in d.seen), d.seen)
            com2.write(b"hello from COM2\r\n")
            self.assertEqual(com1.read(17), b"hello from COM2\r\n")
            com1.write(b"and back from COM1")
            self.assertEqual(com2.read(18), b"and back from COM1")
        finally:
            com2.close()
            com1.close()
        self.assertTrue(d.wait_line("COM1 Peer: ----------"), d.seen)
        self.assertEqual(d.stop(), 0)
        self.assertEqual(os.listdir(d.port_dir), [])

    def test_udp_port_talks_to_a_datagram_peer(self):
        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        peer.bind(("127.0.0.1", 0))
        peer.settimeout(5)
        free = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        free.bind(("127.0.0.1", 0))
        local = free.getsockname()[1]
        free.close()
        d = self.start("[COM3]\nEnable=1\nMode=udp\nIPAddress=127.0.0.1\nPeerPort=%d\nLocalPort=%d\n"
                       % (peer.getsockname()[1], local))
        self.assertTrue(d.wait_line("COM3 Create: Created"), d.seen)
        com3 = serial.Serial(os.path.join(d.port_dir, "COM3"), 9600, timeout=5)
        try:
            self.assertTrue(d.wait_line("COM3 Connection: UDP Started"), d.seen)
            com3.write(b"datagram out")
            self.assertEqual(peer.recv(100), b"datagram out")
            peer.sendto(b"datagram in", ("127.0.0.1", local))
            self.assertEqual(com3.read(11), b"datagram in")
        finally:
            com3.close()
            peer.close()
        self.assertTrue(d.wait_line("COM3 Connection: Not Connect"), d.seen)

    def test_signal_removes_every_link(self):
        ini = client_ini(self.peer_port) + (
            "\n[COM7]\nEnable=1\nMode=server\nLocalPort=0\n"
            "\n[COM9]\nEnable=0\nMode=client\n")
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig):
                d = self.start(ini)
                self.assertTrue(d.wait_line("COM7 Create: Created"), d.seen)
                self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
                self.assertEqual(sorted(os.listdir(d.port_dir)), ["COM2", "COM7"])
                self.assertEqual(d.stop(sig), 0)
                self.assertEqual(os.listdir(d.port_dir), [])

    def test_second_signal_during_teardown_is_harmless(self):
        d = self.start(client_ini(self.peer_port))
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        port = serial.Serial(os.path.join(d.port_dir, "COM2"), 9600, timeout=5)
        self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
        d.proc.send_signal(signal.SIGTERM)
        d.proc.send_signal(signal.SIGTERM)
        d.proc.send_signal(signal.SIGINT)
        self.assertEqual(d.stop(), 0)
        self.assertEqual(os.listdir(d.port_dir), [])
        port.close()

    def test_bad_file_exits_2_and_creates_nothing(self):
        d = self.start("[COM1]\nEnable=1\nMode=modem\n")
        self.assertEqual(d.proc.wait(timeout=10), 2)
        err = d.proc.stderr.read()
        self.assertIn(d.config, err)
        self.assertIn("Mode=modem", err)
        self.assertIn("client, server, udp", err)
        self.assertFalse(os.path.exists(d.port_dir) and os.listdir(d.port_dir))

    def test_second_copy_is_refused(self):
        d = self.start(client_ini(self.peer_port))
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        other = subprocess.run([NIMBRELD, "--config", d.config, "--port-dir", d.port_dir + "2"],
                               env=d.env, capture_output=True, text=True, timeout=10)
        self.assertEqual(other.returncode, 1)
        self.assertEqual(other.stderr, "Application already executed.\n")
        self.assertEqual(os.listdir(d.port_dir), ["COM2"], "the running copy is undisturbed")

    def test_help_and_bad_arguments(self):
        out = subprocess.run([NIMBRELD, "--help"], capture_output=True, text=True, timeout=10)
        self.assertEqual(out.returncode, 0)
        self.assertIn("--config FILE", out.stdout)
        self.assertIn("--port-dir DIR", out.stdout)
        bad = subprocess.run([NIMBRELD, "--colour"], capture_output=True, text=True, timeout=10)
        self.assertEqual(bad.returncode, 2)
        self.assertIn("--colour", bad.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
