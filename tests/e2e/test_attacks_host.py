"""The server-wide directives of the spawner belong to the main server's configuration: inside a
<VirtualHost> each is refused at the configuration check, naming itself, and the server does not
start. A count that is no whole number in range is refused naming its directive."""
import unittest

from karvel_e2e import Server


class ServerWideDirectives(unittest.TestCase):
    def assertStartFails(self, expected_texts, includes):
        with self.assertRaises(RuntimeError) as failure:
            Server(probe=False, includes=includes).stop()
        for text in expected_texts:
            self.assertIn(text, str(failure.exception))

    def test_spawner_settings_inside_a_virtual_host_are_refused(self):
        # (A virtual host's KarvelMaxBackends is its site's share: see test_attacks_sitecap.)
        for directive in ("KarvelQueueTimeout 4", "KarvelSpawner off"):
            name = directive.split()[0]
            with self.subTest(directive=name):
                self.assertStartFails([name, "VirtualHost"],
                                      ["<VirtualHost 127.0.0.1:@PORT@>\n%s\n</VirtualHost>" % directive])
        # A host's own Wine prefix is its own user's: without one it is refused.
        self.assertStartFails(["KarvelWinePrefix /tmp", "names no KarvelUserGroup of its own"],
                              ["<VirtualHost 127.0.0.1:@PORT@>\nKarvelWinePrefix /tmp\n</VirtualHost>"])

    def test_counts_out_of_range_are_refused_by_name(self):
        for directive, text in (("KarvelMaxBackends -1", "not a whole number from 0 to 100000"),
                                ("KarvelMaxBackends 100001", "not a whole number from 0 to 100000"),
                                # A time: Apache's units, up to 100000 s.
                                ("KarvelQueueTimeout x", "not a time from 0 to 100000s"),
                                ("KarvelQueueTimeout 1x", "not a time from 0 to 100000s"),
                                ("KarvelQueueTimeout 100001s", "not a time from 0 to 100000s")):
            name = directive.split()[0]
            with self.subTest(directive=directive):
                self.assertStartFails([name + ": " + text], [directive])


if __name__ == "__main__":
    unittest.main()
