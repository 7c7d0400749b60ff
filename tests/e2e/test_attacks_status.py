"""The lasting status: counts that a graceful restart keeps and a full restart resets, a program of
the generation before a graceful restart still shown and counted against the cap, every request
through the extension counted once (refusals too) as the access log has it, karvel-status?json,
and the section in mod_status's /server-status; no "long lost child" line for the old spawner."""
import json
import os
import signal
import threading
import unittest

from karvel_e2e import Server, behave_url as url, wait_until

server = None


def setUpModule():
    global server
    server = Server(probe=False, log_level="info",
                    includes=[
                        "LoadModule status_module /usr/lib/apache2/modules/mod_status.so",
                        "KarvelMaxBackends 1",
                        "KarvelQueueTimeout 20",
                        'LogFormat "%U%q %{karvel-result}n" karvel_notes',
                        'CustomLog "@CONF@/notes.log" karvel_notes',
                        '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>',
                        '<Location "/server-status">\n  SetHandler server-status\n</Location>'])


def tearDownModule():
    server.stop()


def board():
    code, headers, body = server.request("GET", "/karvel-status?json")
    assert code == 200, code
    assert headers["content-type"].startswith("application/json"), headers
    return json.loads(body)


def auto(path="/karvel-status?auto"):
    code, _, body = server.request("GET", path)
    assert code == 200, code
    return dict(line.split(": ", 1) for line in body.decode().splitlines() if ": " in line)


def logged_through_extension():
    """Access log lines of requests to the extension's URL (the status pages are not)."""
    with open(os.path.join(server.conf_dir, "notes.log")) as f:
        return [line for line in f if "VC_KARVEL2.dll" in line]


def restart(sig):
    """Restarts the server (SIGUSR1: graceful, SIGHUP: full) and waits for its next generation."""
    mark = "resuming normal operations"
    before = server.log_text().count(mark)
    os.kill(server.pid, sig)
    assert wait_until(lambda: server.log_text().count(mark) > before, 30), "no new generation"
    assert wait_until(lambda: server.request("GET", "/karvel-status?auto")[0] == 200, 10)


def in_thread(target_url, answers):
    thread = threading.Thread(target=lambda: answers.append(server.request("GET", target_url)[::2]))
    thread.start()
    return thread


