"""Ctrl-C and the progress bar, with real signals and a pseudo-terminal.

A conversion long enough to interrupt: SIGINT and SIGTERM must leave the previous output as it
was and no temporary file behind. On a terminal the bar shows a percentage for a Stata input
(whose case count is known) and the run ends with one summary line."""
import os
import pty
import re
import signal
import subprocess
import sys
import tempfile
import time

tool = sys.argv[1]
work = tempfile.mkdtemp()
os.chdir(work)
fails = []

with open("big.csv", "w") as f:
    f.write("id,x,y,name\n")
    row = "%d,%d.25,%d,some text here %d\n"
    f.writelines(row % (i, i, i * 7, i % 97) for i in range(1500000))
subprocess.run([tool, "convert", "big.csv", "big.dta", "-q"], check=True)


def temp_files():
    return [n for n in os.listdir(".") if ".tabulon-" in n]


for sig in (signal.SIGINT, signal.SIGTERM):
    with open("out.csv", "w") as f:
        f.write("precious")
    p = subprocess.Popen([tool, "convert", "big.dta", "out.csv", "-y", "--no-optimize"], stderr=subprocess.DEVNULL)
    deadline = time.time() + 20
    while not temp_files() and p.poll() is None and time.time() < deadline:
        time.sleep(0.005)
    time.sleep(0.05)
    if p.poll() is not None:
        fails.append("%s: the conversion ended before it could be interrupted" % sig.name)
        continue
    p.send_signal(sig)
    rc = p.wait(timeout=20)
    if rc != -sig:
        fails.append("%s: exit %d, expected death by the signal" % (sig.name, rc))
    if open("out.csv").read() != "precious":
        fails.append("%s: the previous output was changed" % sig.name)
    if temp_files():
        fails.append("%s: temporary files left: %s" % (sig.name, temp_files()))

# The bar and the summary on a terminal, from the first batch on (a fast machine converts
# these files in well under the usual half-second delay).
os.environ["TABULON_PROGRESS_DELAY_MS"] = "0"
def on_terminal(*args):
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(tool, [tool, "convert", *args, "-y"])
    seen = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    _, status = os.waitpid(pid, 0)
    text = seen.decode("utf-8", "replace")
    if os.waitstatus_to_exitcode(status) != 0:
        fails.append("tty run failed: " + text[-300:])
    return text


# A text input: the type scan inside the dictionary read shows how far it has come, and
# once it has counted the cases the writing bar has a percentage too.
text = on_terminal("big.csv", "tty.sav")
scan = [int(p) for p in re.findall(r"scanning +\[[#.]+\] +(\d+)%", text)]
if not any(p < 100 for p in scan):
    fails.append("no percentage during the type scan: " + repr(text[:300]))
if not re.search(r"writing +\[[#.]+\] +\d+%", text):
    fails.append("no percentage while writing a scanned text input: " + repr(text[:400]))
# A Stata input knows its case count: a percentage.
text = on_terminal("big.dta", "tty.csv")
if not re.search(r"writing +\[[#.]+\] +\d+%", text):
    fails.append("no percentage while writing: " + repr(text[:300]))
if not re.search(r"tabulon: 1500000 cases, 4 variables written to tty.csv in [0-9.]+ s\r?\n", text):
    fails.append("no summary line: " + repr(text[-300:]))

# Without a terminal: one summary line on stderr, nothing with -q.
r = subprocess.run([tool, "convert", "big.dta", "plain.csv", "-y"], capture_output=True, text=True)
if r.stderr.count("\n") != 1 or "1500000 cases" not in r.stderr or "\r" in r.stderr:
    fails.append("summary without a terminal: %r" % r.stderr)

for f in fails:
    print("FAIL:", f)
sys.exit(1 if fails else 0)
