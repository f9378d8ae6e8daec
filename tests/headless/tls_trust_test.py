# SPDX-License-Identifier: Apache-2.0
"""TLS ports of nimbreld against openssl s_server / s_client and Python's ssl
module, with a test CA and certificates made at test time: verification,
pinning, names, expiry, client certificates and key file permissions."""

import datetime
import ipaddress
import os
import queue
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

import serial
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

NIMBRELD = os.environ.get("NIMBRELD", os.path.join(os.getcwd(), "nimbreld"))


class Pki:
    """A CA and the certificates a test asks for, as PEM files in a directory."""

    def __init__(self, directory):
        self.dir = directory
        self.ca_key, self.ca_cert = self._make("Nimbrel Test CA", None, None, ca=True)
        self.ca = self._write("ca", self.ca_key, self.ca_cert)

    def _make(self, cn, sans, issuer, ca=False, days=(-1, 30)):
        key = ec.generate_private_key(ec.SECP256R1())
        now = datetime.datetime.now(datetime.timezone.utc)
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        issuer_key, issuer_name = (key, name) if issuer is None else (issuer[0], issuer[1].subject)
        builder = (x509.CertificateBuilder().subject_name(name).issuer_name(issuer_name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(now + datetime.timedelta(days=days[0]))
                   .not_valid_after(now + datetime.timedelta(days=days[1])))
        if ca:
            builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            builder = builder.add_extension(
                x509.KeyUsage(digital_signature=False, content_commitment=False, key_encipherment=False,
                              data_encipherment=False, key_agreement=False, key_cert_sign=True, crl_sign=True,
                              encipher_only=False, decipher_only=False), critical=True)
        if sans:
            names = [x509.IPAddress(ipaddress.ip_address(s[3:])) if s.startswith("IP:") else x509.DNSName(s)
                     for s in sans]
            builder = builder.add_extension(x509.SubjectAlternativeName(names), critical=False)
        return key, builder.sign(issuer_key, hashes.SHA256())

    def _write(self, stem, key, cert, key_mode=0o600):
        cert_path = os.path.join(self.dir, stem + ".pem")
        key_path = os.path.join(self.dir, stem + ".key")
        with open(cert_path, "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
        with open(key_path, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        os.chmod(key_path, key_mode)
        return cert_path, key_path

    def issue(self, stem, sans=("IP:127.0.0.1", "localhost"), signed=True, days=(-1, 30), key_mode=0o600):
        key, cert = self._make(stem, sans, (self.ca_key, self.ca_cert) if signed else None, days=days)
        return self._write(stem, key, cert, key_mode)


def fingerprint(cert_path):
    """As the user gets it: `openssl x509 -noout -fingerprint -sha256`."""
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", cert_path],
                         capture_output=True, text=True, check=True).stdout.strip()
    return out.split("=", 1)[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether a socket listens on TCP port, from the kernel's tables: a
    probe connection would be a peer of its own, and a server port serves
    one peer at a time, refusing others meanwhile."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


def wait_listening(port, timeout=10):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if listening(port):
            return True
        time.sleep(0.05)
    return False


class Daemon:
    """nimbreld on a settings file in dir, with its own ports and lock."""

    def __init__(self, directory, ini_text):
        self.config = os.path.join(directory, "nimbrel.ini")
        with open(self.config, "w") as f:
            f.write(ini_text)
        self.port_dir = os.path.join(directory, "ports")
        env = dict(os.environ, NIMBREL_LOCK_FILE=os.path.join(directory, "lock"))
        self.proc = subprocess.Popen([NIMBRELD, "--config", self.config, "--port-dir", self.port_dir],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait(self, pred, timeout=15.0):
        for line in self.seen:
            if pred(line):
                return line
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=0.05)
            except queue.Empty:
                continue
            self.seen.append(line)
            if pred(line):
                return line
        return None

    def wait_line(self, text, timeout=15.0):
        return self.wait(lambda l: l == text, timeout) is not None

    def wait_reason(self, com, text, timeout=15.0):
        return self.wait(lambda l: l.startswith(com + " Reason: ") and text in l, timeout)

    def open(self, com):
        return serial.Serial(os.path.join(self.port_dir, com), 9600, timeout=5)

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def client_section(com, port, extra="", address="127.0.0.1"):
    return ("[%s]\nEnable=1\nMode=client\nConnectType=raw\nSSL=1\nIPAddress=%s\nPeerPort=%d\n%s"
            % (com, address, port, extra))


class PythonTlsServer:
    """One-connection TLS server of Python's ssl module on the dual-stack
    loopback; records the SNI name and the client certificate, echoes."""

    def __init__(self, cert, key, client_ca=None):
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert, key)
        if client_ca:
            self.ctx.verify_mode = ssl.CERT_REQUIRED
            self.ctx.load_verify_locations(client_ca)
        self.sni = []
        self.ctx.sni_callback = lambda sock, name, ctx: self.sni.append(name)
        self.peer_cert = None
        self.error = None
        self.sock = socket.create_server(("::", 0), family=socket.AF_INET6, dualstack_ipv6=True)
        self.port = self.sock.getsockname()[1]
        self.sock.settimeout(20)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
            with self.ctx.wrap_socket(conn, server_side=True) as tls:
                self.peer_cert = tls.getpeercert()
                data = tls.recv(100)
                tls.sendall(b"echo:" + data)
                time.sleep(0.5)
        except (OSError, ssl.SSLError) as e:
            self.error = e

    def close(self):
        self.sock.close()


def end(proc):
    proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            stream.close()


class TlsTrustTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="nimbrel-tls-")
        self.dir = self.tmp.name
        self.pki = Pki(self.dir)
        self.cleanups = []

    def tearDown(self):
        for fn in reversed(self.cleanups):
            fn()
        self.tmp.cleanup()

    def start(self, ini):
        d = Daemon(self.dir, ini)
        self.cleanups.append(d.close)
        return d

    def s_server(self, cert, key):
        port = free_port()
        proc = subprocess.Popen(["openssl", "s_server", "-accept", str(port), "-cert", cert, "-key", key, "-quiet"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: end(proc))
        self.assertTrue(wait_listening(port), "openssl s_server did not come up")
        return port, proc

    def s_client(self, port, *args):
        proc = subprocess.Popen(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-quiet", *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.cleanups.append(lambda: end(proc))
        return proc

    def connect_through(self, d, com):
        port = d.open(com)
        self.cleanups.append(port.close)
        return port

    def test_ca_signed_certificate_is_verified_and_carries_data(self):
        cert, key = self.pki.issue("device")
        port, server = self.s_server(cert, key)
        d = self.start("[Options]\nTlsCaFile=%s\n\n%s" % (self.pki.ca[0], client_section("COM2", port, "TlsVerify=1\n")))
        self.assertTrue(d.wait_line("TLS CA: " + self.pki.ca[0]), d.seen)
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        com = self.connect_through(d, "COM2")
        self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
        com.write(b"verified\n")
        self.assertEqual(server.stdout.readline(), b"verified\n")

    def test_self_signed_is_refused_when_verifying_and_taken_when_pinned(self):
        cert, key = self.pki.issue("device", signed=False)
        port_verify, _ = self.s_server(cert, key)
        port_pin, server_pin = self.s_server(cert, key)
        # Typed as people do: lower case, without colons.
        pin = fingerprint(cert).replace(":", "").lower()
        d = self.start(client_section("COM2", port_verify, "TlsVerify=1\n") +
                       client_section("COM3", port_pin, "TlsVerify=1\nTlsPin=%s\n" % pin))
        self.assertTrue(d.wait_line("COM3 Create: Created"), d.seen)
        self.connect_through(d, "COM2")
        com3 = self.connect_through(d, "COM3")
        self.assertTrue(d.wait_reason("COM2", "certificate verify failed: self-signed certificate"), d.seen)
        self.assertTrue(d.wait_line("COM2 Connection: Connect Error"), d.seen)
        self.assertTrue(d.wait_line("COM3 Connection: Connected"), d.seen)
        com3.write(b"pinned\n")
        self.assertEqual(server_pin.stdout.readline(), b"pinned\n")

    def test_wrong_name_expired_and_pin_mismatch_are_refused_with_the_reason(self):
        wrong = self.pki.issue("wrong", sans=("other.example",))
        expired = self.pki.issue("expired", days=(-10, -1))
        other = self.pki.issue("other")
        port_wrong, _ = self.s_server(*wrong)
        port_expired, _ = self.s_server(*expired)
        port_pin, _ = self.s_server(*other)
        d = self.start("[Options]\nTlsCaFile=%s\n\n" % self.pki.ca[0] +
                       client_section("COM2", port_wrong, "TlsVerify=1\n") +
                       client_section("COM3", port_expired, "TlsVerify=1\n") +
                       client_section("COM4", port_pin, "TlsPin=%s\n" % ("AB:" * 31 + "AB")))
        self.assertTrue(d.wait_line("COM4 Create: Created"), d.seen)
        for com in ("COM2", "COM3", "COM4"):
            self.connect_through(d, com)
        self.assertTrue(d.wait_reason("COM2", "certificate name mismatch: the certificate is not for 127.0.0.1"),
                        d.seen)
        self.assertTrue(d.wait_reason("COM3", "certificate verify failed: certificate has expired"), d.seen)
        self.assertTrue(d.wait_reason("COM4", "certificate pin mismatch: got " + fingerprint(other[0])), d.seen)
        for com in ("COM2", "COM3", "COM4"):
            self.assertTrue(d.wait_line(com + " Connection: Connect Error"), d.seen)
        self.assertFalse([l for l in d.seen if l.endswith(" Connection: Connected")], d.seen)

    def test_a_name_is_sent_as_sni_and_the_client_certificate_is_offered(self):
        cert, key = self.pki.issue("device")
        client_cert, client_key = self.pki.issue("client", sans=())
        server = PythonTlsServer(cert, key, client_ca=self.pki.ca[0])
        self.cleanups.append(server.close)
        d = self.start("[Options]\nTlsCaFile=%s\nTlsCertificate=%s\nTlsPrivateKey=%s\n\n%s"
                       % (self.pki.ca[0], client_cert, client_key,
                          client_section("COM2", server.port, "TlsVerify=1\n", address="localhost")))
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        com = self.connect_through(d, "COM2")
        self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
        com.write(b"hi")
        self.assertEqual(com.read(7), b"echo:hi")
        self.assertEqual(server.sni, ["localhost"])
        self.assertIsNone(server.error)
        self.assertIn(((("commonName", "client"),),), [server.peer_cert["subject"]])

    def test_a_file_without_the_new_keys_takes_any_certificate_as_before(self):
        cert, key = self.pki.issue("device", sans=("other.example",), signed=False, days=(-10, -1))
        port, server = self.s_server(cert, key)
        d = self.start(client_section("COM2", port))
        self.assertTrue(d.wait_line("COM2 Create: Created"), d.seen)
        com = self.connect_through(d, "COM2")
        self.assertTrue(d.wait_line("COM2 Connection: Connected"), d.seen)
        com.write(b"as before\n")
        self.assertEqual(server.stdout.readline(), b"as before\n")
        self.assertFalse([l for l in d.seen if l.startswith("TLS ")], "no TLS files to tell about")

    def server_ini(self, port, options):
        return ("[Options]\n%s\n[COM1]\nEnable=1\nMode=server\nConnectType=raw\nSSL=1\nLocalPort=%d\n"
                % (options, port))

    def test_server_port_with_client_ca_serves_only_certified_peers(self):
        cert, key = self.pki.issue("device")
        client_cert, client_key = self.pki.issue("client", sans=())
        port = free_port()
        d = self.start(self.server_ini(port, "TlsCertificate=%s\nTlsPrivateKey=%s\nTlsClientCaFile=%s\n"
                                       % (cert, key, self.pki.ca[0])))
        self.assertTrue(d.wait_line("TLS certificate: " + cert), d.seen)
        self.assertTrue(d.wait_line("TLS client CA: " + self.pki.ca[0]), d.seen)
        self.assertTrue(d.wait_line("COM1 Create: Created"), d.seen)
        com = self.connect_through(d, "COM1")
        self.assertTrue(wait_listening(port))
        d.seen.clear()

        anonymous = self.s_client(port)
        anonymous.stdin.write(b"anonymous\n")
        anonymous.stdin.flush()
        self.assertTrue(d.wait_reason("COM1", "client certificate required: the peer sent none"), d.seen)
        anonymous.wait(timeout=10)
        com.timeout = 0.5
        self.assertEqual(com.read(100), b"", "nothing of the refused peer reaches the port")

        certified = self.s_client(port, "-cert", client_cert, "-key", client_key)
        certified.stdin.write(b"certified\n")
        certified.stdin.flush()
        com.timeout = 10
        self.assertEqual(com.read(10), b"certified\n")
        com.write(b"back\n")
        self.assertEqual(certified.stdout.readline(), b"back\n")

    def test_keys_beside_the_settings_are_used_and_a_readable_key_is_refused(self):
        cert, key = self.pki.issue("device")
        os.rename(cert, os.path.join(self.dir, "public.key"))
        os.rename(key, os.path.join(self.dir, "private.key"))
        port = free_port()
        d = self.start(self.server_ini(port, ""))
        self.assertTrue(d.wait_line("TLS certificate: " + os.path.join(self.dir, "public.key")), d.seen)
        self.assertTrue(d.wait_line("TLS private key: " + os.path.join(self.dir, "private.key")), d.seen)
        self.assertTrue(d.wait_line("COM1 Create: Created"), d.seen)
        com = self.connect_through(d, "COM1")
        self.assertTrue(wait_listening(port))
        client = self.s_client(port)
        client.stdin.write(b"found\n")
        client.stdin.flush()
        self.assertEqual(com.read(6), b"found\n")
        end(client)

        # Read at every connection: the same key made readable is refused.
        os.chmod(os.path.join(self.dir, "private.key"), 0o644)
        d.seen.clear()
        refused = self.s_client(port)
        refused.stdin.write(b"x\n")
        refused.stdin.flush()
        self.assertTrue(d.wait_reason("COM1", "private key %s is readable by others (mode 0644); chmod 600 it"
                                      % os.path.join(self.dir, "private.key")), d.seen)


if __name__ == "__main__":
    unittest.main()
