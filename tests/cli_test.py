#!/usr/bin/env python3
"""End-to-end checks of the vorn-package tool on files it makes itself.

    cli_test.py TOOL TILE_IMAGE_DUMP
"""
import gzip
import json
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

TOOL, DUMP = sys.argv[1], sys.argv[2]
del sys.argv[1:3]


def run(*args, expect=0):
    p = subprocess.run([TOOL, *args], capture_output=True, text=True)
    if p.returncode != expect:
        raise AssertionError(f"{args}: exit {p.returncode}, expected {expect}\n{p.stdout}\n{p.stderr}")
    return p


class Cli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        run("example", "-o", cls.dir, "--tiles", "6", "--steps", "5")
        cls.pkg = os.path.join(cls.dir, "app.vpkg")
        cls.out = os.path.join(cls.dir, "runtime_output.bin")
        cls.report = os.path.join(cls.dir, "run.vprof")
        run("profile", cls.pkg, cls.out, "--clock-hz", "1000000", "-o", cls.report)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_inspect(self):
        j = json.loads(run("inspect", self.pkg, "--json").stdout)
        self.assertEqual(j["header"], {"schema_version": 5, "target": "vorn21", "tile_memory_base": 0x4c000,
                                       "tile_memory_size": 0x9c000, "compiler_version": "vorn-package example"})
        self.assertEqual([t["physical_tile"] for t in j["tiles"]], list(range(6)))
        self.assertEqual(j["tiles"][0]["load_base"], 0x4c000)
        self.assertEqual(j["tiles"][0]["image_bytes"], 0x4000)
        cycles = [b for b in j["bindings"]["outputs"] if b["name"] == "profile.cycles"][0]
        self.assertEqual(cycles["binding_size"], 6 * 6 * 4)
        self.assertEqual([p["steps"] for p in j["profile_plans"]], [5] * 6)
        self.assertEqual(j["host_exchange"]["calls"][0]["output_batch_ends"], [1, 2])
        text = run("inspect", self.pkg).stdout
        self.assertIn("Tiles (6):", text)
        self.assertIn("profile.cycles", text)

    def test_validate(self):
        truncated = self.path("truncated.vpkg")
        with open(self.pkg, "rb") as f, open(truncated, "wb") as g:
            g.write(f.read()[:100])
        p = run("validate", self.pkg, expect=0)
        self.assertEqual(p.stdout, f"{self.pkg}: ok\n")
        p = run("validate", self.pkg, truncated, expect=1)
        lines = p.stdout.splitlines()
        self.assertEqual(lines[0], f"{self.pkg}: ok")
        self.assertTrue(lines[1].startswith(f"{truncated}: segment table announces"), lines[1])
        run("validate", self.path("missing.vpkg"), expect=2)

    def test_image(self):
        image = self.path("tile2.bin")
        p = run("image", self.pkg, "--tile", "2", "-o", image)
        self.assertIn("load base 0x4c000", p.stdout)
        reference = self.path("tile2.ref")
        subprocess.run([DUMP, self.pkg, "2", reference], check=True)
        with open(image, "rb") as a, open(reference, "rb") as b:
            self.assertEqual(a.read(), b.read())
        run("image", self.pkg, "--all", "-o", self.path("images"))
        self.assertEqual(sorted(os.listdir(self.path("images"))), [f"tile-{t}-0x4c000.bin" for t in range(6)])
        p = run("image", self.pkg, "--tile", "99", "-o", image, expect=1)
        self.assertEqual(p.stderr, f"vorn-package: {self.pkg}: unknown tile 99\n")
        run("image", self.pkg, "-o", image, expect=2)  # neither --tile nor --all

    def test_report(self):
        j = json.loads(run("report", self.report, "--json", "--top", "3").stdout)
        self.assertEqual(j["clock_hz"], 1000000)
        self.assertEqual(len(j["tiles"]), 6)
        self.assertLessEqual(len(j["top_kernels"]), 3)
        self.assertEqual(sum(t["cycles"] for t in j["tiles"]), j["total_cycles"])
        for t in j["tiles"]:
            self.assertAlmostEqual(sum(t["kind_share_percent"].values()), 100.0, places=6)
            self.assertAlmostEqual(t["time_us"], t["cycles"], places=6)  # 1 MHz: one cycle per µs
        self.assertIn("Top kernels", run("report", self.report).stdout)

    def events(self, path, opener=open):
        with opener(path, "rt") as f:
            return json.load(f)["traceEvents"]

    def test_trace(self):
        trace = self.path("trace.json")
        run("trace", self.report, "-o", trace)
        events = self.events(trace)
        report = json.loads(run("report", self.report, "--json").stdout)
        names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
        self.assertEqual(names, {t: f"tile {t}" for t in range(6)})
        for tile in report["tiles"]:
            steps = sorted((e for e in events if e["ph"] == "X" and e["tid"] == tile["physical_tile"]
                            and e["cat"] != "exchange"), key=lambda e: e["ts"])
            self.assertEqual(len(steps), 5)
            # 1 MHz: µs are cycles; durations add up to the report's cycles,
            # and the steps of a tile never overlap, wrapped counter or not.
            self.assertAlmostEqual(sum(e["dur"] for e in steps), tile["cycles"], places=3)
            for a, b in zip(steps, steps[1:]):
                self.assertLessEqual(a["ts"] + a["dur"], b["ts"] + 1e-6)
            for e in events:
                if e["ph"] == "X" and e["cat"] == "exchange" and e["tid"] == tile["physical_tile"]:
                    parent = [s for s in steps if s["ts"] <= e["ts"] + 1e-6 and e["ts"] + e["dur"] <= s["ts"] + s["dur"] + 1e-6]
                    self.assertTrue(parent, e)
        run("trace", self.report, "-o", self.path("trace.json.gz"), "--tiles", "1,3-4")
        tids = {e["tid"] for e in self.events(self.path("trace.json.gz"), gzip.open) if e["ph"] == "X"}
        self.assertEqual(tids, {1, 3, 4})
        run("trace", self.report, "-o", trace, "--tiles", "x", expect=2)

    def test_timeline(self):
        svg = self.path("timeline.svg")
        run("timeline", self.report, "-o", svg)
        root = ET.parse(svg).getroot()
        ns = "{http://www.w3.org/2000/svg}"
        self.assertEqual(root.tag, ns + "svg")
        rows = root.findall(ns + "g")
        self.assertEqual(len(rows), 6)
        self.assertEqual(len(rows[0].findall(ns + "rect")), 5)
        self.assertIn("µs", "".join(t.text or "" for t in root.iter(ns + "text")))

    def test_diff(self):
        run("diff", self.pkg, self.pkg, expect=0)
        other = self.path("other")
        run("example", "-o", other, "--tiles", "7", "--steps", "5")
        j = json.loads(run("diff", self.pkg, os.path.join(other, "app.vpkg"), "--json", expect=1).stdout)
        self.assertFalse(j["equal"])
        changes = {(c["change"], c["what"], c["id"]) for c in j["changes"]}
        self.assertIn(("added", "tile", "6"), changes)
        self.assertIn(("added", "profile plan", "tile 6"), changes)
        self.assertIn(("changed", "output", "profile.cycles"), changes)
        run("diff", self.pkg, self.path("missing.vpkg"), expect=2)

    def test_errors(self):
        run(expect=2)  # no command
        run("inspect", expect=2)
        run("inspect", self.pkg, "--no-such-option", expect=2)
        p = run("inspect", self.path("missing.vpkg"), expect=2)
        self.assertEqual(len(p.stderr.splitlines()), 1)
        self.assertTrue(p.stderr.startswith("vorn-package: "))
        empty = self.path("empty.vpkg")
        open(empty, "wb").close()
        p = run("inspect", empty, expect=1)
        self.assertEqual(p.stderr, f"vorn-package: {empty}: input of 0 bytes is too short for a message segment table\n")
        p = run("report", self.out, expect=1)  # raw runtime output is no report
        self.assertEqual(len(p.stderr.splitlines()), 1)
        p = run("profile", self.pkg, empty, "--clock-hz", "1", "-o", self.path("x"), expect=1)
        self.assertEqual(p.stderr, f"vorn-package: {empty}: profile binding exceeds runtime output\n")
        p = run("-v", "validate", self.pkg)
        self.assertIn('INFO vorn_package: application package read tiles=6 compiler="vorn-package example"', p.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
