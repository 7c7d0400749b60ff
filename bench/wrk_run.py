"""Running wrk and reading what it prints, for the benchmark scripts."""
import re
import subprocess

# wrk prints durations as "812.00us", "3.21ms", "1.50s", "2.00m" or "1.00h".
_UNITS_MS = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0, "h": 3600000.0}


def to_ms(text):
    match = re.fullmatch(r"([\d.]+)(us|ms|s|m|h)", text.strip())
    if match is None:
        raise ValueError("not a wrk duration: %r" % text)
    return float(match.group(1)) * _UNITS_MS[match.group(2)]


def wrk(port, path, seconds, connections=32, threads=None, latency=False):
    """wrk's output for `path` on 127.0.0.1:`port`; stops the benchmark when a request failed."""
    threads = threads or (2 if connections > 1 else 1)
    args = ["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds, "--timeout", "30s"]
    if latency:
        args.append("--latency")
    out = subprocess.run(args + ["http://127.0.0.1:%d%s" % (port, path)], stdout=subprocess.PIPE, text=True,
                         check=True).stdout
    if re.search(r"Socket errors|Non-2xx or 3xx responses", out):
        raise SystemExit("wrk saw failures on %s:\n%s" % (path, out))
    return out


def rate(out):
    """Requests per second."""
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))


def percentile(out, which):
    """A latency percentile of a --latency run ("50%", "90%", "99%"), in ms: from its own line of the
    distribution, not from a "+/- Stdev" column that happens to end in the same digits."""
    match = re.search(r"^\s*" + re.escape(which) + r"\s+(\S+)\s*$", out, re.MULTILINE)
    if match is None:
        raise ValueError("no %s line in wrk's output" % which)
    return to_ms(match.group(1))
