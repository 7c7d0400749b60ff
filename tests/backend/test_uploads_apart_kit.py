"""The Python kit finds a request's uploads where the site keeps them apart from exchange files:
the directory the server names in KARVEL_UPLOAD_DIR, under the exchange file's digits; is_upload
holds only for a regular file there, this request's own."""
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "backend", "python"))
import karvel_backend as kb  # noqa: E402

DIGITS = "0123456789ABCDEF.tmp"


class UploadsApart(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.temp = os.path.join(self.dir.name, "tmp")
        self.root = os.path.join(self.dir.name, "uploads")
        os.mkdir(self.temp)
        os.mkdir(self.root)
        self.exchange = os.path.join(self.temp, "VC" + DIGITS)
        self.own = os.path.join(self.root, "VCU" + DIGITS)
        self.beside = os.path.join(self.temp, "VCU" + DIGITS)
        other = os.path.join(self.root, "VCUFEDCBA9876543210.tmp")
        for directory in (self.own, self.beside, other):
            os.mkdir(directory)
        for path in (os.path.join(self.own, "up.txt"), os.path.join(self.beside, "up.txt"),
                     os.path.join(other, "o.txt"), os.path.join(self.root, "loose.txt")):
            with open(path, "wb") as f:
                f.write(b"data")
        os.symlink(os.path.join(self.root, "loose.txt"), os.path.join(self.own, "link.txt"))

    def tearDown(self):
        self.dir.cleanup()

    def test_the_directory_the_server_names(self):
        for named in (self.root, self.root + "/"):
            with self.subTest(named=named), mock.patch.dict(os.environ, {"KARVEL_UPLOAD_DIR": named}):
                self.assertEqual(kb.upload_directory(self.exchange), self.own)
                self.assertEqual(kb.upload_directory(os.fsencode(self.exchange)), os.fsencode(self.own))
                self.assertIsNone(kb.upload_directory("/elsewhere/other.tmp"))
        with mock.patch.dict(os.environ, {"KARVEL_UPLOAD_DIR": ""}):
            self.assertEqual(kb.upload_directory(self.exchange), self.beside)

    def test_only_this_requests_uploads_there(self):
        cases = {
            os.path.join(self.own, "up.txt"): True,
            os.fsencode(os.path.join(self.own, "up.txt")): True,
            os.path.join(self.own, "..", "VCU" + DIGITS, "up.txt"): True,
            os.path.join(self.beside, "up.txt"): False,
            os.path.join(self.root, "VCUFEDCBA9876543210.tmp", "o.txt"): False,
            os.path.join(self.own, "..", "VCUFEDCBA9876543210.tmp", "o.txt"): False,
            os.path.join(self.own, "link.txt"): False,
            os.path.join(self.own, "..", "loose.txt"): False,
            self.own: False,
            self.exchange: False,
        }
        with mock.patch.dict(os.environ, {"KARVEL_UPLOAD_DIR": self.root}):
            for value, expected in cases.items():
                with self.subTest(value=value):
                    self.assertEqual(kb.is_upload(self.exchange, value), expected)
        # Without the variable, the files beside the exchange file are the request's, as before.
        with mock.patch.dict(os.environ, {}, clear=False):
            os.environ.pop("KARVEL_UPLOAD_DIR", None)
            self.assertTrue(kb.is_upload(self.exchange, os.path.join(self.beside, "up.txt")))
            self.assertFalse(kb.is_upload(self.exchange, os.path.join(self.own, "up.txt")))


if __name__ == "__main__":
    unittest.main()
