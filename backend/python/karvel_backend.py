"""karvel back-end kit for Python 3 (standard library only).

A back-end program is started with one argument, the path of the request's exchange file:

    import sys, karvel_backend as kb
    request = kb.read_request(sys.argv[1])
    name = request.find(b"name") or b""
    kb.answer_page(sys.argv[1], b"Content-Type: text/plain; charset=Shift_JIS\r\n\r\n" + name)

Values are Shift-JIS in code page 932; decode_value(value) gives them as text.

Or, written as a handler, the same program answers one request when started with an exchange
file's path and request after request when the spawner starts it resident:

    def echo(request, path):
        kb.answer_page(path, b"Content-Type: text/plain\r\n\r\n" + (request.find("name") or b""))
    sys.exit(kb.serve(echo))

A resident instance is started with no arguments and KARVEL_RESIDENT_FD=3: descriptor 3 is its end
of an AF_UNIX SOCK_SEQPACKET socket pair. Each packet from the spawner is b"R" and an exchange
file's absolute path (no NUL, at most 4095 bytes); the instance answers it as a one-shot run does
and sends b"D", or, when the request could not be read or the handler raised or returned without
answering, writes nothing to the file, puts the reason on standard error and sends b"E" and the
reason (at most 200 bytes). End of file or an empty packet ends it with status 0. A handler keeps
nothing of a request for the next one: no per-request state, no upload left open.

The exchange file's layout and the two shapes of a value record are described in
karvel_backend.h (the C++ kit); this module reads and writes them the same way. Every answer
is written into the exchange file, its answered mark the last byte written, so the waiting server
only ever sees a complete answer.
"""

import errno
import os
import socket
import stat
import struct
import sys
import traceback

__version__ = "1.0.0"

HEADER_BYTES = 524
ENTRY_BYTES = 16
TEXT_BYTES = 256
URL_LIMIT = 8192


class ExchangeFileError(ValueError):
    """The exchange file is missing, truncated or malformed."""


class Request:
    """method: '1' POST, '2' GET, '0' other; connection: int; remote_addr, remote_user: bytes;
    fields: list of (name bytes, value bytes) listed, in the order the form sent them;
    field_count: the fields the server counted, as written (at least len(fields): a field cut off
    by the end of the body is counted but not listed, and its index entry is zero)."""

    def __init__(self, method, connection, remote_addr, remote_user, fields, field_count=None):
        self.method = method
        self.connection = connection
        self.remote_addr = remote_addr
        self.remote_user = remote_user
        self.fields = fields
        self.field_count = len(fields) if field_count is None else field_count

    def find(self, name):
        """The value of the first field named exactly `name` (bytes or str), else None."""
        if isinstance(name, str):
            name = name.encode("ascii")
        for field_name, value in self.fields:
            if field_name == name:
                return value
        return None


def _text(data, at):
    raw = data[at:at + TEXT_BYTES]
    end = raw.find(b"\0")
    return raw if end < 0 else raw[:end]


def parse_request(data):
    """Parses an exchange file's bytes; raises ExchangeFileError when malformed or truncated."""
    size = len(data)
    if size < HEADER_BYTES:
        raise ExchangeFileError("shorter than the 524-byte header")
    if data[0:1] == b"9":
        raise ExchangeFileError("already answered")
    if data[0:1] not in (b"0", b"1", b"2") or data[1:4] != b" \0\0":
        raise ExchangeFileError("bytes 0-3 are not a method digit, a blank and two zeros")
    connection, count = struct.unpack_from("<II", data, 4)
    position = HEADER_BYTES + count * ENTRY_BYTES
    if position > size:
        raise ExchangeFileError("field index of %d entries runs past the end" % count)
    def unused(k):
        at = HEADER_BYTES + k * ENTRY_BYTES
        return data[at:at + ENTRY_BYTES] == bytes(ENTRY_BYTES)

    listed = 0
    while listed < count and not unused(listed):
        listed += 1
    for k in range(listed, count):
        if not unused(k):
            raise ExchangeFileError("field %d: an entry after an unused one" % k)
    fields = []
    for k in range(listed):
        name_offset, name_length, value_offset, value_length = struct.unpack_from(
            "<IIII", data, HEADER_BYTES + k * ENTRY_BYTES)
        base = name_offset - position
        if base not in (0, 1):
            raise ExchangeFileError("field %d: name offset does not point at its record" % k)
        if name_length == 0 or position + name_length > size or data[position + name_length - 1] != 0:
            raise ExchangeFileError("field %d: name record truncated or without its NUL" % k)
        name = data[position:position + name_length - 1]
        position += name_length
        if value_offset != position + base:
            raise ExchangeFileError("field %d: value offset does not point at its record" % k)
        if position + value_length + 1 > size or data[position + value_length] != 0:
            raise ExchangeFileError("field %d: value record truncated or without its closing zero" % k)
        as_sent = value_length > 0 and data[position + value_length - 1] == 0
        value = data[position:position + value_length - (1 if as_sent else 0)]
        position += value_length + 1
        fields.append((name, value))
    if position != size:
        raise ExchangeFileError("%d bytes after the last record" % (size - position))
    return Request(chr(data[0]), connection, _text(data, 12), _text(data, 268), fields, count)


