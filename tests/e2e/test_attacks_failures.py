"""Every failure an operator can see: the status each error page goes with under KarvelErrorStatus
http (and the unchanged 200 pages under legacy), Apache's ErrorDocument in place of the page, the
access log's notes for every refusal (kept across ErrorDocument's internal redirect), lpszLogData,
and one warn line per failure in the error log with the client and the request's log id."""
import http.client
import os
import re
import threading
import time
import unittest
import urllib.parse

from karvel_e2e import Server, error_page, wait_until

server = None
EXT = '"@STAGE@/lib/VC_KARVEL2.so"'
EXE_LOAD = "EXE Load Error(Exe Load Error)"
TIME_OUT = "EXE Load Error(Time Out)"
BUSY = "EXE Load Error(Server Busy)"
SITE = "  KarvelBackendTimeout 1\n  KarvelMaxFields 5\n  LimitRequestBody 100000\n"


def location(path, *lines):
    return '<Location "%s">\n%s%s\n</Location>' % (path, SITE, "\n".join("  " + line for line in lines))


def setUpModule():
    global server
    includes = [
        "KarvelMaxBackends 1",
        "KarvelQueueTimeout 1",
        'LogFormat "%L\\t%{X-Mark}i\\t%>s\\t%<{karvel-backend}n\\t%<{karvel-result}n\\t%<{isapi-log}n" failure_notes',
        'CustomLog "@CONF@/notes.log" failure_notes',
    ]
    for base in ("legacy", "http", "legacytmp", "httptmp", "doc", "legacydoc", "slow"):
        includes.append("KarvelExtension %s /%s/VC_KARVEL2.dll" % (EXT, base))
    includes += [
        location("/legacy"),
        location("/http", "KarvelErrorStatus http"),
        location("/legacytmp", "KarvelTempDir /proc"),
        location("/httptmp", "KarvelTempDir /proc", "KarvelErrorStatus http"),
        location("/doc", "KarvelErrorStatus http", 'ErrorDocument 502 "custom 502 page"',
                 "ErrorDocument 413 /custom.html", "ErrorDocument 504 /custom.html"),
        location("/legacydoc", 'ErrorDocument 502 "custom 502 page"', "ErrorDocument 413 /custom.html"),
        '<Location "/slow">\n  KarvelBackendTimeout 20\n</Location>',
    ]
    server = Server(probe=False, log_level="warn", includes=includes)
    with open(os.path.join(server.stage, "site", "custom.html"), "w") as f:
        f.write("the site's own page\n")


def tearDownModule():
    server.stop()


MARKS = iter(range(1, 1 << 30))


def request(method, path, query="", body=None, headers=None):
    """One request marked for the access log: (mark, status, headers, body)."""
    mark = "m%d" % next(MARKS)
    url = path + ("?" + query if query else "")
    all_headers = {"X-Mark": mark}
    all_headers.update(headers or {})
    status, response_headers, data = server.request(method, url, body=body, headers=all_headers)
    return mark, status, response_headers, data


def notes(mark):
    """The access log's fields of the request marked `mark`: log id, status, backend, result,
    isapi-log; written after the reply, so this waits for it."""
    found = []

    def read():
        with open(os.path.join(server.conf_dir, "notes.log")) as f:
            found[:] = [line.rstrip("\n").split("\t") for line in f if "\t%s\t" % mark in line]
        return found

    wait_until(read, 5)
    if not found:
        return None
    log_id, _, status, backend, result, isapi_log = found[-1]
    return {"log_id": log_id, "status": int(status), "backend": backend, "result": result, "isapi_log": isapi_log}


def quoted(query):
    return urllib.parse.urlencode(query)


