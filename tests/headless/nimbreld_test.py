# SPDX-License-Identifier: Apache-2.0
"""nimbreld as a process, driven the way a user drives it: a settings file,
real serial programs (pyserial) on its ports, signals to end it."""

import os
import queue
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import serial

NIMBRELD = os.environ.get("NIMBRELD", os.path.join(os.getcwd(), "nimbreld"))


NOBODY = 65534
OTHER_UID = 65533  # a second user without an account


class Daemon:
    """One nimbreld with its own settings, port directory and lock file; or,
    given a user, that user's nimbreld with the lock and the ports where
    they go by default (in runtime_dir, else in /tmp/nimbrel-<uid>)."""

    def __init__(self, ini_text, extra_args=(), user=None, runtime_dir=None):
        self.dir = tempfile.TemporaryDirectory(prefix="nimbreld-test-")
        self.config = os.path.join(self.dir.name, "nimbrel.ini")
        with open(self.config, "w") as f:
            f.write(ini_text)
        program = NIMBRELD
        if user is None:
            self.port_dir = os.path.join(self.dir.name, "ports")
            env = dict(os.environ, NIMBREL_LOCK_FILE=os.path.join(self.dir.name, "lock"))
            args = ["--port-dir", self.port_dir]
            as_user = {}
        else:
            os.chmod(self.dir.name, 0o755)
            os.chmod(self.config, 0o644)
            # The build may sit where other users cannot reach it (a clone
            # under /root): they run a copy of their own.
            program = os.path.join(self.dir.name, "nimbreld")
            shutil.copy(NIMBRELD, program)
            os.chmod(program, 0o755)
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": "/nonexistent"}
            if runtime_dir:
                env["XDG_RUNTIME_DIR"] = runtime_dir
            self.port_dir = os.path.join(runtime_dir, "nimbrel") if runtime_dir else "/tmp/nimbrel-%d" % user
            args = []
            as_user = dict(user=user, group=user, extra_groups=[])
        self.proc = subprocess.Popen(
            [program, "--config", self.config, *args, *extra_args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, **as_user)
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

    def start(self, ini_text, *args, **as_user):
        d = Daemon(ini_text, args, **as_user)
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

    def runtime_dir(self, uid):
        """A private runtime directory of uid's, as the session gives one."""
        base = tempfile.mkdtemp(prefix="nimbreld-users-")
        self.addCleanup(shutil.rmtree, base, True)
        os.chmod(base, 0o755)
        path = os.path.join(base, "run")
        os.mkdir(path, 0o700)
        os.chown(path, uid, uid)
        return path

    def assert_owned(self, path, uid, mode):
        st = os.lstat(path)
        self.assertEqual((st.st_uid, stat.S_IMODE(st.st_mode)), (uid, mode), path)

    @unittest.skipUnless(os.geteuid() == 0, "plays two users: needs root")
    def test_each_user_has_a_lock_of_their_own(self):
        run = self.runtime_dir(NOBODY)
        d = self.start("[Options]\n", user=NOBODY, runtime_dir=run)
        self.assertTrue(d.wait_line("Port directory: " + d.port_dir), d.seen)
        self.assert_owned(d.port_dir, NOBODY, 0o700)
        self.assert_owned(os.path.join(d.port_dir, "nimbrel.lock"), NOBODY, 0o600)
        # The same user's second copy is refused ...
        again = self.start("[Options]\n", user=NOBODY, runtime_dir=run)
        self.assertEqual(again.proc.wait(timeout=10), 1)
        self.assertEqual(again.proc.stderr.read(), "Application already executed.\n")
        # ... another user's runs beside it; without a runtime directory its
        # lock is in a private directory of its own in /tmp.
        fallback = "/tmp/nimbrel-%d" % OTHER_UID
        shutil.rmtree(fallback, True)
        self.addCleanup(shutil.rmtree, fallback, True)
        other = self.start("[Options]\n", user=OTHER_UID)
        self.assertTrue(other.wait_line("Port directory: " + fallback), other.seen)
        self.assert_owned(fallback, OTHER_UID, 0o700)
        self.assert_owned(os.path.join(fallback, "nimbrel.lock"), OTHER_UID, 0o600)
        self.assertEqual(other.stop(), 0)
        self.assertEqual(d.stop(), 0)

    @unittest.skipUnless(os.geteuid() == 0, "plays two users: needs root")
    def test_a_lock_in_a_directory_not_the_users_is_refused_with_the_reason(self):
        # XDG_RUNTIME_DIR still names root's directory (as after su), or
        # another user has made the "nimbrel" in it.
        roots = self.runtime_dir(0)
        planted = self.runtime_dir(NOBODY)
        os.mkdir(os.path.join(planted, "nimbrel"), 0o700)
        for run, why in ((roots, "/nimbrel: Permission denied"), (planted, "/nimbrel is owned by another user")):
            d = self.start("[Options]\n", user=NOBODY, runtime_dir=run)
            self.assertEqual(d.proc.wait(timeout=10), 1)
            err = d.proc.stderr.read()
            self.assertIn("lock file %s/nimbrel/nimbrel.lock: directory %s%s" % (run, run, why), err)
            self.assertNotIn("Application already executed", err)
            self.assertFalse(os.path.exists(os.path.join(planted, "nimbrel", "nimbrel.lock")))

    def run_once(self, args, env=None, timeout=10):
        return subprocess.run([NIMBRELD, *args], capture_output=True, text=True, timeout=timeout,
                              env=env or dict(os.environ, NIMBREL_LOCK_FILE=self.lock_file()))

    def lock_file(self):
        d = tempfile.TemporaryDirectory(prefix="nimbreld-lock-")
        self.addCleanup(d.cleanup)
        return os.path.join(d.name, "lock")

    def test_settings_that_are_no_text_file_are_refused_at_once(self):
        with tempfile.TemporaryDirectory() as tmp:
            fifo = os.path.join(tmp, "fifo.ini")
            os.mkfifo(fifo)
            nul = os.path.join(tmp, "nul.ini")
            with open(nul, "wb") as f:
                f.write(b"[COM1]\nEnable=1\n\0\0\0\n")
            for path, why in (("/dev/zero", "not a regular file"), (fifo, "not a regular file"),
                              (tmp, "not a regular file"), (nul, nul + ":3: a NUL byte")):
                out = self.run_once(["--config", path, "--port-dir", os.path.join(tmp, "ports")])
                self.assertEqual(out.returncode, 2, (path, out.stderr))
                self.assertIn(path, out.stderr)
                self.assertIn(why, out.stderr)
                self.assertFalse(os.path.exists(os.path.join(tmp, "ports")), "nothing started")

    def test_a_lock_that_cannot_be_opened_is_named_not_taken_for_another_copy(self):
        with tempfile.TemporaryDirectory() as tmp:
            blocker = os.path.join(tmp, "not-a-directory")
            open(blocker, "w").close()
            lock = os.path.join(blocker, "lock")
            env = dict(os.environ, NIMBREL_LOCK_FILE=lock)
            with open(os.path.join(tmp, "n.ini"), "w") as f:
                f.write(client_ini(self.peer_port))
            out = self.run_once(["--config", os.path.join(tmp, "n.ini"), "--port-dir", os.path.join(tmp, "p")], env)
            self.assertEqual(out.returncode, 1)
            self.assertNotIn("Application already executed", out.stderr)
            self.assertIn(lock, out.stderr)
            self.assertIn("Not a directory", out.stderr)

    def test_a_signal_during_start_up_ends_it(self):
        # COM1 cannot be created (a file of that name is in the way), so the
        # start keeps trying for 40 s: a signal must not wait for that.
        d = Daemon("[COM1]\nEnable=1\nMode=server\nLocalPort=0\n")
        self.daemons.append(d)
        self.assertTrue(d.wait_line("Port directory: " + d.port_dir), d.seen)
        # Too late for the first attempt: block it from the start next time.
        d.stop()
        os.makedirs(d.port_dir, exist_ok=True)
        open(os.path.join(d.port_dir, "COM1"), "w").close()
        env = dict(os.environ, NIMBREL_LOCK_FILE=os.path.join(d.dir.name, "lock2"))
        proc = subprocess.Popen([NIMBRELD, "--config", d.config, "--port-dir", d.port_dir],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        time.sleep(1.5)
        start = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0, err)
        self.assertLess(time.monotonic() - start, 5)
        self.assertNotIn("COM1 Create: Created", out)
        self.assertTrue(os.path.isfile(os.path.join(d.port_dir, "COM1")), "a file not ours stays")

    def test_reasons_and_initial_texts_are_printed(self):
        busy = socket.socket()
        busy.bind(("0.0.0.0", 0))
        busy.listen(1)
        self.addCleanup(busy.close)
        busy_port = busy.getsockname()[1]
        refused = socket.socket()
        refused.bind(("127.0.0.1", 0))
        refused_port = refused.getsockname()[1]
        refused.close()
        d = self.start("[COM1]\nEnable=1\nMode=server\nLocalPort=%d\n"
                       "[COM2]\nEnable=1\nMode=client\nIPAddress=127.0.0.1\nPeerPort=%d\n"
                       "[COM3]\nEnable=1\nMode=server\nLocalPort=0\n"
                       "[COM4]\nEnable=1\nMode=server\nConnectType=secure\nLocalPort=0\n"
                       % (busy_port, refused_port))
        for line in ("COM1 Mode: Server", "COM1 Local: %d" % busy_port, "COM2 Peer: 127.0.0.1:%d" % refused_port,
                     "COM2 Local: -----", "COM1 Connection: Create Error",
                     "COM1 Reason: bind 0.0.0.0:%d: Address already in use" % busy_port):
            self.assertTrue(d.wait_line(line), (line, d.seen))
        local3 = [l for l in d.seen if l.startswith("COM3 Local: ")]
        self.assertTrue(d.wait_line("COM3 Create: Created"), d.seen)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not any(l != "COM3 Local: 0" for l in local3):
            d.wait_line("-", timeout=0.1)
            local3 = [l for l in d.seen if l.startswith("COM3 Local: ")]
        given = [int(l.split(": ")[1]) for l in local3 if l != "COM3 Local: 0"]
        self.assertTrue(given and given[0] > 0, local3)
        with socket.create_connection(("127.0.0.1", given[0]), timeout=5):
            pass
        port = serial.Serial(os.path.join(d.port_dir, "COM2"), 9600, timeout=1)
        self.assertTrue(d.wait_line("COM2 Reason: connect 127.0.0.1:%d: Connection refused" % refused_port), d.seen)
        port.close()
        self.assertEqual(d.stop(), 0)
        self.assertIn("COM4 asks for a login, but User or Password is empty", d.proc.stderr.read())

    def monitored_bytes(self, lines, direction):
        """The bytes of one direction's lines, in order."""
        got = b""
        for line in lines:
            # "time  kind  hex  text": the kind is 9 wide, the hex comes first.
            if line[14:23].strip() == direction:
                got += bytes.fromhex(line[25:].split("  ")[0])
        return got

    def exchange_all_byte_values(self, d):
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        port = serial.Serial(os.path.join(d.port_dir, "COM2"), 9600, timeout=5)
        peer, _ = self.listener.accept()
        try:
            self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
            out = bytes(range(256))
            port.write(out)
            got = b""
            peer.settimeout(5)
            while len(got) < 256:
                chunk = peer.recv(512)
                if not chunk:
                    break
                got += chunk
            self.assertEqual(got, out)
            peer.sendall(out[::-1])
            self.assertEqual(port.read(256), out[::-1])
        finally:
            port.close()
            peer.close()
        self.assertTrue(d.wait_line("COM2 Connection: Not Connect"), d.seen)
        return out

    def test_monitor_prints_both_directions_to_standard_output(self):
        d = self.start(client_ini(self.peer_port), "--monitor", "all")
        out = self.exchange_all_byte_values(d)
        end = time.monotonic() + 5
        while time.monotonic() < end:
            mine = [l[5:] for l in d.seen if l.startswith("COM2 ") and "  " in l]
            if any("The application closed the port" in l for l in mine):
                break
            d.wait_line("no such line", timeout=0.1)
        self.assertEqual(self.monitored_bytes(mine, "to peer"), out, mine)
        self.assertEqual(self.monitored_bytes(mine, "from peer"), out[::-1], mine)
        events = [l[25:] for l in mine if l[14:23].strip() == "event"]
        self.assertIn("The application opened the port", events)
        self.assertIn("Connected", events)
        self.assertLess(events.index("The application opened the port"), events.index("Connected"))

    def test_monitor_file_takes_the_lines_of_the_ports_named(self):
        log_dir = tempfile.TemporaryDirectory(prefix="nimbreld-monitor-")
        self.addCleanup(log_dir.cleanup)
        log = os.path.join(log_dir.name, "monitor.log")
        d = self.start(client_ini(self.peer_port), "--monitor", "COM2", "--monitor", "COM9",
                       "--monitor-file", log)
        out = self.exchange_all_byte_values(d)
        self.assertEqual(d.stop(), 0)
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertTrue(all(l.startswith("COM2 ") for l in lines), lines)
        mine = [l[5:] for l in lines]
        self.assertEqual(self.monitored_bytes(mine, "to peer"), out)
        self.assertEqual(self.monitored_bytes(mine, "from peer"), out[::-1])
        self.assertFalse([l for l in d.seen if "  to peer  " in l], "nothing of it on standard output")

    def test_monitor_arguments_that_name_no_port_are_refused(self):
        for args in (["--monitor", "COM0"], ["--monitor", "COM257"], ["--monitor"],
                     ["--monitor-file", "/nonexistent/dir/file", "--monitor", "COM1"]):
            d = self.start(client_ini(self.peer_port), *args)
            self.assertEqual(d.proc.wait(timeout=20), 2, args)

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
