"""The box that every process running a learner's code runs in: Debian's
bubblewrap (bwrap), with limits set before it starts.

A box has
- its own PID, network, IPC and UTS namespaces: no network at all (not even
  the machine's loopback), and none of the tool's processes to see or
  signal; --die-with-parent and a new session;
- a filesystem of only what the worker needs, read-only: the system's /usr
  (the Debian root's for its Pythons), the dynamic linker's cache, the
  interpreter and its standard library, the interpreter's site folders
  without anything of this project's (the compiled module, its listing,
  the host, the compare tool: see DENIED), the worker package and the
  value codec, the recording GL (record mode) or the drawing helpers and
  the GLUT loader (render mode), and the one file it loads; a private tmpfs
  of SCRATCH_BYTES as /tmp, its working folder; in render mode the socket
  of its own X server;
- an environment of ENVIRONMENT and the few variables set on purpose;
- limits (Limits): address space, CPU seconds, file size, open files, set
  in the child before bwrap starts, and processes, set by the worker itself
  before it loads anything; when the tool runs as root, the worker runs as
  a user id of its own (uid_for), with no capabilities and no new
  privileges.

Where bubblewrap cannot run, problem() says why and what to install, and
the tool refuses to run a learner's code unless told --no-sandbox.
"""
from __future__ import absolute_import, division, print_function

import glob
import json
import os
import resource
import shutil
import signal
import subprocess
import sys

PACKAGE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.dirname(PACKAGE)

# Where the tool's own parts appear inside a box.
INSIDE = '/opt/kest'
INSIDE_LIBRARY = INSIDE + '/lib'             # kestcompare/{__init__,codec}.py, worker/
INSIDE_RECORDGL = INSIDE + '/recordgl'
INSIDE_HELPERS = INSIDE + '/helpers'         # KestDrawHelperFunctions, kesthost/glut.py
INSIDE_TARGET = '/learner'
SCRATCH = '/tmp'
INSIDE_WORKER = INSIDE_LIBRARY + '/kestcompare/worker/__main__.py'
CAPTURE_FD = 3

SCRATCH_BYTES = 64 * 1024 * 1024
ENVIRONMENT = {
    'PATH': '/usr/bin:/bin',
    'HOME': SCRATCH,
    'TMPDIR': SCRATCH,
    'LANG': 'C.UTF-8',
    'PYTHONIOENCODING': 'utf-8',
    'PYTHONDONTWRITEBYTECODE': '1',
    'PYTHONHASHSEED': '0',
    'OPENBLAS_NUM_THREADS': '1',
    'OMP_NUM_THREADS': '1',
}
# Names in a site folder that a box never shows (lower case): this
# project's installed parts, and what would point a process at others.
PROJECT_PREFIXES = ('movra', 'kest', 'recordgl', '__editable__')
DENIED_SUFFIXES = ('.pth', '.egg-link')
SYSTEM_LINKS = ('bin', 'sbin', 'lib', 'lib32', 'lib64', 'libx32')
SANDBOX_UID = 2000000          # the first of the user ids of boxes, when run as root
SETPRIV = ['/usr/bin/setpriv', '--clear-groups', '--bounding-set=-all', '--inh-caps=-all',
           '--no-new-privs']


class SandboxError(RuntimeError):
    """The box cannot be made here."""