# name, method, query, body, headers, page text, status under legacy, under http, result, backend
CASES = [
    ("a program that is not there", "GET", quoted({"VCEXE": "nosuch"}), None, {}, EXE_LOAD, 200, 502,
     "not-found", "nosuch"),
    ("a program below a missing directory", "GET", quoted({"VCEXE": "no/such/dir/prog"}), None, {}, EXE_LOAD, 200,
     502, "not-found", "no/such/dir/prog"),
    ("a program outside the back-end directory", "GET", quoted({"VCEXE": "/bin/true"}), None, {}, EXE_LOAD, 200,
     502, "not-allowed", "/bin/true"),
    ("a way out of the back-end directory", "GET", quoted({"VBEXE": "../../../../../bin/true"}), None, {},
     EXE_LOAD, 200, 502, "not-allowed", "../../../../../bin/true"),
    ("fields without a program", "GET", quoted({"a": "1", "b": "2"}), None, {}, EXE_LOAD, 200, 400,
     "no-backend-field", "-"),
    ("an empty VCEXE", "GET", quoted({"VCEXE": "", "a": "1"}), None, {}, EXE_LOAD, 200, 400,
     "no-backend-field", "-"),
    ("a form without fields", "POST", "", b"", {"Content-Type": "application/x-www-form-urlencoded"},
     "KeyCreateError", 200, 400, "no-backend-field", "-"),
    ("more fields than the site allows", "GET", quoted({"VCEXE": "behave", "a": 1, "b": 2, "c": 3, "d": 4, "e": 5}),
     None, {}, "TooManyFieldsError", 413, 413, "too-many-fields", "-"),
    ("a field name of 256 bytes", "GET", quoted({"VCEXE": "behave", "n" * 256: "1"}), None, {}, "KeyCreateError",
     200, 400, "form-error", "-"),
    ("a program that does not answer in time", "GET", quoted({"VCEXE": "behave", "do": "sleep", "seconds": "5"}),
     None, {}, TIME_OUT, 200, 504, "timeout", "behave"),
    ("an answer naming a file that is not there", "GET",
     quoted({"VCEXE": "behave", "do": "answer", "code": "4", "text": "/no/such/file"}), None, {}, "Emage Error", 200,
     500, "answer-error", "behave"),
]


