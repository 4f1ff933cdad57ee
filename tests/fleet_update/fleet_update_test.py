#!/usr/bin/python3
"""tarnix-fleet end to end: the real program against tarnix-sim with two
modules on virtual USB, two on TCP/IP (found by Ethernet discovery) and a
routing module (model Dravik) with two modules behind it, and against the
stand-in update server. Every JSON line is parsed; every result is checked
against what the simulator says the module runs and holds in its flash.

Runs inside a private network namespace (scripts/netns-run.sh):
  fleet_update_test.py --fleet F --sim S --birdtool B --server U --image-tool M [unittest args]
"""
import argparse
import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BIN = None  # the programs, from the command line

OLD_BUILD, NEW_BUILD, ROUTER_BUILD = 1000, 2000, 600
FLASH_BASE, SERIAL_OFFSET, DESCRIPTOR_OFFSET = 0x08000000, 128, 256
ROUTER = "D272031D"
RUN_TIMEOUT = 240  # seconds; far above what the product's own bounds allow

# name -> configuration; the router's model differs so --file skips it.
LAB = {
    "u1": {"serial": "1A000001", "transport": "usb"},
    "u2": {"serial": "1A000002", "transport": "usb"},
    "t1": {"serial": "2B000001"},
    "t2": {"serial": "2B000002"},
    "router": {"serial": ROUTER, "model": 13, "address": 4, "version": "2.15.3", "build": 500},
    "r1": {"serial": "3C000001", "router": "router", "i2c_address": "0x10"},
    "r2": {"serial": "3C000002", "router": "router", "i2c_address": "0x12"},
}
RISTOVA = [n for n in LAB if n != "router"]
DIRECT = ["u1", "u2", "t1", "t2"]
ROUTED = ["r1", "r2"]
UPGRADE_LINE = re.compile(r"tarnix-sim: (\w+): (upgrade INIT|PREPARE|WRITE|REBOOT|upgrade data|loader of)")
BOOTED_LINE = re.compile(r"tarnix-sim: (\w+): booted the written image")


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def deadline_wait(what, ready, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = ready()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Sim:
    """One tarnix-sim process running `modules` (name -> keys), with its state on disk."""

    def __init__(self, work, modules):
        self.work, self.modules = work, modules
        self.state, self.logfile = os.path.join(work, "state"), os.path.join(work, "sim.log")
        ini, ready = os.path.join(work, "sim.ini"), os.path.join(work, "sim.ready")
        with open(ini, "w") as f:
            for name, keys in modules.items():
                f.write("[module %s]\n" % name)
                base = {"model": 17, "version": "2.15.0", "build": OLD_BUILD, "flash_base": hex(FLASH_BASE)}
                for key, value in {**base, **keys}.items():
                    f.write("%s = %s\n" % (key, "0x" + value if key == "serial" else value))
        env = dict(os.environ, TMPDIR=work)  # the USB test bed lands here
        self.proc = subprocess.Popen([BIN.sim, "--discovery", "--bind", "10.77.0.1", "--state", self.state,
                                      "--log", self.logfile, "--ready-file", ready, ini],
                                     stdout=subprocess.DEVNULL, env=env)

        def read_ready():
            if self.proc.poll() is not None:
                raise AssertionError("tarnix-sim ended at start:\n" + self.log())
            text = read(ready) if os.path.exists(ready) else ""
            return text if "READY" in text.split() else None
        lines = deadline_wait("tarnix-sim", read_ready).splitlines()
        self.env = dict(line[4:].split("=", 1) for line in lines if line.startswith("env "))
        self.control_port = int([l for l in lines if l.startswith("control ")][0].rsplit(":", 1)[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(30)

    def control(self, line):
        with socket.create_connection(("127.0.0.1", self.control_port), timeout=10) as s:
            s.sendall(line.encode() + b"\n")
            answer = s.makefile().readline().strip()
        if not answer.startswith("ok"):
            raise AssertionError("control %r: %s" % (line, answer))
        return answer

    def status(self, name):
        return dict(re.findall(r"(\w+)=(\"[^\"]*\"|\S+)", self.control("status " + name)))

    def flash(self, name):
        return read(os.path.join(self.state, name, "flash.bin"), "rb")

    def log(self):
        return read(self.logfile) if os.path.exists(self.logfile) else ""

    def upgrade_lines(self, since=0, pattern=UPGRADE_LINE):
        """(line number, module) of every upgrade command the modules received after `since` bytes of log."""
        return [(i, m.group(1)) for i, line in enumerate(self.log()[since:].splitlines())
                for m in [pattern.search(line)] if m]

    def clear(self):
        """Stopped, its modules' state and log removed, for the next simulator in the same place."""
        self.stop()
        shutil.rmtree(self.state)
        os.remove(self.logfile)

    def names_of(self, serial):
        return [n for n, keys in self.modules.items() if keys["serial"] == serial]


class Run:
    def __init__(self, rc, events, err):
        self.rc, self.events, self.err = rc, events, err

    def of(self, event):
        return [e for e in self.events if e["event"] == event]

    def results(self):
        return {e["serial"]: e for e in self.of("result")}

    def first(self, event, serial):
        return [e for e in self.of(event) if e["serial"] == serial][0]


def parse_stream(test, out):
    """Every line one object with schema 1, an event, a time and upper-case hexadecimal serial numbers."""
    events = []
    for line in out.splitlines():
        event = json.loads(line)
        test.assertIsInstance(event, dict, line)
        test.assertEqual(event.get("schema"), 1, line)
        test.assertIsInstance(event.get("event"), str, line)
        test.assertIsInstance(event.get("time"), (int, float), line)
        for key in ("serial", "router"):
            if event.get(key) is not None:
                test.assertRegex(event[key], r"^[0-9A-F]{8}$", line)
        events.append(event)
    return events


class FleetTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="fleet-update-")
        self.store = os.path.join(self.work, "store")
        self.sims = []
        self.bird, self.image = self.make_firmware("ristova", "Ristova", NEW_BUILD)

    def tearDown(self):
        for sim in self.sims:
            sim.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def make_firmware(self, name, model, build, out=None):
        """A BIRD file whose image carries the simulator's identity record; the image as written."""
        image, manifest = os.path.join(self.work, name + ".bin"), os.path.join(self.work, name + ".manifest")
        subprocess.run([BIN.image_tool, image, "--version", "2.16.1", "--build", str(build),
                        "--load-address", hex(FLASH_BASE), "--serial-offset", str(SERIAL_OFFSET)], check=True)
        with open(os.path.join(self.work, name + ".ld"), "wb") as f:
            f.write(bytes(range(0xC0, 0xC0 + 60)))
        with open(manifest, "w") as f:
            f.write("build %d\nversion 2.16.1\nmodel %s\nserial 00000000\nserial-offsets %s %s\n"
                    "loader 0x20000000 %s.ld\nfirmware %s %s.bin\n"
                    % (build, model, hex(FLASH_BASE + SERIAL_OFFSET), hex(FLASH_BASE + DESCRIPTOR_OFFSET),
                       name, hex(FLASH_BASE), name))
        bird = out or os.path.join(self.work, name + ".bird")
        subprocess.run([BIN.birdtool, "pack", manifest, bird], check=True, stdout=subprocess.DEVNULL)
        return bird, read(image, "rb")

    @contextlib.contextmanager
    def update_server(self, catalog, devices):
        """The stand-in update server on `catalog` knowing `devices` (serial -> model); yields (url, log path)."""
        listed = os.path.join(self.work, "devices")
        with open(listed, "w") as f:
            for serial, model in devices.items():
                f.write("%s %s\n" % (serial, model))
        log = open(os.path.join(self.work, "server.log"), "w+")
        server = subprocess.Popen([BIN.server, "--catalog", catalog, "--devices", listed, "--secret", "k",
                                   "--port", "0"], stdout=log, stderr=subprocess.STDOUT)
        try:
            url = deadline_wait("the update server", lambda: re.search(
                r"listening on (\S+)", read(log.name))).group(1)
            yield url, log.name
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(30)
            log.close()

    def lab(self, changes=None):
        """The standard lab, each module's keys updated from `changes` (name -> keys)."""
        modules = {name: dict(keys, **(changes or {}).get(name, {})) for name, keys in LAB.items()}
        sim = Sim(self.work, modules)
        self.sims.append(sim)
        return sim

    def fleet(self, sim, *args, store=None, user=None, on_event=None):
        env = dict(os.environ, **sim.env)
        argv = [BIN.fleet] + list(args) + ["--json", "-i", store or self.store]
        if not any(a == "-u" for a in args):
            argv += ["-u", "127.0.0.1:1"]
        if user is not None:
            argv = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + argv
        out = []
        with tempfile.TemporaryFile("w+") as errors:  # a file: it can never fill and stall the program
            with subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=errors, env=env, text=True) as proc:
                for line in proc.stdout:  # read as it comes, so that a case can act on an event
                    out.append(line)
                    if on_event:
                        on_event(proc, json.loads(line))
                rc = proc.wait(RUN_TIMEOUT)
            errors.seek(0)
            err = errors.read()
        return Run(rc, parse_stream(self, "".join(out)), err)

    def patched(self, serial, image=None):
        image = bytearray(image or self.image)
        image[SERIAL_OFFSET:SERIAL_OFFSET + 4] = int(serial, 16).to_bytes(4, "little")
        for i, digit in enumerate(serial.encode()):
            image[DESCRIPTOR_OFFSET + 2 * i] = digit
        return bytes(image)

    def expect_results_match_sim(self, sim, run, images=None):
        """Each result agrees with what the module runs and holds; the flash of an updated one is exactly the image."""
        for result in run.of("result"):
            serial = result["serial"]
            for name in sim.names_of(serial):
                status = sim.status(name)
                with self.subTest(module=name, status=result["status"]):
                    ran = {"updated": result["to_build"], "up-to-date": result["to_build"]}.get(
                        result["status"], result["from_build"])
                    self.assertEqual(int(status["build"]), ran, status)
                    self.assertEqual(status["serial"], serial)
                    self.assertEqual(status["phase"] == "loader-running", result["left_in_loader"], (result, status))
                    if result["status"] == "updated":
                        image = self.patched(serial, (images or {}).get(name))
                        flash = sim.flash(name)
                        self.assertEqual(flash[:len(image)], image)
                        self.assertEqual(flash[len(image):].strip(b"\xff"), b"", "bytes beyond the image")

    def expect_record(self, run):
        """results.json under <store>/fleet/<date-time>/ holds the stream's results."""
        summary = run.of("summary")[-1]
        directory = summary["run_directory"]
        self.assertRegex(os.path.relpath(directory, self.store), r"^fleet/\d{8}-\d{6}(-\d+)?$")
        with open(os.path.join(directory, "results.json")) as f:
            record = json.load(f)
        self.assertEqual(record["exit"], run.rc)
        self.assertEqual({r["serial"]: (r["status"], r["left_in_loader"]) for r in record["results"]},
                         {s: (r["status"], r["left_in_loader"]) for s, r in run.results().items()})
        return record

    # ---- the cases -------------------------------------------------------------------------

    def test_list_shows_every_module(self):
        sim = self.lab()
        serials = {name: keys["serial"] for name, keys in LAB.items()}
        cases = [
            ([], list(LAB)),
            (["-t", "usb"], ["u1", "u2"]),
            (["-t", "tcpip"], ["t1", "t2", "router", "r1", "r2"]),
        ]
        for args, names in cases:
            with self.subTest(args=args):
                run = self.fleet(sim, "list", *args)
                self.assertEqual(run.rc, 0, run.err)
                modules = {m["serial"]: m for m in run.of("module")}
                self.assertEqual(sorted(modules), sorted(serials[n] for n in names))
                for name in names:
                    m, keys = modules[serials[name]], LAB[name]
                    transport = "i2c" if "router" in keys else keys.get("transport", "tcpip")
                    self.assertEqual((m["transport"], m["state"], m["build"]),
                                     (transport, "ok", keys.get("build", OLD_BUILD)), m)
                    self.assertEqual(m["router"], ROUTER if transport == "i2c" else None, m)
                    self.assertEqual(m["i2c_address"], int(keys["i2c_address"], 16) if transport == "i2c" else None)

    def test_update_from_file_then_nothing_to_do(self):
        # A reboot of one second gives every direct module's update a window
        # at least that long, so their windows overlap whatever the machine's speed.
        sim = self.lab({n: {"reboot_ms": 1000} for n in DIRECT})
        run = self.fleet(sim, "update", "--all", "--file", self.bird)
        self.assertEqual(run.rc, 0, run.err)
        results = run.results()
        self.assertEqual({s: r["status"] for s, r in results.items()},
                         {LAB[n]["serial"]: "skipped" if n == "router" else "updated" for n in LAB})
        self.expect_results_match_sim(sim, run)
        self.expect_record(run)

        # Behind one router, one at a time: by the events and by the order the simulator saw.
        first, second = sorted((LAB[n]["serial"] for n in ROUTED), key=lambda s: run.first("start", s)["time"])
        self.assertLessEqual(results[first]["time"], run.first("start", second)["time"])
        # From the first upgrade command to the boot of the new image.
        lines = sim.upgrade_lines() + sim.upgrade_lines(pattern=BOOTED_LINE)
        spans = {n: (min(i for i, m in lines if m == n), max(i for i, m in lines if m == n)) for n in RISTOVA}
        self.assertTrue(spans["r1"][1] < spans["r2"][0] or spans["r2"][1] < spans["r1"][0], spans)
        # USB and TCP/IP side by side: every one started before any ended.
        starts = [run.first("start", LAB[n]["serial"])["time"] for n in DIRECT]
        self.assertLess(max(starts), min(results[LAB[n]["serial"]]["time"] for n in DIRECT))
        self.assertLess(max(spans[n][0] for n in DIRECT), min(spans[n][1] for n in DIRECT), spans)

        # The same run again: nothing to do, and no module hears an upgrade command.
        before = len(sim.log())
        again = self.fleet(sim, "update", "--all", "--file", self.bird)
        self.assertEqual(again.rc, 0, again.err)
        self.assertEqual({s: r["status"] for s, r in again.results().items()},
                         {LAB[n]["serial"]: "skipped" if n == "router" else "up-to-date" for n in LAB})
        self.assertEqual(again.of("start"), [])
        self.assertEqual(sim.upgrade_lines(before), [])
        self.expect_results_match_sim(sim, again)

    def test_some_modules_cannot_be_updated(self):
        cases = [
            # (why, lab changes, modules that fail, text in their error)
            ("WRITE refused", {"t2": {"fault.refuse_write": "always"}}, ["t2"], "update stopped at: write"),
            ("same serial number twice", {"u2": {"serial": LAB["t1"]["serial"]}}, ["u2", "t1"],
             "duplicate serial number"),
        ]
        for why, changes, failing, text in cases:
            with self.subTest(why):
                sim = self.lab(changes)
                run = self.fleet(sim, "update", "--all", "--file", self.bird)
                self.assertEqual(run.rc, 2, run.err)
                failed = {sim.modules[n]["serial"] for n in failing}
                for result in run.of("result"):
                    expected = "failed" if result["serial"] in failed else (
                        "skipped" if result["serial"] == ROUTER else "updated")
                    self.assertEqual(result["status"], expected, result)
                    if expected == "failed":
                        self.assertIn(text, result["error"]["message"])
                self.assertEqual(len(run.of("result")), len(LAB))
                self.expect_results_match_sim(sim, run)
                if why == "same serial number twice":
                    self.assertEqual({m for _, m in sim.upgrade_lines()} & set(failing), set())
                sim.clear()

    def test_refused_before_anything_is_attempted(self):
        sim = self.lab()
        not_a_directory = os.path.join(self.work, "plain-file")
        open(not_a_directory, "w").close()
        locked = os.path.join(self.work, "locked")
        os.mkdir(locked, 0o755)
        os.chmod(self.work, 0o755)  # another user reaches the file and the store's parent
        cases = [
            # (why, arguments, store, user, exit status, text on standard error)
            ("selection matches nothing", ["-d", "0BADF00D"], None, None, 4, "No module matched the selection"),
            ("no selection", [], None, None, 1, "update needs a selection"),
            ("store is a file", ["--all"], not_a_directory, None, 1, not_a_directory),
            ("store not writable", ["--all"], locked, 65534, 1, "Permission denied"),
        ]
        for why, args, store, user, rc, text in cases:
            with self.subTest(why):
                run = self.fleet(sim, "update", "--file", self.bird, *args, store=store, user=user)
                self.assertEqual(run.rc, rc, run.err)
                self.assertIn(text, run.err)
                self.assertEqual(run.of("start"), [])
        self.assertEqual(sim.upgrade_lines(), [])

    def test_update_from_the_server(self):
        catalog = os.path.join(self.work, "catalog")
        os.mkdir(catalog)
        self.make_firmware("ristova", "Ristova", NEW_BUILD, os.path.join(catalog, "ristova_2000.bird"))
        _, router_image = self.make_firmware("dravik", "Dravik", ROUTER_BUILD, os.path.join(catalog, "dravik_600.bird"))
        devices = {k["serial"]: "Dravik" if k["serial"] == ROUTER else "Ristova" for k in LAB.values()}
        with self.update_server(catalog, devices) as (url, log):
            sim = self.lab()
            downloads = lambda: re.findall(r"op=bird\S*sn=([0-9A-Fa-f]+)", read(log))
            for attempt in ("first", "second"):
                with self.subTest(attempt):
                    run = self.fleet(sim, "update", "--all", "-u", url)
                    self.assertEqual(run.rc, 0, run.err)
                    self.assertNotIn("No stored information", run.err)  # a store new to the devices is no error
                    want = "updated" if attempt == "first" else "up-to-date"
                    self.assertEqual({r["status"] for r in run.of("result")}, {want})
                    self.expect_results_match_sim(sim, run, {"router": router_image})
                    # Downloaded once per device, the first time only.
                    self.assertEqual(sorted(s.upper() for s in downloads()), sorted(k["serial"] for k in LAB.values()))
                    for keys in LAB.values():
                        build = ROUTER_BUILD if keys["serial"] == ROUTER else NEW_BUILD
                        self.assertTrue(os.path.isfile(os.path.join(self.store, "updater", keys["serial"],
                                                                    "%d.bird" % build)))

    def test_module_unplugged_mid_update(self):
        # Slow replies and small blocks keep u1's firmware phase going for
        # seconds: the cable is certainly pulled mid-write.
        sim = self.lab({"u1": {"block_size": 128, "fault.delay_replies": 40}})
        gone = LAB["u1"]["serial"]
        pulled = []

        def on_event(proc, event):
            if not pulled and event["event"] == "progress" and event["serial"] == gone and event["stage"] == "firmware":
                pulled.append(sim.control("fault u1 usb_vanish never"))
        run = self.fleet(sim, "update", "--all", "--file", self.bird, on_event=on_event)
        self.assertEqual(len(pulled), 1, run.err)
        self.assertEqual(run.rc, 2, run.err)
        result = run.results()[gone]
        self.assertEqual(result["status"], "failed", result)
        self.assertTrue(result["left_in_loader"], result)
        others = {r["status"] for s, r in run.results().items() if s not in (gone, ROUTER)}
        self.assertEqual(others, {"updated"})

    def test_server_that_fails_one_device(self):
        catalog = os.path.join(self.work, "catalog")
        os.mkdir(catalog)
        self.make_firmware("ristova", "Ristova", NEW_BUILD, os.path.join(catalog, "ristova_2000.bird"))
        # t2 (and the router) are unknown to it.
        with self.update_server(catalog, {LAB["t1"]["serial"]: "Ristova"}) as (url, _):
            sim = self.lab()
            run = self.fleet(sim, "update", "-t", "tcpip", "-u", url)
            self.assertEqual(run.rc, 2, run.err)
            status = {r["serial"]: r["status"] for r in run.of("result")}
            self.assertEqual(status.pop(LAB["t1"]["serial"]), "updated")
            self.assertEqual(set(status.values()), {"failed"}, status)  # t2, and the router on TCP/IP too
            self.assertEqual({m for _, m in sim.upgrade_lines()}, {"t1"})
            self.expect_results_match_sim(sim, run)

    def test_interrupted_run_is_finished_by_the_next(self):
        # Slow replies and small blocks keep each firmware phase going for
        # seconds, so the stop lands between chunks of a module in its loader.
        slow = {"fault.delay_replies": 40, "block_size": 128}
        sim = self.lab({n: slow for n in RISTOVA})
        interrupted = []

        def on_event(proc, event):
            if not interrupted and event["event"] == "progress" and event["stage"] == "firmware" and event["done"] > 0:
                interrupted.append(event["serial"])
                proc.send_signal(signal.SIGINT)
        run = self.fleet(sim, "update", "--model", "Ristova", "--file", self.bird, on_event=on_event)
        self.assertEqual(len(interrupted), 1, run.err)
        self.assertNotEqual(run.rc, 0)
        self.assertIn("Stopping", run.err)
        self.assertTrue(run.of("summary")[-1]["interrupted"])
        record = self.expect_record(run)
        self.assertTrue(record["interrupted"])
        left = {r["serial"] for r in record["results"] if r["left_in_loader"]}
        self.assertIn(interrupted[0], left)
        self.expect_results_match_sim(sim, run)

        for name in RISTOVA:
            sim.control("clear " + name)
        # The store's record of each unfinished update shows in the list, and
        # the next run, one module at a time, starts with one of them.
        listed = self.fleet(sim, "list")
        states = {m["serial"]: m["state"] for m in listed.of("module")}
        self.assertEqual({s for s, state in states.items() if state == "interrupted"}, left, states)
        again = self.fleet(sim, "update", "--model", "Ristova", "--file", self.bird, "--jobs", "1")
        starts = [e["serial"] for e in again.of("start")]
        self.assertIn(starts[0], left, starts)
        self.assertEqual(again.rc, 0, again.err)
        statuses = {r["serial"]: r["status"] for r in again.of("result")}
        self.assertTrue(all(statuses[s] == "updated" for s in left), statuses)
        self.assertEqual(set(statuses.values()) - {"updated", "up-to-date"}, set(), statuses)
        self.expect_results_match_sim(sim, again)


def main():
    global BIN
    parser = argparse.ArgumentParser()
    for option in ("--fleet", "--sim", "--birdtool", "--server", "--image-tool"):
        parser.add_argument(option, required=True)
    BIN, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