class Limits(object):
    """The limits of one box."""

    def __init__(self, memory_mb=2048, cpu_seconds=120, processes=64, file_mb=16,
                 open_files=256, scratch_bytes=SCRATCH_BYTES):
        self.memory_mb = int(memory_mb)
        self.cpu_seconds = int(cpu_seconds)
        self.processes = int(processes)
        self.file_mb = int(file_mb)
        self.open_files = int(open_files)
        self.scratch_bytes = int(scratch_bytes)

    def words(self):
        """The limits as the report states them."""
        return ('memory %d MB, CPU %d s, %d processes, files of %d MB, %d open files, '
                'scratch %d MB' % (self.memory_mb, self.cpu_seconds, self.processes,
                                   self.file_mb, self.open_files,
                                   self.scratch_bytes // (1024 * 1024)))

    def apply(self):
        """In the child, before bwrap starts: every limit but the processes
        (see the worker's start)."""
        memory = self.memory_mb * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        resource.setrlimit(resource.RLIMIT_CPU, (self.cpu_seconds, self.cpu_seconds + 5))
        size = self.file_mb * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        resource.setrlimit(resource.RLIMIT_NOFILE, (self.open_files, self.open_files))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


# ------------------------------------------------------ what a box shows ---

def of_the_project(name):
    return name.lower().startswith(PROJECT_PREFIXES)


def denied(name):
    return of_the_project(name) or name.lower().endswith(DENIED_SUFFIXES)


def tool_parts():
    """The tool's own files that a box may show, where they are on this
    machine: {"library": [(source, inside)], "recordgl", "helpers"}."""
    library = [(os.path.join(PACKAGE, '__init__.py'), INSIDE_LIBRARY + '/kestcompare/__init__.py'),
               (os.path.join(PACKAGE, 'codec.py'), INSIDE_LIBRARY + '/kestcompare/codec.py'),
               (os.path.join(PACKAGE, 'worker'), INSIDE_LIBRARY + '/kestcompare/worker')]
    helpers = [(_find_file('KestDrawHelperFunctions.py', [HOST]),
                INSIDE_HELPERS + '/KestDrawHelperFunctions.py')]
    kesthost = _package_folder('kesthost')
    helpers += [(os.path.join(kesthost, '__init__.py'), INSIDE_HELPERS + '/kesthost/__init__.py'),
                (os.path.join(kesthost, 'glut.py'), INSIDE_HELPERS + '/kesthost/glut.py')]
    recordgl = os.path.join(HOST, 'recordgl')
    if not os.path.isdir(recordgl):
        recordgl = _package_folder('recordgl')
    return {'library': library, 'recordgl': recordgl, 'helpers': helpers}


def _package_folder(name):
    here = os.path.join(HOST, name)
    if os.path.isdir(here):
        return here
    import importlib.util
    found = importlib.util.find_spec(name)
    if found is None or not found.submodule_search_locations:
        raise SandboxError('the tool cannot find its part %s' % name)
    return list(found.submodule_search_locations)[0]


def _find_file(name, folders):
    for folder in folders + [p for p in sys.path if p]:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            return path
    raise SandboxError('the tool cannot find its part %s' % name)


class View(object):
    """The bwrap arguments that make a box's filesystem, built up in order
    (a later mount lies over an earlier one). The folders above a mount are
    made first, open to all: bwrap would give them the modes of the
    machine's own (/root is 0700), which the box's user could not pass."""

    def __init__(self):
        self.args = []
        self.made = set(['/'])

    def parents(self, inside):
        parts = inside.strip('/').split('/')[:-1]
        path = ''
        for part in parts:
            path += '/' + part
            if path in self.made:
                continue
            self.made.add(path)
            if not self.covered(path):
                self.args += ['--perms', '0755', '--dir', path]

    def covered(self, path):
        """Inside a tree bound already (whose own folders are what they are),
        or the scratch folder's."""
        return path != SCRATCH and any(path == tree or path.startswith(tree + '/')
                                       for tree in self.trees)

    @property
    def trees(self):
        return [self.args[i + 2] for i, arg in enumerate(self.args)
                if arg in ('--ro-bind', '--bind') and i + 2 < len(self.args)]

    def scratch(self, size=None):
        """The box's own /tmp, open to all; mounted before the trees that
        lie inside it (a checkout or an environment under /tmp)."""
        self.args += ['--perms', '1777'] + (['--size', str(size)] if size else []) + [
            '--tmpfs', SCRATCH]
        self.made.add(SCRATCH)

    def ro(self, source, inside=None):
        inside = inside or source
        self.parents(inside)
        self.args += ['--ro-bind', source, inside]
        self.made.add(inside)

    def system(self, root):
        """/usr of the system root, its top-level links (/lib -> usr/lib),
        the linker's cache and the alternatives' links."""
        self.ro(os.path.join(root, 'usr'), '/usr')
        for name in SYSTEM_LINKS:
            path = os.path.join(root, name)
            if os.path.islink(path):
                self.args += ['--symlink', os.readlink(path), '/' + name]
            elif os.path.isdir(path):
                self.ro(path, '/' + name)
        for name in ('etc/ld.so.cache', 'etc/alternatives'):
            path = os.path.join(root, name)
            if os.path.exists(path):
                self.ro(path, '/' + name)

    def site(self, source, inside):
        """A site folder with every entry but the denied ones (and the
        metadata folders, which no import needs)."""
        self.parents(inside)
        self.args += ['--tmpfs', inside]
        self.made.add(inside)
        try:
            names = sorted(os.listdir(source))
        except OSError:
            return
        for name in names:
            if denied(name) or name.endswith(('.dist-info', '.egg-info')) or \
                    name == '__pycache__':
                continue
            self.args += ['--ro-bind', os.path.join(source, name), inside + '/' + name]


def site_folders_below(tree):
    """The Python site folders inside a tree that a box binds whole."""
    found = []
    for pattern in ('lib/python*/site-packages', 'lib/python*/dist-packages',
                    'local/lib/python*/dist-packages', 'local/lib/python*/site-packages',
                    'lib/python3/dist-packages'):
        found += glob.glob(os.path.join(tree, pattern))
    return sorted(set(found))


# ----------------------------------------------------------- interpreters ---

PROBE = r'''
import json, os, sys
base = getattr(sys, 'real_prefix', None) or getattr(sys, 'base_prefix', sys.prefix)
executable = getattr(sys, '_base_executable', None)
if not executable or not os.path.exists(executable) or executable == sys.executable and base != sys.prefix:
    name = 'python%d.%d%s' % (sys.version_info[0], sys.version_info[1],
                              'd' if hasattr(sys, 'gettotalrefcount') and sys.version_info[0] == 3 else '')
    executable = os.path.join(base, 'bin', name)
if not os.path.exists(executable):
    executable = sys.executable
site = [p for p in sys.path if p and os.path.basename(p.rstrip('/')) in ('site-packages', 'dist-packages')]
print(json.dumps({'version': '%d.%d' % sys.version_info[:2], 'executable': os.path.realpath(executable),
                  'base_prefix': os.path.realpath(base), 'site': [os.path.realpath(p) for p in site]}))
'''


class Interpreter(object):
    """One Python that runs workers: the command to run (a virtual
    environment's python, the interpreter itself), the system root it runs
    in ("/", or the Debian root's folder for its Pythons) and, once probed,
    its base executable, base prefix and site folders (paths as seen from
    inside its system root)."""

    def __init__(self, command, version=None, system_root='/'):
        self.command = command
        self.version = version
        self.system_root = system_root
        self.executable = None
        self.base_prefix = None
        self.site = []

    def outside(self, path):
        """Where a path of the interpreter's system lies on this machine."""
        if self.system_root == '/' or not path.startswith('/usr'):
            return path
        return os.path.join(self.system_root, path.lstrip('/'))

    def probe(self, runner):
        """Asks the interpreter (never with a learner's code) where its
        parts are; runner(argv) runs it in its system root: (status, out)."""
        status, out = runner([self.command, '-c', PROBE])
        if status != 0:
            raise SandboxError('%s does not start (status %s): %s'
                               % (self.command, status, out.strip()[-300:]))
        found = json.loads(out.strip().splitlines()[-1])
        self.version = self.version or found['version']
        self.executable = found['executable']
        self.base_prefix = found['base_prefix']
        self.site = found['site']
        return self


def probe_in_root(interpreter):
    """A runner for Interpreter.probe of a Python of another system root:
    its /usr, and the folder of its virtual environment, in a box."""
    def run(argv):
        view = View()
        view.system(interpreter.system_root)
        view.scratch()
        environment = os.path.dirname(os.path.dirname(os.path.abspath(argv[0])))
        view.ro(environment)
        view.args += ['--proc', '/proc', '--dev', '/dev']
        box = [bwrap_path()] + namespace_args() + view.args + [
            '--clearenv', '--setenv', 'PATH', ENVIRONMENT['PATH'], '--chdir', '/', '--'] + argv
        return probe_directly(box)
    return run


def probe_directly(argv):
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, cwd='/', close_fds=True)
    try:
        out, _ = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()
        out, _ = process.communicate()
        return None, 'the interpreter did not answer within 60 s'
    return process.returncode, out.decode('utf-8', 'replace')


# ------------------------------------------------------------------ boxes ---

def is_root():
    return os.geteuid() == 0


def uid_for(slot):
    """The user id of a box when the tool runs as root: one per worker
    slot, so that no two boxes share their count of processes."""
    return SANDBOX_UID + (os.getpid() % 50000) * 8 + (slot % 8)


def bwrap_path():
    return shutil.which('bwrap')


_problem = {}


def problem():
    """None when a box can be made here, else why not and what to do."""
    if 'checked' in _problem:
        return _problem['checked']
    reason = None
    if not sys.platform.startswith('linux'):
        reason = ('the sandbox needs Linux (bubblewrap), and this is %s; run with '
                  '--no-sandbox only for files you trust' % sys.platform)
    elif bwrap_path() is None:
        reason = ('bubblewrap is not installed: install the Debian package bubblewrap '
                  '(apt-get install bubblewrap), or run with --no-sandbox only for files '
                  'you trust')
    else:
        argv = [bwrap_path()] + namespace_args() + ['--ro-bind', '/', '/', '--proc', '/proc',
                                                     '--dev', '/dev', '--', 'true']
        status, out = probe_directly(argv)
        if status != 0:
            reason = ('bubblewrap cannot make a sandbox here (%s)%s; run with --no-sandbox '
                      'only for files you trust' % (
                          (out or '').strip().splitlines()[-1:] or ['status %s' % status])[0],
                      '' if is_root() else ': unprivileged user namespaces may be off '
                      '(sysctl kernel.unprivileged_userns_clone=1), or run the tool as root')
    _problem['checked'] = reason
    return reason


def namespace_args():
    args = ['--unshare-pid', '--unshare-net', '--unshare-ipc', '--unshare-uts',
            '--unshare-cgroup-try', '--die-with-parent', '--new-session',
            '--hostname', 'sandbox']
    if not is_root():
        args += ['--unshare-user', '--disable-userns']
    return args


class Box(object):
    """The command line of one sandboxed worker: its view, its environment
    and its user."""

    def __init__(self, interpreter, mode, target, limits, slot=0, display=None,
                 reference=False):
        self.interpreter = interpreter
        self.mode = mode
        self.target = target            # a path outside, or "compiled"
        self.limits = limits
        self.slot = slot
        self.display = display          # (number, socket path) of its own X server
        self.reference = reference

    def inside_target(self):
        if self.target == 'compiled':
            return 'compiled'
        return INSIDE_TARGET + '/' + os.path.basename(self.target)

    def view(self):
        interpreter = self.interpreter
        view = View()
        view.system(interpreter.system_root)
        # The scratch folder before the trees, which lie over it: a virtual
        # environment or a checkout under /tmp stays seen.
        view.scratch(self.limits.scratch_bytes)
        prefix = interpreter.base_prefix
        if not prefix.startswith('/usr'):
            view.ro(prefix)
        trees = ['/usr'] + ([] if prefix.startswith('/usr') else [prefix])
        shown = set()
        for folder in interpreter.site:
            self.add_site(view, folder)
            shown.add(folder)
        # Site folders of the bound trees that the interpreter does not use
        # are shown without this project's parts, like the others.
        for tree in trees:
            for folder in site_folders_below(interpreter.outside(tree)):
                inside = tree + folder[len(interpreter.outside(tree)):]
                if inside in shown:
                    continue
                if any(of_the_project(name) for name in _listing(folder)):
                    view.site(folder, inside)
        parts = tool_parts()
        for source, inside in parts['library']:
            view.ro(source, inside)
        if self.mode == 'record':
            view.ro(parts['recordgl'], INSIDE_RECORDGL)
        else:
            for source, inside in parts['helpers']:
                view.ro(source, inside)
        if self.target != 'compiled':
            view.ro(self.target, self.inside_target())
        view.args += ['--proc', '/proc', '--dev', '/dev']
        if self.display is not None:
            number, socket = self.display
            inside = '/tmp/.X11-unix/X%d' % number
            view.parents(inside)
            view.args += ['--bind', socket, inside]
        return view

    def add_site(self, view, folder):
        """One of the interpreter's site folders: the reference's shows the
        compiled module and the drawing helpers installed beside it."""
        outside = self.interpreter.outside(folder)
        shown_already = view.covered(folder)
        if self.reference and self.target == 'compiled':
            if not shown_already:
                view.ro(outside, folder)
        elif any(of_the_project(name) for name in _listing(outside)):
            view.site(outside, folder)
        elif not shown_already:
            view.ro(outside, folder)

    def environment(self):
        env = dict(ENVIRONMENT)
        if self.display is not None:
            env['DISPLAY'] = ':%d' % self.display[0]
        return env

    def settings(self):
        first = [INSIDE_RECORDGL] if self.mode == 'record' else [INSIDE_HELPERS]
        return {'mode': self.mode, 'first': first, 'site': list(self.interpreter.site),
                'capture_fd': CAPTURE_FD, 'cwd': SCRATCH,
                'processes': self.limits.processes}

    def argv(self, capture_fd=CAPTURE_FD, command=None):
        """The command that starts the worker in its box (or, given, the
        interpreter's arguments of another command: a compile)."""
        argv = [bwrap_path()] + namespace_args() + self.view().args + ['--clearenv']
        for name, value in sorted(self.environment().items()):
            argv += ['--setenv', name, value]
        argv += ['--chdir', SCRATCH, '--']
        if is_root():
            uid = str(uid_for(self.slot))
            argv += SETPRIV + ['--reuid=' + uid, '--regid=' + uid, '--']
        if command is None:
            settings = dict(self.settings(), capture_fd=capture_fd)
            command = [INSIDE_WORKER, json.dumps(settings, sort_keys=True)]
        return argv + [self.interpreter.executable, '-E', '-s', '-S'] + list(command)


def _listing(folder):
    try:
        return os.listdir(folder)
    except OSError:
        return []


def preexec(limits):
    """The child's set-up before bwrap (or, unboxed, the worker) starts:
    its own session, a SIGKILL from Linux when the tool dies, the limits."""
    prctl = None
    try:
        import ctypes
        import ctypes.util
        libc = ctypes.CDLL(ctypes.util.find_library('c') or 'libc.so.6', use_errno=True)
        prctl = libc.prctl
    except (OSError, AttributeError, ImportError):
        pass

    def child():
        os.setsid()
        if prctl is not None:
            prctl(1, int(signal.SIGKILL), 0, 0, 0)   # PR_SET_PDEATHSIG
        if limits is not None:
            limits.apply()
    return child
