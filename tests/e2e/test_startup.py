"""Apache refuses to start, naming the file, when an extension cannot serve: a missing file, a
library without the ISAPI entry points, an extension whose GetExtensionVersion says FALSE, and
malformed directives."""
import unittest

from karvel_e2e import Server


class StartFailures(unittest.TestCase):
    def assertStartFails(self, expected_texts, **kwargs):
        with self.assertRaises(RuntimeError) as failure:
            Server(probe=False, **kwargs).stop()
        for text in expected_texts:
            self.assertIn(text, str(failure.exception))

    def test_configuration_check_names_the_bad_file(self):
        # The launcher runs apachectl's check (apache2 -t) first; these fail there.
        self.assertStartFails(["/nonexistent/VC_GONE.so", "cannot load ISAPI extension"],
                              includes=['KarvelExtension /nonexistent/VC_GONE.so /gone'])
        self.assertStartFails(["/lib/jpcodec.so is not an ISAPI extension", "GetExtensionVersion"],
                              includes=['KarvelExtension "@STAGE@/lib/jpcodec.so" /codec'])
        self.assertStartFails(["the URL must begin with '/'"],
                              includes=['KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" scripts/x.dll'])
        self.assertStartFails(["KarvelBackendDir: not a directory"],
                              includes=['KarvelBackendDir /nonexistent/backends'])

    def test_extension_refusing_to_start_stops_the_server(self):
        self.assertStartFails(["refusing_probe.so refused to start (GetExtensionVersion returned FALSE)"],
                              libs=["refusing_probe.so"],
                              includes=['KarvelExtension "@STAGE@/lib/refusing_probe.so" /refuses'])

    def test_one_file_under_two_urls_and_the_default_url(self):
        # The main server maps the default URL already: a host of its own maps it again (one server
        # may map a URL once), and serves every request to the port.
        server = Server(probe=False, includes=['<VirtualHost *:@PORT@>\nServerName one.test\n'
                                               'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so"\n'
                                               'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /other/karvel.dll\n'
                                               '</VirtualHost>'])
        try:
            for url in ("/scripts/VC_KARVEL2.dll", "/other/karvel.dll"):
                status, _, body = server.request("GET", url + "?VCEXE=echo&u=1")
                self.assertEqual(200, status, url)
                self.assertIn(b"<td>u</td><td>1</td>", body)
            # Another spelling is sent to the configured one, query and all.
            status, headers, _ = server.request("GET", "/SCRIPTS/vc_karvel2.DLL/x?VCEXE=echo&u=1")
            self.assertEqual((308, "/scripts/VC_KARVEL2.dll/x?VCEXE=echo&u=1"), (status, headers.get("location")))
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
