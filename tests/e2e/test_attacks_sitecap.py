"""Each site's share of the programs: a virtual host capped at one program keeps its second request
waiting for the slot (503 once the queue's time-out passes) while another site's requests run, and
the status page shows each site's programs running, waiting and its cap."""
import json
import re
import threading
import unittest

from karvel_e2e import Server, behave_url as url, error_page, wait_until

server = None


def setUpModule():
    global server
    server = Server(probe=False, log_level="warn", includes=[
        "KarvelQueueTimeout 3s",
        '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>',
        '<VirtualHost *:@PORT@>\n    ServerName a.test\n    KarvelMaxBackends 1\n</VirtualHost>',
        '<VirtualHost *:@PORT@>\n    ServerName b.test\n    KarvelMaxBackends 4\n</VirtualHost>',
        '<VirtualHost *:@PORT@>\n    ServerName c.test\n</VirtualHost>'])


def tearDownModule():
    server.stop()


def get(host, **fields):
    return server.request("GET", url("/scripts", **fields), headers={"Host": host})


def sites():
    """The status page's site lines: host name -> (running, waiting, cap)."""
    code, _, body = server.request("GET", "/karvel-status?auto")
    shown = {}
    if code != 200:
        return shown
    for line in body.decode("latin-1").splitlines():
        found = re.fullmatch(r"Site: .* (\S+) running=(\d+) waiting=(\d+) cap=(\d+)", line)
        if found:
            shown[found.group(1)] = tuple(int(n) for n in found.group(2, 3, 4))
    return shown


class InBackground:
    """A request answered on a thread of its own."""

    def __init__(self, host, **fields):
        self.reply = None
        self.thread = threading.Thread(target=self.run, args=(host, fields), daemon=True)
        self.thread.start()

    def run(self, host, fields):
        self.reply = get(host, **fields)

    def result(self):
        self.thread.join(60)
        return self.reply


class SiteCap(unittest.TestCase):
    def test_a_full_site_waits_and_gets_503_while_other_sites_run(self):
        holder = InBackground("a.test", do="sleep", seconds="10")
        other = InBackground("b.test", do="sleep", seconds="10")
        self.assertTrue(wait_until(lambda: sites().get("a.test", (0,))[0] == 1 and "b.test" in sites(), 15), sites())
        second = InBackground("a.test", do="answer", text="second")
        # While A's second request waits for A's slot, the page shows it, and B and C answer.
        self.assertTrue(wait_until(lambda: sites().get("a.test") == (1, 1, 1), 3), sites())
        self.assertEqual((1, 0, 4), sites().get("b.test"))
        replies = [InBackground(host, do="answer", text=host) for host in ("b.test", "b.test", "c.test")]
        for reply, host in zip(replies, ("b.test", "b.test", "c.test")):
            code, _, body = reply.result()
            self.assertEqual((200, host.encode()), (code, body), host)
        self.assertIsNone(second.reply, "A's second request still waits")
        self.assertTrue(holder.thread.is_alive(), "A's slot is still held")
        code, _, body = second.result()
        self.assertEqual(503, code)
        self.assertEqual(error_page("EXE Load Error(Server Busy)"), body)
        code, _, body = server.request("GET", "/karvel-status?json")
        shown = {entry["site"].split()[-1]: entry for entry in json.loads(body)["sites"]}
        self.assertEqual({"running": 1, "waiting": 0, "cap": 1},
                         {key: shown["a.test"][key] for key in ("running", "waiting", "cap")})
        self.assertEqual(200, holder.result()[0])
        self.assertEqual(200, other.result()[0])
        self.assertTrue(wait_until(lambda: not sites(), 10), sites())


class SiteCapDirective(unittest.TestCase):
    def test_a_site_cap_out_of_range_or_out_of_place_is_refused_by_name(self):
        for where, text in (("<VirtualHost *:@PORT@>\n  KarvelMaxBackends -1\n</VirtualHost>",
                             "KarvelMaxBackends: not a whole number from 0 to 100000"),
                            ("<VirtualHost *:@PORT@>\n  KarvelMaxBackends 100001\n</VirtualHost>",
                             "KarvelMaxBackends: not a whole number from 0 to 100000"),
                            ('<VirtualHost *:@PORT@>\n  <Location "/x">\n    KarvelMaxBackends 1\n  </Location>\n'
                             '</VirtualHost>', "KarvelMaxBackends not allowed in <Location> context")):
            with self.subTest(where=where):
                with self.assertRaises(RuntimeError) as failure:
                    Server(probe=False, includes=[where]).stop()
                self.assertIn(text, str(failure.exception))


if __name__ == "__main__":
    unittest.main()
