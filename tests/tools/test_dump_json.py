"""karvel-dump --json parses back; refusals, several files and bad usage give their exit status."""
import json, os, subprocess, sys, tempfile

tool = sys.argv[1]
d = tempfile.mkdtemp()
def write(name, data):
    path = os.path.join(d, name)
    open(path, "wb").write(data)
    return path
page = write("page", b"91  Content-Type: text/plain\r\nX: \x82\xff\r\n\r\nbody")
garbage = write("garbage", b"\xff\xfe")
cases = [
    ([page], 0, dict, lambda o: o["kind"] == "page" and o["body_bytes"] == 4 and "\\x82\\xFF" in o["header_block"]),
    ([page, garbage, d], 1, list, lambda o: len(o) == 3 and "error" in o[1] and "error" in o[2]),
]
for files, code, shape, check in cases:
    run = subprocess.run([tool, "--json"] + files, capture_output=True)
    assert run.returncode == code, (files, run.returncode)
    shown = json.loads(run.stdout.decode("utf-8"))
    assert isinstance(shown, shape) and check(shown), shown
for args in ([], ["--bogus", page]):
    run = subprocess.run([tool] + args, capture_output=True)
    assert run.returncode == 2 and b"usage: karvel-dump" in run.stderr, args
