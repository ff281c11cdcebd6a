"""Starting the reference server from a test or a tool.

The server chooses a free port with --port 0 and names the address it
serves in its first line of standard output, "serving http://127.0.0.1:N";
every starter reads that line the same way, here.
"""

import os
import re
import subprocess
import sys
import threading

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "server.py")
START_LINE = re.compile(r"serving (https?://127\.0\.0\.1:\d+)$")


class StartError(RuntimeError):
    pass


def start(args=(), stderr=subprocess.DEVNULL, timeout=15.0, script=SERVER, **popen):
    """Starts the server on a free loopback port with the extra `args`.

    Returns (process, base URL without a trailing slash); `popen` goes to
    subprocess.Popen (cwd, start_new_session, ...). When the start line does
    not come within `timeout` seconds, or is another line, the process is
    killed and StartError names what was read.
    """
    proc = subprocess.Popen([sys.executable, script, "--port", "0"] + list(args),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr,
                            **popen)
    line = []
    # readline may block for good on a server that hangs before its first line.
    reader = threading.Thread(target=lambda: line.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    text = line[0].decode("utf-8", "replace").strip() if line else ""
    match = START_LINE.match(text)
    if not match:
        proc.kill()
        proc.wait()
        proc.stdout.close()
        raise StartError("the reference server did not start: %r" % text)
    return proc, match.group(1)