class Statuses(unittest.TestCase):
    def check_log_line(self, seen, text, backend):
        """One warn line in the error log for the failure, with its client and log id."""
        log_id = re.escape(seen["log_id"])
        pattern = r"\[[a-z_]*:warn\] .*\[client 127\.0\.0\.1:\d+\] .*karvel: %s for %s \[%s\]: " % (
            re.escape(text), re.escape(backend if backend != "-" else "(no program)"), log_id)
        self.assertTrue(wait_until(lambda: re.search(pattern, server.log_text()), 5), pattern)
        lines = [line for line in server.log_text().splitlines() if "[%s]" % seen["log_id"] in line]
        self.assertEqual(1, len(lines), lines)

    def test_each_failure_goes_with_its_status_note_and_log_line(self):
        for name, method, query, body, headers, text, legacy, http_status, result, backend in CASES:
            for base, expected in (("/legacy", legacy), ("/http", http_status)):
                with self.subTest(name, base=base):
                    mark, status, response_headers, data = request(method, base + "/VC_KARVEL2.dll", query, body,
                                                                   headers)
                    self.assertEqual(expected, status)
                    self.assertEqual(error_page(text), data)
                    seen = notes(mark)
                    self.assertIsNotNone(seen)
                    self.assertEqual((expected, result, backend), (seen["status"], seen["result"], seen["backend"]))
                    self.assertTrue(seen["isapi_log"].startswith(text), seen["isapi_log"])
                    if backend != "-":
                        self.assertIn(backend, seen["isapi_log"])
                    self.check_log_line(seen, text, backend)
        self.assertNotIn("after its reply", server.log_text())
        self.assertNotIn("without a reply", server.log_text())

    def test_a_body_over_the_servers_limit(self):
        # Longer than what the server reads ahead before the extension runs (48 KiB) and its limit.
        body = b"VCEXE=behave&v=" + b"x" * 300000
        for base in ("/legacy", "/http"):
            with self.subTest("chunked", base=base):
                # Its length is not known before: the limit cuts it while the extension reads it,
                # and Apache answers its own 413 whatever the site's statuses.
                mark = "m%d" % next(MARKS)
                conn = server.connection()
                conn.putrequest("POST", base + "/VC_KARVEL2.dll")
                for name, value in (("X-Mark", mark), ("Content-Type", "application/x-www-form-urlencoded"),
                                    ("Transfer-Encoding", "chunked")):
                    conn.putheader(name, value)
                conn.endheaders()
                for start in range(0, len(body), 16384):
                    piece = body[start:start + 16384]
                    conn.send(b"%x\r\n%s\r\n" % (len(piece), piece))
                conn.send(b"0\r\n\r\n")
                response = conn.getresponse()
                response.read()
                conn.close()
                self.assertEqual(413, response.status)
                seen = notes(mark)
                self.assertEqual((413, "form-error"), (seen["status"], seen["result"]))
                self.check_log_line(seen, "TempWriteError", "-")
            with self.subTest("declared", base=base):
                # Refused by Apache before the extension runs: noted all the same.
                mark, status, _, _ = request("POST", base + "/VC_KARVEL2.dll", body=body,
                                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                self.assertEqual(413, status)
                self.assertEqual((413, "form-error"), (notes(mark)["status"], notes(mark)["result"]))

    def test_a_temporary_directory_that_cannot_be_written(self):
        for base, expected in (("/legacytmp", 200), ("/httptmp", 500)):
            with self.subTest(base=base):
                mark, status, _, data = request("GET", base + "/VC_KARVEL2.dll", quoted({"VCEXE": "behave"}))
                self.assertEqual((expected, error_page("TempOenError")), (status, data))
                seen = notes(mark)
                self.assertEqual((expected, "temp-error"), (seen["status"], seen["result"]))
                self.check_log_line(seen, "TempOenError", "-")

    def test_a_busy_server_answers_503_with_retry_after(self):
        holder = threading.Thread(target=request, args=("GET", "/slow/VC_KARVEL2.dll",
                                                        quoted({"VCEXE": "behave", "do": "sleep", "seconds": "3"})))
        holder.start()
        try:
            time.sleep(0.5)
            for base in ("/legacy", "/http"):
                with self.subTest(base=base):
                    mark, status, headers, data = request("GET", base + "/VC_KARVEL2.dll", quoted({"VCEXE": "behave"}))
                    self.assertEqual((503, error_page(BUSY)), (status, data))
                    self.assertIn("retry-after", headers)
                    seen = notes(mark)
                    self.assertEqual(("503", "behave"), (seen["result"], seen["backend"]))
        finally:
            holder.join()

    def test_error_documents_replace_the_page_only_under_http(self):
        cases = [
            # base, query, status, body
            ("/doc", {"VCEXE": "nosuch"}, 502, b"custom 502 page", "not-found"),
            ("/doc", {"VCEXE": "behave", "a": 1, "b": 2, "c": 3, "d": 4, "e": 5}, 413, b"the site's own page\n",
             "too-many-fields"),
            ("/doc", {"VCEXE": "behave", "do": "sleep", "seconds": "5"}, 504, b"the site's own page\n", "timeout"),
            ("/legacydoc", {"VCEXE": "nosuch"}, 200, error_page(EXE_LOAD), "not-found"),
            ("/legacydoc", {"VCEXE": "behave", "a": 1, "b": 2, "c": 3, "d": 4, "e": 5}, 413,
             error_page("TooManyFieldsError"), "too-many-fields"),
        ]
        for base, query, expected, body, result in cases:
            with self.subTest(base=base, result=result):
                mark, status, _, data = request("GET", base + "/VC_KARVEL2.dll", quoted(query))
                self.assertEqual((expected, body), (status, data))
                # The notes sit on the request the extension ran, and %<{...}n reads them there.
                seen = notes(mark)
                self.assertEqual((expected, result), (seen["status"], seen["result"]))

    def test_an_answered_request_keeps_its_notes_through_a_local_url(self):
        mark, status, _, _ = request("GET", "/http/VC_KARVEL2.dll",
                                     quoted({"VCEXE": "behave", "do": "answer", "code": "2", "text": "/custom.html"}))
        self.assertEqual(200, status)
        seen = notes(mark)
        self.assertEqual(("2", "behave"), (seen["result"], seen["backend"]))


if __name__ == "__main__":
    unittest.main()
