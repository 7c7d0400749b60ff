#!/usr/bin/python3
"""resident_echo.py [EXCHANGE_FILE]: the echo sample's page (demo/backends/echo_page.h) from a
Python handler: one request when given its exchange file, request after request when the spawner
starts it resident. The same bytes as the C++ echo for the same request."""
import os
import re
import sys

try:
    import karvel_backend as kb
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "backend", "python"))
    import karvel_backend as kb

# A decimal reference a browser sends for a character the form's encoding lacks ("&#128512;"):
# it stays a reference, so the page shows the character.
REFERENCE = re.compile(rb"&#[0-9]{1,7};")
# Bytes that begin no character: Python's cp932 codec gives them private use characters, the kit's
# other decoder (and browsers) U+FFFD.
NO_CHARACTER = {0xF8F0 + k: 0xFFFD for k in range(4)}


def show_value(value):
    out, at = [], 0
    for reference in REFERENCE.finditer(value):
        out += [kb.html_escape(value[at:reference.start()]), reference.group()]
        at = reference.end()
    return b"".join(out) + kb.html_escape(value[at:])


def declares_utf8(request):
    declared = request.find("_charset_")
    return declared is not None and bytes(b + 32 if 0x41 <= b <= 0x5A else b for b in declared) in (b"utf-8", b"utf8")


def page(request, path):
    utf8 = declares_utf8(request)
    method = {"1": b"POST", "2": b"GET"}.get(request.method, b"other")
    body = [b"<p>%s from %s user %s, %d fields</p>\n<table>\n" % (
        method, kb.html_escape(request.remote_addr), kb.html_escape(request.remote_user), len(request.fields))]
    for name, value in request.fields:
        shown = kb.decode_value(value).translate(NO_CHARACTER).encode("utf-8") if utf8 else value
        size = b"%d bytes" % os.stat(value).st_size if kb.is_upload(path, value) else b""
        body.append(b"<tr><td>%s</td><td>%s</td><td>%s</td></tr>\n" % (kb.html_escape(name), show_value(shown), size))
    body.append(b"</table>\n")
    charset = b"UTF-8" if utf8 else b"Shift_JIS"
    return (b"Content-Type: text/html; charset=%s\r\n\r\n<html><head><meta charset=\"%s\"><title>echo</title>"
            b"</head><body>\n%s</body></html>\n" % (charset, charset, b"".join(body)))


def answer(request, path):
    kb.answer_page(path, page(request, path))


if __name__ == "__main__":
    sys.exit(kb.serve(answer))
