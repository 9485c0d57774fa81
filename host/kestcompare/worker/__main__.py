"""The start of a worker process.

    python -E -s -S kestcompare/worker/__main__.py SETTINGS_JSON

SETTINGS_JSON: {"mode": "record" | "render", "first": the folders to put
on sys.path before the standard library (the recording GL in record mode,
the drawing helpers), "site": the interpreter's site folders, after it,
"capture_fd": the descriptor of the capture
file, "cwd": the working folder, "processes": the most processes and
threads the worker may have (0: no limit)}.

The process limit is set here, the first thing the worker does and before
any code of the implementation runs: inside a new user namespace the
kernel counts a user's processes from that namespace on. The other limits
come from the tool, set before the sandbox started.
"""
import json
import os
import sys


def start(argv):
    settings = json.loads(argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    library = os.path.dirname(os.path.dirname(here))      # the folder of kestcompare/
    standard = [p for p in sys.path if p and os.path.realpath(p) != os.path.realpath(here)]
    sys.path[:] = [library] + list(settings['first']) + standard + list(settings['site'])
    if settings.get('processes'):
        import resource
        count = int(settings['processes'])
        resource.setrlimit(resource.RLIMIT_NPROC, (count, count))
    os.chdir(settings.get('cwd') or '/')
    from kestcompare.worker.serve import serve
    return serve(settings['mode'], int(settings['capture_fd']))


if __name__ == '__main__':
    # os._exit: the implementation's atexit handlers and any thread it left
    # must not hold the process after the last request.
    status = start(sys.argv)
    try:
        sys.stdout.flush()
    except BaseException:
        pass
    os._exit(status)
