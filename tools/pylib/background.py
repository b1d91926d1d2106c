"""Start and stop a script's server in the background, one per folder: the pid is kept in
FOLDER/pid and the server's output in FOLDER/server.log."""
import os
import signal
import subprocess
import sys
import time


def running(pid, script):
    """Whether pid is still a process of script (a pid file can outlive its process)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return os.path.basename(script).encode() in f.read()
    except OSError:
        return False


def stop(folder, script, leftovers=()):
    """Stops the server started for folder, if it still runs, and removes its state files."""
    try:
        pid = int(open(os.path.join(folder, "pid")).read())
    except (OSError, ValueError):
        return
    if running(pid, script):
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            if not running(pid, script):
                break
            time.sleep(0.1)
        else:
            os.kill(pid, signal.SIGKILL)
    for name in ("pid",) + tuple(leftovers):
        try:
            os.remove(os.path.join(folder, name))
        except OSError:
            pass


def start(folder, script, arguments, ready, leftovers=()):
    """Runs `python3 script ARGUMENTS...` in the background and waits until it writes
    FOLDER/READY. Returns 0, or 1 (with the server stopped) when it ends or never gets ready."""
    with open(os.path.join(folder, "server.log"), "wb") as log:
        # Own session and no inherited pipes: CTest must not wait for the server's output.
        child = subprocess.Popen([sys.executable, os.path.abspath(script)] + list(arguments),
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(folder, "pid"), "w") as f:
        f.write(str(child.pid))
    for _ in range(100):
        if os.path.exists(os.path.join(folder, ready)):
            return 0
        if child.poll() is not None:
            break
        time.sleep(0.1)
    print("the server did not start; see", os.path.join(folder, "server.log"), file=sys.stderr)
    stop(folder, script, leftovers)
    return 1
