# SPDX-License-Identifier: Apache-2.0
"""COM port control against real peers: ser2net as the device server of a
client port, pyserial's rfc2217:// client against a server port."""

import os
import pty
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import serial

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nimbreld_test import Daemon  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def wait_prefix(daemon, prefix, timeout=10.0):
    """The first line nimbreld printed that starts with prefix, or None."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for line in daemon.seen:
            if line.startswith(prefix):
                return line
        daemon.wait_line("\0", timeout=0.1)  # only collects what came
    return None


class ComPortControlTest(unittest.TestCase):
    def setUp(self):
        self.daemons = []
        self.cleanups = []

    def tearDown(self):
        for d in self.daemons:
            d.close()
        for fn in reversed(self.cleanups):
            fn()

    def start(self, ini_text):
        d = Daemon(ini_text)
        self.daemons.append(d)
        return d

    @unittest.skipUnless(shutil.which("ser2net"), "ser2net is not installed")
    def test_a_program_on_a_client_port_sets_the_device_servers_port(self):
        # The device: a pseudo-terminal ser2net serves as its serial port.
        # Its master is ours, to read the settings ser2net gave it.
        master, slave = pty.openpty()
        self.cleanups += [lambda: os.close(master), lambda: os.close(slave)]
        work = tempfile.TemporaryDirectory(prefix="ser2net-")
        self.cleanups.append(work.cleanup)
        device_port = free_port()
        config = os.path.join(work.name, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &device\n"
                    "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,9600n81,local\n" % (device_port, os.ttyname(slave)))
        ser2net = subprocess.Popen(["ser2net", "-n", "-d", "-c", config],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def stop_ser2net():
            ser2net.terminate()
            ser2net.wait(timeout=10)
        self.cleanups.append(stop_ser2net)
        def listening():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", device_port)) == 0
        self.assertTrue(wait_for(listening))

        d = self.start("[Options]\nConnectTimeout=5\n\n"
                       "[COM1]\nEnable=1\nMode=client\nConnectType=telnet\nIPAddress=127.0.0.1\n"
                       "PeerPort=%d\nComPortControl=1\nComPortDataBits=7\nComPortParity=even\n" % device_port)
        self.assertTrue(d.wait_line("COM1 COM port control: on"), d.seen)
        self.assertTrue(d.wait_line("COM1 Create: Created"), d.seen)
        program = serial.Serial(os.path.join(d.port_dir, "COM1"), 19200, stopbits=2, timeout=5)
        self.addCleanup(program.close)
        acked = wait_prefix(d, "COM1 COM port control: device server: 19200 7E2, flow none")
        self.assertIsNotNone(acked, d.seen)

        def device(speed, two_stop_bits):
            attrs = termios.tcgetattr(master)
            return attrs[5] == speed and bool(attrs[2] & termios.CSTOPB) == two_stop_bits
        # A pty keeps the rate and the stop bits; it has no data size or
        # parity to keep, which is why the port names them.
        self.assertTrue(wait_for(lambda: device(termios.B19200, True)), termios.tcgetattr(master))

        program.baudrate = 57600
        self.assertTrue(wait_for(lambda: device(termios.B57600, True)), termios.tcgetattr(master))
        self.assertIsNotNone(wait_prefix(d, "COM1 COM port control: device server: 57600 7E2"), d.seen)

        # The data goes through as on any Telnet port, 255 included.
        program.write(b"to the device \xff")
        got = b""
        end = time.monotonic() + 5
        while len(got) < 15 and time.monotonic() < end:
            got += os.read(master, 100)
        self.assertEqual(got, b"to the device \xff")
        os.write(master, b"to the program \xff")
        self.assertEqual(program.read(16), b"to the program \xff")

    def test_pyserial_sets_the_baud_rate_the_program_on_a_server_port_sees(self):
        local = free_port()
        d = self.start("[Options]\nUser=operator\nPassword=s3cret\n\n"
                       "[COM1]\nEnable=1\nMode=server\nConnectType=telnet\nLocalPort=%d\n"
                       "ComPortControl=1\n" % local)
        self.assertTrue(d.wait_line("COM1 Create: Created"), d.seen)
        program = serial.Serial(os.path.join(d.port_dir, "COM1"), 9600, timeout=5)
        self.addCleanup(program.close)

        remote = serial.serial_for_url("rfc2217://127.0.0.1:%d" % local, baudrate=19200, timeout=5)
        self.addCleanup(remote.close)
        # The login prompt came during pyserial's open, whose last step
        # empties its input: answer it unseen. (When the server's requests
        # beat pyserial's own, pyserial leaves one unanswered, and the
        # prompt follows a short quiet later; the name typed first counts.)
        remote.write(b"operator\r\n")
        self.assertIn(b"Password: ", remote.read_until(b"Password: "))
        remote.write(b"s3cret\r\n")
        self.assertTrue(d.wait_line("COM1 Connection: Connected"), d.seen)

        def program_speed():
            return termios.tcgetattr(program.fd)[5]
        self.assertTrue(wait_for(lambda: program_speed() == termios.B19200), program_speed())
        remote.baudrate = 57600
        self.assertTrue(wait_for(lambda: program_speed() == termios.B57600), program_speed())
        self.assertTrue(d.wait_line("COM1 BaudRate: 57600"), d.seen)
        self.assertIsNotNone(wait_prefix(d, "COM1 COM port control: client set 57600"), d.seen)

        remote.write(b"to the program")
        self.assertEqual(program.read(14), b"to the program")
        program.write(b"to the remote")
        self.assertEqual(remote.read(13), b"to the remote")


if __name__ == "__main__":
    unittest.main()