def read_request(path):
    """Reads and parses the exchange file at `path`."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ExchangeFileError("cannot read %s: %s" % (path, e)) from e
    return parse_request(data)


def decode_value(value):
    """A field's value (bytes) as text. The server writes values in Shift-JIS as Windows code page
    932 (Windows-31J) encodes them, NEC and IBM extensions (①, ㈱, 髙, 﨑) included, so they
    decode with "cp932", not with "shift_jis", which fails on those. Bytes that are no character
    become U+FFFD. A character the form's page could not encode arrives as a decimal reference
    ("&#128512;") and is left as it is."""
    return bytes(value).decode("cp932", "replace")


_HTML_ESCAPES = {ord("&"): "&amp;", ord("<"): "&lt;", ord(">"): "&gt;", ord('"'): "&quot;", ord("'"): "&#39;"}


def html_escape(text):
    """`text` with & < > " ' as the entities &amp; &lt; &gt; &quot; &#39;, for any place in a page,
    inside attribute values too (karvel::HtmlEscape in the C++ kit escapes the same five). A str
    gives a str; bytes (a Shift-JIS value as the server wrote it) give bytes, escaped byte by byte:
    no Shift-JIS trail byte is one of the five, so no character is broken."""
    if isinstance(text, str):
        return text.translate(_HTML_ESCAPES)
    # "&" first: the entities the others become must not be escaped again.
    data = bytes(text).replace(b"&", b"&amp;")
    for byte, entity in ((b"<", b"&lt;"), (b">", b"&gt;"), (b'"', b"&quot;"), (b"'", b"&#39;")):
        data = data.replace(byte, entity)
    return data


def upload_directory(path):
    """The directory of the request's uploads: the exchange file's name with "VCU" for its "VC",
    beside it, or in KARVEL_UPLOAD_DIR where the environment names one (the server does where the
    site keeps uploads apart: KarvelUploadDir); None for a path not so named. Same type (str or
    bytes) as `path`."""
    sep, vc, u = ("/", "VC", "U") if isinstance(path, str) else (b"/", b"VC", b"U")
    base = path.rfind(sep) + 1
    if path[base:base + 2] != vc:
        return None
    apart = os.environ.get("KARVEL_UPLOAD_DIR")
    if not apart:
        return path[:base + 2] + u + path[base + 2:]
    apart = apart if isinstance(path, str) else os.fsencode(apart)
    return apart.rstrip(sep) + sep + vc + u + path[base + 2:]


def is_upload(path, value):
    """True when `value` (a field's value, bytes or str) names this request's upload directory
    (its random name is in the path, as in every path the server gives) and, after links and "..",
    a regular file inside it: a file uploaded with this very request. Check
    this before opening, sending or answering with a path a client sent."""
    directory = upload_directory(os.fsencode(path))
    value = os.fsencode(value)
    if directory is None or not value or b"\0" in value:
        return False
    # A value that does not name the directory's own random name is no upload of this request's
    # (the server gives each one under it): told without resolving anything, as most fields are.
    if os.path.basename(directory) not in value:
        return False
    inside = os.path.realpath(directory) + b"/"
    real = os.path.realpath(value)
    return real.startswith(inside) and os.path.isfile(real)


def _write_answer(path, code, answer):
    """The answer written into the exchange file itself, which must exist (a missing one raises:
    the server has stopped waiting) and must not be answered yet: the answer from offset 4, the
    file cut where it ends, the result code and two blanks, and last the mark b"9" at offset 0.
    The server takes the file for answered only once it sees the mark, so it only ever sees a
    complete answer; one cut short leaves the file unanswered."""
    # Blocking: the server looks at the file under a read lease it drops at once, and an open
    # without waiting would fail in that moment instead of waiting it out.
    fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        if os.pread(fd, 1, 0) == b"9":
            raise OSError(errno.EEXIST, "answered already", path)
        view = memoryview(answer)
        at = 0
        while at < len(view):
            at += os.pwrite(fd, view[at:], 4 + at)
        os.ftruncate(fd, 4 + len(answer))
        os.pwrite(fd, code + b"  ", 1)
        os.pwrite(fd, b"9", 0)
    finally:
        os.close(fd)
    _note_answered(path)


def answer_page(path, headers_and_body):
    """Result code 1: header lines ending in CR LF, an empty line, the body. A str is encoded as
    cp932 (Shift-JIS). NUL bytes are sent as blanks; nothing is trimmed."""
    if isinstance(headers_and_body, str):
        headers_and_body = headers_and_body.encode("cp932")
    _write_answer(path, b"1", bytes(headers_and_body))


def answer_url(path, url):
    """Result code 2: '/...' is served by the server itself, anything else is a redirection.
    ValueError when empty, longer than 8192 bytes or holding a control byte."""
    if isinstance(url, str):
        url = url.encode("ascii")
    if not url or len(url) > URL_LIMIT or any(b < 0x20 or b == 0x7F for b in url):
        raise ValueError("URL empty, longer than 8192 bytes or holding a control byte")
    _write_answer(path, b"2", bytes(url))


def answer_file(path, file_path):
    """Result code 4: the server sends the file's bytes as they are (a file that begins with
    "HTTP/" as a whole response). The path is made absolute and must name a regular file
    (ValueError otherwise). Never answer with a path a client chose unchecked (see is_upload):
    this sends any file the server's user can read."""
    resolved = os.path.realpath(os.fsencode(file_path))
    if b"\0" in resolved or not os.path.isfile(resolved):
        raise ValueError("no regular file at %r" % (file_path,))
    _write_answer(path, b"4", resolved)