class StatusAttacks(unittest.TestCase):
    def setUp(self):
        self.assertTrue(wait_until(lambda: not server.backend_processes() and auto()["Running"] == "0", 20),
                        "programs of an earlier test still run")

    def test_a_every_request_through_the_extension_counts_once_refusals_too(self):
        before = board()
        logged_before = len(logged_through_extension())
        cases = [  # (what the request is, its URL)
            ("answered", url("/scripts")),
            ("answered again", url("/scripts")),
            ("no program field", "/scripts/VC_KARVEL2.dll?other=1"),
            ("a program that does not exist", "/scripts/VC_KARVEL2.dll?VCEXE=no_such_program"),
            ("a path outside the directory", "/scripts/VC_KARVEL2.dll?VCEXE=../../bin/true"),
            ("answered with 99", "/scripts/VC_KARVEL2.dll?VCEXE=answer_99"),
        ]
        for name, target in cases:
            server.request("GET", target)
        self.assertTrue(wait_until(lambda: len(logged_through_extension()) == logged_before + len(cases), 5))
        after = board()
        self.assertEqual(len(cases), after["totals"]["requests"] - before["totals"]["requests"])
        self.assertEqual(after["totals"]["requests"], sum(after["totals"]["results"].values()),
                         "each request has one result")
        self.assertEqual(after["totals"]["requests"], sum(row["counts"]["requests"] for row in after["backends"]),
                         "each request is in one row")
        # Refusals count under the extension's own words for them.
        grown = {name: after["totals"]["results"].get(name, 0) - before["totals"]["results"].get(name, 0)
                 for name in ("1", "99", "no-backend-field", "not-found", "not-allowed", "other")}
        self.assertEqual({"1": 2, "99": 1, "no-backend-field": 1, "other": 0},
                         {k: grown[k] for k in ("1", "99", "no-backend-field", "other")})
        self.assertEqual(2, grown["not-found"] + grown["not-allowed"])
        behave = [row for row in after["backends"] if row["label"] == "behave"]
        self.assertEqual(1, len(behave), after["backends"])
        self.assertGreaterEqual(behave[0]["counts"]["results"]["1"], 2)
        self.assertGreaterEqual(behave[0]["counts"]["started"], 2)
        self.assertGreaterEqual(sum(behave[0]["counts"]["waits"].values()), 2)

    def test_b_json_has_the_documented_fields(self):
        server.request("GET", url("/scripts"))
        shown = board()
        for field in ("server", "running", "waiting_for_slot", "longest_wait_ms", "started", "start_failed",
                      "busy", "totals", "backends", "programs", "programs_unlisted"):
            self.assertIn(field, shown)
        self.assertEqual({"started", "restarted", "generation"}, set(shown["server"]))
        self.assertEqual({"requests", "started", "timeouts", "failures", "results", "waits"}, set(shown["totals"]))
        self.assertEqual({"under-10ms", "under-100ms", "under-1s", "under-10s", "longer"},
                         set(shown["totals"]["waits"]))
        for result in ("1", "2", "4", "99", "timeout", "client-gone", "exited", "abandoned", "start-failed", "503",
                       "not-found", "not-allowed", "no-backend-field", "too-many-fields", "temp-error",
                       "form-error", "answer-error", "other"):
            self.assertIn(result, shown["totals"]["results"])
        for row in shown["backends"]:
            self.assertEqual({"site", "label", "other", "counts"}, set(row))

    def test_c_mod_status_shows_the_section(self):
        server.request("GET", url("/scripts"))
        lines = auto("/server-status?auto")
        ours = auto()
        for name in ("Running", "WaitingForSlot", "Started", "StartFailed", "Busy", "Requests", "Generation"):
            self.assertIn("Karvel" + name, lines)
        self.assertEqual(ours["Started"], lines["KarvelStarted"])
        code, _, page = server.request("GET", "/server-status")
        self.assertEqual(200, code)
        self.assertIn(b"<h2>karvel</h2>", page)
        self.assertIn(b"<th>Started</th>", page)

    def test_d_a_graceful_restart_keeps_counts_and_the_program_still_running(self):
        for _ in range(3):
            server.request("GET", url("/scripts"))
        before = auto()
        answers = []
        old = in_thread(url("/scripts", do="sleep", seconds=8), answers)
        # A start counts as running before its program shows a row: both are waited for.
        self.assertTrue(wait_until(lambda: auto()["Running"] == "1" and "Program" in auto(), 5))
        program = [value for name, value in auto().items() if name == "Program"]
        restart(signal.SIGUSR1)
        after = auto()
        self.assertGreaterEqual(int(after["Started"]), int(before["Started"]) + 1, "Started does not begin again")
        self.assertGreaterEqual(int(after.get("Result-1", 0)), int(before["Result-1"]))
        self.assertEqual("1", after["Running"], "the earlier generation's program is counted")
        self.assertEqual(program[0].split()[0], after["Program"].split()[0], "and shown")
        shown = board()
        rows = [row["site"] for row in shown["backends"] if row["label"] == "behave"]
        self.assertEqual(rows, [p["site"] for p in shown["programs"]], "a program's site is its row's")
        # The cap (one program) holds it: a request of the new generation waits for it to end.
        new = in_thread(url("/scripts"), answers)
        self.assertTrue(wait_until(lambda: auto()["WaitingForSlot"] == "1", 5), auto())
        old.join()
        new.join()
        self.assertEqual([(200, b"slept"), (200, b"nothing to do")], answers)
        self.assertTrue(wait_until(lambda: auto()["Running"] == "0", 10))
        self.assertIn("AH00493", server.log_text(), "the restart was a graceful one")
        # The old spawner ended once its program had; the parent knew it as its own.
        self.assertTrue(wait_until(lambda: len([p for p in server.children() if p == server.spawner_pid()]) == 1, 10))
        self.assertNotIn("AH00488", server.log_text())

    def test_e_a_graceful_restart_keeps_the_per_program_rows(self):
        def counted():
            rows = [row for row in board()["backends"] if row["label"] == "answer_99"]
            return rows[0]["counts"]["requests"] if rows else 0

        earlier = counted()
        server.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=answer_99")
        # A request is counted as it is logged, a moment after its reply.
        self.assertTrue(wait_until(lambda: counted() == earlier + 1, 5))
        restart(signal.SIGUSR1)
        self.assertEqual(earlier + 1, counted())

    def test_z_a_full_restart_begins_the_counts_again(self):
        server.request("GET", url("/scripts"))
        before = board()
        self.assertGreater(before["started"], 0)
        restart(signal.SIGHUP)
        self.assertIn("AH00494", server.log_text(), "the restart was a full one")
        after = board()
        self.assertEqual((0, 0, []), (after["started"], after["totals"]["requests"], after["backends"]))
        self.assertGreaterEqual(after["server"]["started"], before["server"]["started"])


if __name__ == "__main__":
    unittest.main()
