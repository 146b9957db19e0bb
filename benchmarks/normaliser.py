# SPDX-License-Identifier: LGPL-2.1-or-later
"""How the time to find the headers of a syslog-ng configuration grows with its
size: the engine's single pass beside the regular-expression formulation, on the
same inputs. Prints figures; asserts nothing.

    PYTHONPATH=src:build/src python3 benchmarks/normaliser.py [BUILD-DIR]

Needs a build with -Dtests=true (the test module exposes the normaliser).
"""

import re
import sys
import time
from pathlib import Path

build = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build")
sys.path.insert(0, str(build / "tests"))
import _native_test  # noqa: E402

STOCK_PIECE = """@version: 3.38
@include "scl.conf"
# Options
options { chain_hostnames(off); flush_lines(0); use_dns(no); use_fqdn(no);
          dns_cache(no); owner("root"); group("adm"); perm(0640); stats_freq(0);
          bad_hostname("^gconfd$"); };

source s_src {
       system();
       internal();
};
destination d_auth { file("/var/log/auth.log"); };
filter f_dbg { level(debug); };
filter f_auth { facility(auth, authpriv) and not filter(f_dbg); };
log { source(s_src); filter(f_auth); destination(d_auth); };
"""

SHAPES = {
    "stock-like configuration": lambda size: (STOCK_PIECE * (size // len(STOCK_PIECE) + 1))[:size],
    "blank lines, then a definition": lambda size: "\n" * (size - 14) + "source s { };",
    "blank and indented lines, then a definition": lambda size: (" \t\n" * size)[: size - 14] + "source s { };",
}
SIZES = [2 << 10, 16 << 10, 128 << 10, 1 << 20, 8 << 20]
#: The regular expressions are not run on an input they would spend longer on
#: (each timing is the best of five runs).
REGEX_BUDGET = 5.0


def regex_headers(config):
    text = re.sub(r"^\s*#.*\n?", "", config, flags=re.MULTILINE)
    text = re.sub(r"^\s*@.*\n?", "", text, flags=re.MULTILINE)
    text = re.sub(r"\} ?;", "};\n", re.sub(r"\s+", " ", text))
    return {line.split("{", 1)[0].strip() for line in text.splitlines()}


def timed(function, text):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        function(text)
        best = min(best, time.perf_counter() - start)
    return best


def row(label, size, seconds):
    if seconds is None:
        return f"  {label:<20} {size:>10,} bytes  {'skipped (would exceed ' + str(REGEX_BUDGET) + ' s)':>40}"
    return f"  {label:<20} {size:>10,} bytes  {seconds:>10.4f} s  {size / seconds / 1e6:>10.1f} MB/s"


def main():
    for shape, make in SHAPES.items():
        print(shape)
        previous = {"engine": None, "regular expressions": None}
        for size in SIZES:
            text = make(size)
            for label, function in (("engine", _native_test.configuration_headers), ("regular expressions", regex_headers)):
                last = previous[label]
                # Quadratic growth: eight times the input, sixty-four times the time.
                if last is not None and (last is False or last * 64 > REGEX_BUDGET):
                    print(row(label, size, None))
                    previous[label] = False
                    continue
                seconds = timed(function, text)
                growth = f"  x{seconds / last:.1f} for x8 input" if last else ""
                print(row(label, size, seconds) + growth)
                previous[label] = seconds
    text = SHAPES["stock-like configuration"](10 << 20)
    print("a 10 MB configuration")
    for label, function in (("engine", _native_test.configuration_headers), ("regular expressions", regex_headers)):
        print(row(label, len(text), timed(function, text)))


if __name__ == "__main__":
    main()
