#!/usr/bin/env python3
"""End to end: quillmard as a separate process, quillmar and other
programs as its clients, the way a person uses them."""

import os
import random
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest

BIN = os.environ.get("QM_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
QUILLMARD = os.path.join(BIN, "quillmard")
QUILLMAR = os.path.join(BIN, "quillmar")

USAGE = ("Usage: \n-Q IRQ of the Quillmar Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
         "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help")

_serial = 0


def fresh_namespace(tag):
    global _serial
    _serial += 1
    return f"e2e{os.getpid()}-{tag}-{_serial}"


def wait_for(predicate, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


class Daemon:
    """A quillmard in its own namespace, ended with SIGTERM."""

    def __init__(self, ns, machine_args=(), driver_args=("-Q", "5"), ports=8):
        self.ns = ns
        self.out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([QUILLMARD, "--namespace", ns, *machine_args, "--", *driver_args],
                                     stdout=self.out, stderr=subprocess.STDOUT)
        if ports:
            wait_for(lambda: self.output().count("driver loaded") >= ports or self.proc.poll() is not None,
                     what="the driver to load its ports")
            wait_for(lambda: run(ns, "list").returncode == 0, what="quillmard to publish its ports")

    def output(self):
        self.out.seek(0)
        return self.out.read().decode(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=20)
        return self.proc.returncode

    def __del__(self):
        self.out.close()


def run(ns, *args, input=None, timeout=120):
    return subprocess.run([QUILLMAR, "--namespace", ns, *args], input=input, capture_output=True,
                          timeout=timeout)


class DefaultMachine(unittest.TestCase):
    """The default machine: 0-1, 2-3, 4-5 null-modem, 6 loopback, 7 pty."""

    @classmethod
    def setUpClass(cls):
        cls.ns = fresh_namespace("default")
        cls.tmp = tempfile.mkdtemp()
        cls.link = os.path.join(cls.tmp, "ttyQ7")
        cls.daemon = Daemon(cls.ns, ["--board", "model=4,irq=5",
                                     "--line", "0.0=null-modem:0.1", "--line", "0.2=null-modem:0.3",
                                     "--line", "0.4=null-modem:0.5", "--line", "0.6=loopback",
                                     "--line", f"0.7=pty:{cls.link}"])

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def q(self, *args, **kw):
        return run(self.ns, *args, **kw)

    def config(self, port, settings, *flags):
        r = self.q("config", str(port), settings, *flags)
        self.assertEqual(r.returncode, 0, r.stderr.decode())

    def test_send_and_recv_a_megabyte_with_rtscts(self):
        # Both rates at once, on two cable pairs.
        data = {}
        procs = []
        for tx, rx, rate in ((0, 1, "115200"), (2, 3, "921600")):
            self.config(tx, f"{rate},8N1", "--rtscts")
            self.config(rx, f"{rate},8N1", "--rtscts")
            src = os.path.join(self.tmp, f"src{tx}.bin")
            dst = os.path.join(self.tmp, f"dst{rx}.bin")
            data[rx] = os.urandom(1 << 20)
            with open(src, "wb") as f:
                f.write(data[rx])
            recv = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "recv", str(rx), dst,
                                     "--bytes", str(1 << 20), "--timeout", "20000"],
                                    stderr=subprocess.PIPE)
            send = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "send", str(tx), src],
                                    stderr=subprocess.PIPE)
            procs.append((rate, send, recv, dst, rx))
        for rate, send, recv, dst, rx in procs:
            self.assertEqual(send.wait(timeout=300), 0, send.stderr.read().decode())
            self.assertEqual(recv.wait(timeout=300), 0, recv.stderr.read().decode())
            self.assertEqual(send.stderr.read(), b"", "quiet when not on a terminal")
            with open(dst, "rb") as f:
                self.assertTrue(f.read() == data[rx], f"file differs at {rate} bit/s")
            status = self.q("status", str(rx)).stdout.decode()
            self.assertIn("line errors since start: none", status)

    def test_send_returns_once_the_bytes_have_left_the_port(self):
        self.config(0, "9600,8N1")
        self.config(1, "9600,8N1")
        payload = os.urandom(1200)  # 1.25 s at 9600 bit/s
        src = os.path.join(self.tmp, "slow.bin")
        with open(src, "wb") as f:
            f.write(payload)
        recv = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "recv", "1", "-", "--bytes",
                                 str(len(payload)), "--timeout", "10000"], stdout=subprocess.PIPE)
        start = time.monotonic()
        sent = self.q("send", "0", src)
        self.assertEqual(sent.returncode, 0, sent.stderr.decode())
        self.assertGreater(time.monotonic() - start, 1.0, "returned before the line carried it")
        self.config(0, "9600,8N1")  # reconfiguring straight after cuts nothing off
        got = recv.communicate(timeout=20)[0]
        self.assertEqual(recv.returncode, 0)
        self.assertTrue(got == payload, f"{len(got)} of {len(payload)} bytes")

    def test_config_raises_dtr_and_rts_and_says_what_it_set(self):
        r = self.q("config", "4", "56700")
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(r.stdout.decode(), "4: 56700, DTR on, RTS on; 57600 bit/s (+1.59%)\n")
        self.assertIn("outputs: DTR on   RTS on", self.q("status", "4").stdout.decode())
        r = self.q("config", "4", "115200,8N1", "--lower-dtr", "--lower-rts")
        self.assertEqual(r.stdout.decode(), "4: 115200,8N1, DTR off, RTS off; exactly 115200 bit/s\n")
        self.assertIn("outputs: DTR off  RTS off", self.q("status", "4").stdout.decode())

    def test_watch_shows_each_change_of_the_lines(self):
        self.config(4, "115200,8N1")
        self.config(5, "115200,8N1")
        watch = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "watch", "5", "--seconds", "3"],
                                 stdout=subprocess.PIPE)
        time.sleep(0.5)
        self.assertEqual(self.q("rts", "4", "off").returncode, 0)
        time.sleep(0.5)
        self.assertEqual(self.q("dtr", "4", "off").returncode, 0)
        lines = watch.communicate(timeout=20)[0].decode().splitlines()
        self.assertEqual(watch.returncode, 0)
        self.assertGreaterEqual(len(lines), 3, lines)
        self.assertTrue(lines[0].startswith("CTS on  DSR on "), lines)
        self.assertTrue(any(l.startswith("CTS off DSR on ") for l in lines), lines)
        self.assertTrue(lines[-1].startswith("CTS off DSR off"), lines)

    def test_bench_reports_each_second_and_as_json(self):
        self.config(2, "921600,8N1", "--rtscts")
        self.config(3, "921600,8N1", "--rtscts")
        r = self.q("bench", "2", "3", "--seconds", "2")
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        out = r.stdout.decode().splitlines()
        self.assertTrue(out[0].strip().startswith("1 s  2 -> 3:"), out)
        self.assertIn("lost 0 (in 0 gaps)", out[-3])
        r = self.q("bench", "2", "3", "--seconds", "1", "--json")
        import json
        result = json.loads(r.stdout)
        self.assertEqual([d["lost"] for d in result["directions"]], [0, 0])
        self.assertGreater(result["directions"][0]["kB_per_s"], 10)

    def test_pipe_carries_binary_both_ways(self):
        self.config(4, "921600,8N1", "--rtscts")
        self.config(5, "921600,8N1", "--rtscts")
        a = bytes(range(256)) * 64 + os.urandom(5000)
        b = os.urandom(20000) + b"\x00\x11\x13\xff"
        pa = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "pipe", "4", "--idle", "1500"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        pb = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "pipe", "5", "--idle", "1500"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        results = {}
        threads = [threading.Thread(target=lambda k=k, p=p, d=d: results.__setitem__(k, p.communicate(d, timeout=60)[0]))
                   for k, p, d in (("a", pa, a), ("b", pb, b))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        out_a, out_b = results["a"], results["b"]
        self.assertEqual(pa.returncode, 0)
        self.assertTrue(out_b == a, "port 5 did not receive what port 4 sent")
        self.assertTrue(out_a == b, "port 4 did not receive what port 5 sent")

    def test_term_echoes_through_a_loopback_plug(self):
        if not shutil.which("tmux"):
            self.skipTest("tmux is not installed")
        self.config(6, "115200,8N1")
        session = f"qm{os.getpid()}"
        subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "20",
                        QUILLMAR, "--namespace", self.ns, "term", "6"], check=True)
        try:
            capture = lambda: subprocess.run(["tmux", "capture-pane", "-p", "-t", session],
                                             capture_output=True).stdout.decode()
            wait_for(lambda: "Ctrl-A Ctrl-X leaves" in capture(), what="the terminal banner")
            subprocess.run(["tmux", "send-keys", "-t", session, "-l", "hello loop"], check=True)
            wait_for(lambda: "hello loop" in capture(), what="the echo from the loopback plug")
            subprocess.run(["tmux", "send-keys", "-t", session, "C-a", "b"], check=True)
            wait_for(lambda: "break sent" in capture(), what="the break")
            subprocess.run(["tmux", "send-keys", "-t", session, "C-a", "C-x"], check=True)
            wait_for(lambda: subprocess.run(["tmux", "has-session", "-t", session],
                                            capture_output=True).returncode != 0,
                     what="the terminal to leave")
        finally:
            subprocess.run(["tmux", "kill-session", "-t", session], capture_output=True)

    def test_pty_far_end_talks_to_the_port(self):
        self.config(7, "115200,8N1")
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            os.write(fd, b"from the pty\n")
            r = self.q("recv", "7", "-", "--bytes", "13", "--timeout", "5000")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            self.assertEqual(r.stdout, b"from the pty\n")
            r = self.q("pipe", "7", "--idle", "300", input=b"to the pty")
            got = b""
            deadline = time.monotonic() + 5
            while len(got) < 10 and time.monotonic() < deadline:
                got += os.read(fd, 100)
            self.assertEqual(got, b"to the pty")
        finally:
            os.close(fd)

    def test_a_late_pty_reader_loses_nothing_with_rtscts(self):
        # The pty's reader comes 2 s late: its far end pushes back with CTS,
        # the port's transmitter waits, and send waits with it.
        self.config(7, "921600,8N1", "--rtscts")
        payload = os.urandom(200 * 1024)
        src = os.path.join(self.tmp, "late.bin")
        with open(src, "wb") as f:
            f.write(payload)
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            send = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "send", "7", src],
                                    stderr=subprocess.PIPE)
            time.sleep(2.0)  # the reader is late on purpose
            self.assertIsNone(send.poll(), "send waits for the far end")
            got = b""
            deadline = time.monotonic() + 30
            while len(got) < len(payload) and time.monotonic() < deadline:
                ready, _, _ = select.select([fd], [], [], 1.0)
                if ready:
                    got += os.read(fd, 65536)
            self.assertEqual(send.wait(timeout=30), 0, send.stderr.read().decode())
            send.stderr.close()
            self.assertEqual(len(got), len(payload))
            self.assertTrue(got == payload, "bytes differ")
        finally:
            os.close(fd)

    def test_failures_have_one_line_and_a_nonzero_code(self):
        cases = [
            (["config", "0", "56000,8N1"],
             "56000 bit/s cannot be made from the 14745600 Hz clock: nearest is 57600 (+2.9%)"),
            (["config", "0", "115200,9N1"], "is not a line setting"),
            (["config", "0", "300,5N2"], "5 data bits take 1 or 1.5 stop bits"),
            (["status", "12"], "12: no such port"),
            (["status", "Serial99"], "Serial99: no such port"),
            (["recv", "7", "-", "--timeout", "300"], "timed out"),
            (["send", "0", "/tmp"], "/tmp is a directory"),
            (["bench", "0", "1", "--seconds", "nan"], "--seconds nan: give a number of seconds above 0"),
            (["bench", "0", "1", "--seconds", "-1"], "--seconds -1: give a number of seconds above 0"),
        ]
        self.config(7, "9600,8N1")
        for args, text in cases:
            with self.subTest(args=args):
                r = self.q(*args)
                self.assertNotEqual(r.returncode, 0)
                err = r.stderr.decode()
                self.assertIn(text, err)
                self.assertEqual(err.count("\n"), 1, err)
        r = run(fresh_namespace("none"), "list")
        self.assertEqual(r.returncode, 1)
        self.assertIn("no driver is running", r.stderr.decode())
        r = run("a b", "list")
        self.assertEqual(r.returncode, 1)
        self.assertIn("namespace 'a b' is not valid", r.stderr.decode())
        # A receiver that cannot write what it received stops at once.
        self.config(0, "115200,8N1")
        self.config(1, "115200,8N1")
        recv = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "recv", "1", "/dev/full", "--bytes", "3"],
                                stderr=subprocess.PIPE)
        self.assertEqual(self.q("pipe", "0", input=b"abc").returncode, 0)
        self.assertEqual(recv.wait(timeout=20), 1)
        err = recv.stderr.read().decode()
        recv.stderr.close()
        self.assertIn("cannot write /dev/full", err)
        self.assertEqual(err.count("\n"), 1, err)

    def test_unconfigured_port_says_how_to_configure_it(self):
        ns = fresh_namespace("fresh")
        d = Daemon(ns, ["--board", "model=3,irq=5"], ports=2)
        try:
            r = run(ns, "status", "1")
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr.decode(), "quillmar: 1 is not configured: run quillmar config 1\n")
            r = run(ns, "rts", "1", "on")
            self.assertIn("not configured", r.stderr.decode())
            self.assertEqual(run(ns, "config", "1", "9600").returncode, 0)
            self.assertEqual(run(ns, "rts", "1", "on").returncode, 0)
            self.assertIn("RTS on", run(ns, "status", "1").stdout.decode())
        finally:
            d.stop()

    def test_killed_clients_leave_the_port_usable(self):
        self.config(4, "115200,8N1")
        self.config(5, "115200,8N1")
        for i in range(15):
            p = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "recv", "4", "/dev/null",
                                  "--timeout", "10000"])
            time.sleep(0.01 + random.random() * 0.05)
            p.send_signal(signal.SIGKILL)
            p.wait()
            self.assertEqual(self.q("status", "5").returncode, 0)
        r = self.q("status", "4", timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        r = self.q("pipe", "5", "--idle", "200", input=b"still alive")
        got = self.q("recv", "4", "-", "--bytes", "11", "--timeout", "5000")
        self.assertEqual(got.stdout, b"still alive")


class DriverCommandLine(unittest.TestCase):
    def test_usage_and_option_messages(self):
        r = subprocess.run([QUILLMARD, "--namespace", fresh_namespace("h"), "--no-board", "--", "-h"],
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout.decode(), USAGE)
        r = subprocess.run([QUILLMARD, "--namespace", fresh_namespace("s"), "--", "-S", "2"],
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout.decode(), "IrqShare wrong value, should be 0 or 1\n")

    def test_scan_messages_then_stays_up_until_a_signal(self):
        for args, message in ((["--board", "model=4,irq=5"], "Supplied IRQ is not attached to any Quillmar board.\n"),
                              (["--no-board"], "There is no Quillmar board in the system.\n")):
            d = Daemon(fresh_namespace("scan"), args, driver_args=("-Q", "7"), ports=0)
            wait_for(lambda: message in d.output(), what=message)
            time.sleep(0.3)
            self.assertIsNone(d.proc.poll(), "the process parks, it does not end")
            self.assertEqual(d.stop(), 0)
            self.assertEqual(d.output(), message)

    def test_bad_wiring_is_refused_naming_the_option(self):
        cases = [(["--board", "model=3,irq=5", "--line", "0.5=loopback"], "--line 0.5=loopback"),
                 (["--board", "model=3,irq=5", "--line", "0.0=loopback", "--line", "0.0=none"], "wired twice"),
                 (["--board", "model=3,irq=5", "--line", "0.0=tcp:127.0.0.1"], "expected tcp:HOST:PORT"),
                 (["--board", "irq=5"], "--board irq=5"),
                 (["--board", "model=0,irq=5"], "bad value for model: '0' (1 to 16)"),
                 (["--board", "model=17,irq=5"], "bad value for model: '17' (1 to 16)"),
                 (["--line", "0.0=loopback"], "there is no board: give one with --board"),
                 ]
        for args, text in cases:
            with self.subTest(args=args):
                r = subprocess.run([QUILLMARD, "--namespace", fresh_namespace("bad"), *args, "--", "-Q", "5"],
                                   capture_output=True, timeout=20)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(text, r.stderr.decode())
        for ns in ("n" * 300, "héllo"):
            r = subprocess.run([QUILLMARD, "--namespace", ns, "--", "-Q", "5"], capture_output=True, timeout=20)
            self.assertEqual(r.returncode, 2)
            self.assertIn("is not valid: use 1 to 64 letters", r.stderr.decode())

    def test_two_instances_two_boards_and_a_cable_between(self):
        ns = fresh_namespace("two")
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        a = Daemon(ns, ["--board", "model=3,irq=5", "--line", f"0.0=tcp-listen:{port}"],
                   driver_args=("-Q", "5", "-P", "0"), ports=2)
        try:
            b = Daemon(ns, ["--board", "model=3,irq=9", "--line", f"0.0=tcp:127.0.0.1:{port}"],
                       driver_args=("-Q", "9", "-P", "8"), ports=2)
            try:
                listing = run(ns, "list").stdout.decode()
                for n in ("Serial0", "Serial1", "Serial8", "Serial9"):
                    self.assertIn(n, listing)
                # The socket carries no modem lines, but the far end holds
                # back while the port's automatic RTS asks it to.
                for p in ("0", "8"):
                    self.assertEqual(run(ns, "config", p, "115200,8N1", "--rtscts").returncode, 0)
                payload = os.urandom(3000)
                r = run(ns, "pipe", "0", "--idle", "200", input=payload)
                self.assertEqual(r.returncode, 0)
                got = run(ns, "recv", "8", "-", "--bytes", str(len(payload)), "--timeout", "5000")
                self.assertEqual(got.returncode, 0, got.stderr.decode())
                self.assertTrue(got.stdout == payload)
                # A third instance with a -P already taken.
                # It serves none of its ports rather than some, and says so.
                c = Daemon(ns, ["--board", "model=3,irq=9"], driver_args=("-Q", "9", "-P", "8"), ports=0)
                self.assertEqual(c.proc.wait(timeout=20), 1)
                self.assertIn("Failed to register Quillmar driver (error=183).\n"
                              "Driver by this name is already loaded.\n", c.output())
                self.assertIn("none is served", c.output())
                got = run(ns, "status", "8")
                self.assertEqual(got.returncode, 0, "the first driver's port 8 still answers")
            finally:
                b.stop()
        finally:
            a.stop()

    def test_injected_line_trouble_shows_in_status(self):
        ns = fresh_namespace("noise")
        d = Daemon(ns, ["--board", "model=3,irq=5", "--inject", "0.1=parity:20", "--inject", "0.1=break:30"],
                   ports=2)
        try:
            self.assertEqual(run(ns, "config", "1", "9600,8N1").returncode, 0)
            wait_for(lambda: all(w in run(ns, "status", "1").stdout.decode() for w in ("parity", "break")),
                     what="the injected errors in the status")
        finally:
            d.stop()
        r = subprocess.run([QUILLMARD, "--namespace", ns, "--board", "model=3,irq=5", "--inject", "0.1=noise:5",
                            "--", "-Q", "5"], capture_output=True, timeout=20)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("--inject 0.1=noise:5", r.stderr.decode())

    def test_sigterm_then_immediate_restart_under_the_same_names(self):
        ns = fresh_namespace("restart")
        d = Daemon(ns, ["--board", "model=3,irq=5"], ports=2)
        self.assertEqual(d.stop(), 0)
        d = Daemon(ns, ["--board", "model=3,irq=5"], ports=2)
        try:
            self.assertNotIn("already loaded", d.output())
            self.assertEqual(run(ns, "config", "0", "9600").returncode, 0)
        finally:
            self.assertEqual(d.stop(), 0)
        leftovers = [n for n in os.listdir("/dev/shm") if ns in n]
        self.assertEqual(leftovers, [], "every named object released")


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FarEnds(unittest.TestCase):
    """No byte lost, or the sender held: a port sending to each kind of far
    end, at two rates, with RTS/CTS and a reader that comes late, or
    without flow control and a reader that is there."""

    @classmethod
    def setUpClass(cls):
        cls.ns = fresh_namespace("far")
        cls.tmp = tempfile.mkdtemp()
        cls.tcp = free_tcp_port()
        cls.link = os.path.join(cls.tmp, "ttyQ1")
        cls.daemon = Daemon(cls.ns, ["--board", "model=4,irq=5", "--line", "0.2=null-modem:0.3",
                                     "--line", f"0.1=pty:{cls.link}",
                                     "--line", f"0.0=tcp-listen:{cls.tcp}"])

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def open_far_end(self, kind):
        """A reader for the far end: returns (read(n, timeout) -> bytes, close)."""
        if kind == "pty":
            fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(fd, termios.TCSANOW)  # keep what already waits

            def read(timeout):
                r, _, _ = select.select([fd], [], [], timeout)
                return os.read(fd, 65536) if r else b""
            return read, lambda: os.close(fd)
        if kind == "tcp":
            sock = socket.create_connection(("127.0.0.1", self.tcp))

            def read(timeout):
                r, _, _ = select.select([sock], [], [], timeout)
                return sock.recv(65536) if r else b""
            return read, sock.close
        recv = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "recv", "3", "-", "--idle", "1500"],
                                stdout=subprocess.PIPE)
        os.set_blocking(recv.stdout.fileno(), False)

        def read(timeout):
            r, _, _ = select.select([recv.stdout], [], [], timeout)
            return (recv.stdout.read() or b"") if r else b""

        def close():
            recv.kill()
            recv.wait()
            recv.stdout.close()
        return read, close

    def test_no_byte_lost_or_the_sender_held(self):
        port = {"tcp": 0, "pty": 1, "null-modem": 2}
        cases = [  # far end, rate, flow control, reader's delay in seconds
            ("null-modem", 115200, "--rtscts", 1.0),
            ("null-modem", 921600, "--rtscts", 1.0),
            ("null-modem", 921600, None, 0),
            ("pty", 115200, "--rtscts", 1.0),
            ("pty", 921600, None, 0),
            ("tcp", 115200, "--rtscts", 1.0),
            ("tcp", 921600, "--rtscts", 1.0),
            ("tcp", 921600, None, 0),
        ]
        for kind, rate, flow, delay in cases:
            with self.subTest(far_end=kind, rate=rate, flow=flow, delay=delay):
                p = port[kind]
                for q in (p, 3) if kind == "null-modem" else (p,):
                    r = run(self.ns, "config", str(q), f"{rate},8N1", *([flow] if flow else []))
                    self.assertEqual(r.returncode, 0, r.stderr.decode())
                payload = os.urandom(rate // 10 * 2)  # two seconds of line
                src = os.path.join(self.tmp, "src.bin")
                with open(src, "wb") as f:
                    f.write(payload)
                reader = None
                if delay == 0:
                    reader = self.open_far_end(kind)
                send = subprocess.Popen([QUILLMAR, "--namespace", self.ns, "send", str(p), src,
                                         "--timeout", "30000"], stderr=subprocess.PIPE)
                if reader is None:
                    time.sleep(delay)  # the reader is late on purpose
                    reader = self.open_far_end(kind)
                read, close = reader
                got = b""
                deadline = time.monotonic() + 30
                try:
                    while len(got) < len(payload) and time.monotonic() < deadline:
                        got += read(1.0)
                finally:
                    close()
                self.assertEqual(send.wait(timeout=30), 0, send.stderr.read().decode())
                send.stderr.close()
                self.assertEqual(len(got), len(payload))
                self.assertTrue(got == payload, "bytes differ")


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def object_path(ns, name):
    escaped = "".join(c if c.isalnum() or c in ".-" else "_%02X" % ord(c) for c in name)
    return f"/dev/shm/quillmar.{ns}/{escaped}"


HOLD_MUTEXES = r"""
import ctypes, mmap, os, sys, time
libc = ctypes.CDLL("libc.so.6")
maps = []
for path in sys.argv[1:]:
    fd = os.open(path, os.O_RDWR)
    m = mmap.mmap(fd, os.fstat(fd).st_size)
    maps.append(m)
    address = ctypes.addressof(ctypes.c_char.from_buffer(m)) + 64
    assert libc.pthread_mutex_lock(ctypes.c_void_p(address)) == 0
print("held", flush=True)
time.sleep(600)
"""


class Security(unittest.TestCase):
    """Who gets in, and what a client can do to the driver."""

    def test_sigterm_with_every_mutex_held_is_quick_and_leaves_nothing(self):
        ns = fresh_namespace("held")
        d = Daemon(ns, ["--board", "model=4,irq=5"])
        paths = [object_path(ns, f"\\RtDevice\\Quillmar\\Serial{n}") for n in range(8)]
        holder = subprocess.Popen(["python3", "-c", HOLD_MUTEXES, *paths], stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline(), b"held\n")
            start = time.monotonic()
            self.assertEqual(d.stop(), 0)
            self.assertLess(time.monotonic() - start, 5.0)
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()
        self.assertEqual([n for n in os.listdir("/dev/shm") if ns in n], [], "nothing left behind")

    def test_truncated_object_takes_down_one_port_only(self):
        ns = fresh_namespace("cut")
        d = Daemon(ns, ["--board", "model=4,irq=5", "--line", "0.2=null-modem:0.3"])
        try:
            for port in (0, 2, 3):
                self.assertEqual(run(ns, "config", str(port), "115200,8N1").returncode, 0)
            os.truncate(object_path(ns, "\\RtDevice\\Quillmar\\Serial0.sm"), 0)
            r = run(ns, "status", "0")
            self.assertEqual(r.returncode, 1)
            r = run(ns, "rts", "0", "on")
            self.assertNotEqual(r.returncode, 0)
            got = subprocess.Popen([QUILLMAR, "--namespace", ns, "recv", "3", "-", "--bytes", "4"],
                                   stdout=subprocess.PIPE)
            self.assertEqual(run(ns, "pipe", "2", input=b"ping", timeout=20).returncode, 0)
            self.assertEqual(got.communicate(timeout=20)[0], b"ping")
            self.assertIsNone(d.proc.poll(), "the driver is still up")
        finally:
            self.assertEqual(d.stop(), 0)
        self.assertEqual([n for n in os.listdir("/dev/shm") if ns in n], [], "nothing left behind")

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
    def test_another_user_is_kept_out_unless_let_in(self):
        ns = fresh_namespace("private")
        d = Daemon(ns, ["--board", "model=3,irq=5"], ports=2)
        try:
            for cmd in (["status", "0"], ["list"]):
                r = subprocess.run(NOBODY + [QUILLMAR, "--namespace", ns, *cmd], capture_output=True)
                self.assertEqual(r.returncode, 1)
                self.assertTrue(r.stderr.startswith(b"quillmar: permission denied: "), r.stderr)
        finally:
            d.stop()
        d = Daemon(ns, ["--access", "all", "--board", "model=3,irq=5"], ports=2)
        try:
            self.assertIn("warning: --access all", d.output())
            r = subprocess.run(NOBODY + [QUILLMAR, "--namespace", ns, "config", "0", "9600"],
                               capture_output=True)
            self.assertEqual(r.returncode, 0, r.stderr)
        finally:
            d.stop()

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
    def test_a_namespace_squatted_by_another_user_is_refused(self):
        ns = fresh_namespace("squat")
        directory = f"/dev/shm/quillmar.{ns}"
        subprocess.run(NOBODY + ["mkdir", "-m", "777", directory], check=True)
        try:
            r = subprocess.run([QUILLMARD, "--namespace", ns, "--board", "model=3,irq=5", "--", "-Q", "5"],
                               capture_output=True, timeout=20)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"belongs to nobody", r.stderr)
            self.assertNotIn(b"driver loaded", r.stdout)
        finally:
            os.rmdir(directory)


if __name__ == "__main__":
    unittest.main(verbosity=2)