RESIDENT_PATH_LIMIT = 4095
RESIDENT_REASON_LIMIT = 200
_watched = {"path": None, "answered": False}


def _note_answered(path):
    if _watched["path"] is not None and os.fsencode(path) == _watched["path"]:
        _watched["answered"] = True


def _handle_one(handler, path, program):
    """Reads the request at `path` and runs the handler on it; None when it was answered, else why
    not (also on standard error). A handler that raises after answering has answered: its answer
    stands and the exception is only reported."""
    _watched["path"], _watched["answered"] = os.fsencode(path), False
    reason = None
    try:
        request = read_request(path)
    except ExchangeFileError as e:
        reason = "unreadable request: %s" % e
    else:
        try:
            handler(request, path)
        except Exception as e:  # SystemExit and KeyboardInterrupt end the program
            traceback.print_exc()
            reason = "the handler raised %s: %s" % (type(e).__name__, e)
        finally:
            del request
    answered = _watched["answered"]
    _watched["path"] = None
    if reason is None and not answered:
        reason = "the handler returned without answering"
    if reason is not None:
        sys.stderr.write("%s: %s: %s\n" % (program, path, reason))
        sys.stderr.flush()
    return None if answered else reason


def _reason_packet(reason):
    text = reason.encode("utf-8", "replace")[:RESIDENT_REASON_LIMIT]
    return b"E" + bytes(b if 0x20 <= b != 0x7F else 0x20 for b in text)


def _refused_packet(packet):
    if packet[:1] != b"R":
        return "not a request packet"
    if len(packet) > 1 + RESIDENT_PATH_LIMIT:
        return "exchange file path longer than 4095 bytes"
    if packet[1:2] != b"/":
        return "exchange file path not absolute"
    if b"\0" in packet:
        return "NUL in the exchange file path"
    return None


def _serve_resident(channel, handler, program):
    # Programs the handler starts get neither the channel nor its name: a child holding the
    # instance's end would hide the instance's exit from the spawner. (Python already ignores
    # SIGPIPE and retries calls interrupted by a signal.)
    os.set_inheritable(channel.fileno(), False)
    os.environ.pop("KARVEL_RESIDENT_FD", None)
    while True:
        try:
            # One byte more than the longest request packet, so that a longer one shows.
            packet = channel.recv(1 + RESIDENT_PATH_LIMIT + 1)
        except OSError as e:
            sys.stderr.write("%s: reading the resident channel: %s\n" % (program, e))
            return 1
        if not packet:
            return 0  # the spawner's end closed, or an empty packet: this instance is done
        reason = _refused_packet(packet)
        if reason is not None:
            sys.stderr.write("%s: packet refused: %s\n" % (program, reason))
            sys.stderr.flush()
        else:
            reason = _handle_one(handler, os.fsdecode(packet[1:]), program)
        try:
            channel.send(b"D" if reason is None else _reason_packet(reason))
        except OSError:
            pass  # the spawner is gone: the next read sees the end of the channel


def serve(handler, argv=None):
    """Runs `handler(request, path)` for each request the program is given and returns the exit
    status: `sys.exit(serve(handler))`. The handler answers `path` once with answer_page,
    answer_url or answer_file. With one argument (an exchange file's path) it answers that request:
    0, or 1 when it went unanswered (the reason on standard error). Without arguments and with
    KARVEL_RESIDENT_FD set it serves the spawner's channel until its end: 0. Otherwise 2."""
    argv = sys.argv if argv is None else argv
    program = argv[0] if argv else "back-end"
    if len(argv) == 2:
        return 0 if _handle_one(handler, argv[1], program) is None else 1
    name = os.environ.get("KARVEL_RESIDENT_FD")
    if len(argv) <= 1 and name is not None:
        channel = None
        if name.isdigit() and name.isascii():
            try:
                channel = socket.socket(fileno=int(name))
            except OSError:
                pass
        if channel is None or channel.family != socket.AF_UNIX or channel.type != socket.SOCK_SEQPACKET:
            if channel is not None:
                channel.detach()
            sys.stderr.write("%s: KARVEL_RESIDENT_FD=%s is no SOCK_SEQPACKET socket\n" % (program, name))
            return 2
        try:
            return _serve_resident(channel, handler, program)
        finally:
            channel.close()
    sys.stderr.write("usage: %s EXCHANGE_FILE\n" % program)
    return 2
