"""Fresh processes for scenarios, forked from one that has already imported torch and transformers.

The backend keeps process-wide state (one program per process), so every scenario runs in a process
of its own. Starting Python and importing torch and transformers costs seconds per scenario; a child
forked from a server that did it once starts in milliseconds. The child gets the scenario's
environment, fresh stdin/stdout/stderr and `python -c`'s sys.path and argv, runs the code as
`__main__`, and exits through the interpreter's normal shutdown (atexit handlers run), with the
exit status `python -c` would give.

    server = ForkServer(); proc = server.run(code, env, timeout)   # a subprocess.CompletedProcess
    ForkServer(["some.module"]) also imports that module before it forks.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

PRELOAD = ["torch", "torch.nn", "torch.nn.functional", "torch._lazy", "torch.optim", "numpy", "transformers",
           "transformers.models.gpt2.modeling_gpt2", "transformers.models.llama.modeling_llama",
           "transformers.models.bert.modeling_bert", "transformers.models.bart.modeling_bart"]


def _child(request, replies):
    """Runs in the forked child: never returns (SystemExit ends the process the normal way)."""
    os.setpgid(0, 0)
    os.close(replies)
    for fd, path, flags in ((0, request.get("stdin") or os.devnull, os.O_RDONLY),
                            (1, request["stdout"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC),
                            (2, request["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC)):
        os.dup2(os.open(path, flags), fd)
    sys.stdin = open(0, closefd=False)
    os.environ.clear()
    os.environ.update(request["env"])
    extra = [p for p in request["env"].get("PYTHONPATH", "").split(os.pathsep) if p]
    sys.path[:] = ["", *extra, *[p for p in sys.path[1:] if p not in extra]]
    sys.argv = ["-c"]
    if request["env"].get("PYTHONFAULTHANDLER"):
        import faulthandler
        faulthandler.enable()
    main = type(sys)("__main__")
    sys.modules["__main__"] = main
    try:
        exec(compile(request["code"], "<string>", "exec"), main.__dict__)
    except SystemExit:
        raise
    except BaseException:
        import traceback
        traceback.print_exc()
        raise SystemExit(1)
    raise SystemExit(0)


def _wait(pid, timeout):
    deadline = time.monotonic() + timeout
    delay = 0.001
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)
        if time.monotonic() > deadline:
            try:
                os.killpg(pid, 9)
            except ProcessLookupError:
                pass
            os.waitpid(pid, 0)
            return None
        time.sleep(delay)
        delay = min(delay * 2, 0.02)


def serve():
    import importlib
    for name in PRELOAD + sys.argv[1:]:
        try:
            importlib.import_module(name)
        except ImportError:
            pass
    replies = os.fdopen(os.dup(1), "w")
    for line in sys.stdin:
        request = json.loads(line)
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:
            _child(request, replies.fileno())
        replies.write(json.dumps({"code": _wait(pid, request["timeout"])}) + "\n")
        replies.flush()


class ForkServer:
    def __init__(self, preload=()):
        self._proc = None
        self._preload = list(preload)

    def run(self, code, env, timeout, input=None):
        if self._proc is None or self._proc.poll() is not None:
            self._proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), *self._preload],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        with tempfile.TemporaryDirectory(prefix="scenario-") as d:
            out, err, stdin = (os.path.join(d, name) for name in ("stdout", "stderr", "stdin"))
            if input is not None:
                with open(stdin, "w") as f:
                    f.write(input)
            self._proc.stdin.write(json.dumps({"code": code, "env": env, "timeout": timeout, "stdout": out,
                                               "stderr": err, "stdin": stdin if input is not None else None})
                                   + "\n")
            self._proc.stdin.flush()
            reply = self._proc.stdout.readline()
            if not reply:
                raise RuntimeError("the scenario fork server died")
            status = json.loads(reply)["code"]

            def read(path):
                with open(path, errors="replace") as f:
                    return f.read()
            if status is None:
                raise subprocess.TimeoutExpired(["python", "-c", code], timeout, read(out), read(err))
            return subprocess.CompletedProcess(["python", "-c", code], status, read(out), read(err))

    def close(self):
        if self._proc is not None and self._proc.poll() is None:
            self._proc.stdin.close()
            self._proc.wait(timeout=30)


if __name__ == "__main__":
    serve()
