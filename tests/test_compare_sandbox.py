"""A class of hostile learners' files, each the listing and a few lines of
mischief, beside an honest copy of the listing and an honest one-sign
mistake: the sandbox holds, and the honest learners are graded as they are
without the others.

Each probe prints "PROBE-OK <what>" when its mischief worked, so that the
report of a sandbox that failed to hold says so in the probe's own output;
the checks from outside do not rely on it: files outside the learner's
scratch unchanged, no secret in any output, no connection to the listener,
no process left, the class within its limits.
"""
from __future__ import division

import csv
import hashlib
import io
import json
import os
import socket
import sys
import threading
import time

import pytest

from compare_seeds import HINT_FAULTS, TOOL_PYTHON, line_of, run_tool, seeded, write
from conftest import ROOT

pytestmark = [pytest.mark.compare, pytest.mark.sandbox]

TOKEN = 'kest-%d-%d' % (os.getpid(), int(time.time()))
SECRET_FILE = 'secret-of-the-file-%s' % TOKEN
SECRET_VARIABLE = 'secret-of-the-environment-%s' % TOKEN
LIMIT = '1'
LEARNER_LIMIT = 90
IMPORTS = 'import numpy as np\n'
FRUSTUM = '    glFrustum(left, right, bottom, top, near, far)'
WRONG_FRUSTUM = [(FRUSTUM, '    glFrustum(left, right, bottom, top, far, near)')]


def probe(code, base=()):
    """The listing (with base's substitutions) and code run at import, right
    after numpy is imported."""
    return list(base) + [(IMPORTS, IMPORTS + code)]


def attempts(lines):
    """Code that tries each (what, statement) and prints PROBE-OK when the
    statement ran without an exception, else what stopped it (a learner
    after the teacher's files prints what came of it)."""
    body = ''
    for what, statement in lines:
        body += ('try:\n    %s\n    print("PROBE-OK %s")\nexcept BaseException as _error:\n'
                 '    print("refused: %s: %%s" %% type(_error).__name__)\n'
                 % (statement, what, what))
    return body


def probes(paths):
    home, out, checkout, port = paths['home'], paths['out'], ROOT, paths['port']
    other = os.path.join(out, 'honest', 'report.txt')
    return {
        'writes': probe(attempts([
            ('write home', "open(%r, 'w').write('x')" % os.path.join(home, 'pwned')),
            ('write beside out', "open(%r, 'w').write('x')"
             % os.path.join(os.path.dirname(out), 'pwned')),
            ('write checkout', "open(%r, 'w').write('x')"
             % os.path.join(checkout, 'src', 'pwned-%s' % TOKEN)),
            ('open the listing', "open(%r, 'a').close()"
             % os.path.join(checkout, 'src', 'Movra.py')),
            ('scratch', "open('/tmp/pwned-%s', 'w').write('x' * 1000)" % TOKEN)])
            .replace('PROBE-OK scratch', 'scratch written')),
        'reads': probe("print('user %d' % __import__('os').getuid())\n" + attempts([
            ('variable', "print(__import__('os').environ['MOVRA_TEACHER_SECRET'])"),
            ('file', "print(open(%r).read())" % os.path.join(home, 'secret.txt')),
            ('hostname', "print(open('/etc/hostname').read())"),
            ('listing', "print(open(%r).read()[:300])" % os.path.join(checkout, 'src',
                                                                   'Movra.py'))])),
        'network': probe(attempts([
            ('connect', "__import__('socket').create_connection(('127.0.0.1', %d), 2)" % port),
            ('resolve', "__import__('socket').getaddrinfo('pypi.org', 443)")])),
        'leaves-process': probe(
            "import subprocess as _sp\n"
            "_sp.Popen([sys.executable, '-c', %r], close_fds=True, preexec_fn=__import__('os')"
            ".setsid)\n"
            "print('started a process of its own')\n" % (
                "import time\n# %s\ntime.sleep(4)\n"
                "for path in (%r, %r):\n"
                "    try:\n"
                "        open(path, 'w').write('tampered')\n"
                "    except BaseException:\n"
                "        pass\n"
                "time.sleep(300)\n" % (TOKEN, os.path.join(out, 'grades.csv'), other))),
        'full-disk': probe(
            "_files = 0\n"
            "while True:\n"
            "    open('/tmp/fill-%d' % _files, 'wb').write(b'x' * (8 * 1024 * 1024))\n"
            "    _files += 1\n"),
        'memory': probe("_hoard = bytearray(4 * 1024 ** 3)\nprint('PROBE-OK 4 GB')\n"),
        'delegates': probe(
            "import os as _os\n"
            "def _load(path):\n"
            "    sys.path.insert(0, _os.path.dirname(path))\n"
            "    name = _os.path.basename(path).split('.')[0]\n"
            "    sys.modules.pop(name, None)\n"
            "    return __import__(name)\n" +
            attempts([('import Movra', "import Movra as _movra")]) +
            "_found = []\n"
            "for _top in ['/opt', '/root', '/tmp', %r] + [p for p in sys.path if '/usr/' not in p]:\n"
            "    for _dir, _subs, _names in _os.walk(_top):\n"
            "        _found += [_os.path.join(_dir, n) for n in _names\n"
            "                   if n.startswith('Movra') and n.endswith(('.so', '.py'))\n"
            "                   and 'learner' not in _dir]\n"
            "        if len(_found) > 5:\n"
            "            break\n"
            "for _path in _found:\n"
            "    try:\n"
            "        _other = _load(_path)\n"
            "        print('PROBE-OK loaded ' + _path)\n"
            "    except BaseException:\n"
            "        pass\n" % ROOT, HINT_FAULTS['sign']),
        'tampers-out': probe(attempts([
            ('tamper grades', "open(%r, 'w').write('tampered')"
             % os.path.join(out, 'grades.csv')),
            ('tamper classmate', "open(%r, 'w').write('tampered')" % other),
            ('tamper reference', "open(%r, 'w').write('{}')"
             % os.path.join(out, '.reference', 'replies.json'))])),
        'sigstop': probe(
            "import os as _os, signal as _signal\n"
            "for _pid in sorted(int(p) for p in _os.listdir('/proc') if p.isdigit()):\n"
            "    if _pid != _os.getpid():\n"
            "        try:\n"
            "            _os.kill(_pid, _signal.SIGSTOP)\n"
            "        except BaseException:\n"
            "            pass\n"
            "_os.kill(_os.getpid(), _signal.SIGSTOP)\n"),
        # A wrong file that answers the tool in the worker's place: its reply
        # path replaced by one that claims every function returned and drew
        # nothing, and a forged reply written to the channel itself.
        'wraps-reply': probe(
            "import os as _os, json as _json\n"
            "_serve = sys.modules.get('kestcompare.worker.serve')\n"
            "def _forged(session, request):\n"
            "    if request.get('op') == 'load':\n"
            "        return _real(session, request)\n"
            "    return {'calls': [], 'globals': {}, 'result': {'t': 'None'}, "
            "'identical': True}\n"
            "if _serve is not None:\n"
            "    _real = _serve.handle\n"
            "    _serve.handle = _forged\n"
            "    print('wrapped the reply path')\n", WRONG_FRUSTUM),
        # A limit hit inside a function, not at import: processes in
        # drawScene, a file too large in the tick.
        'processes': [('    draw3DCoordinateAxes()\n    deg = movingCameraAngle',
                       '    _fork_all()\n    draw3DCoordinateAxes()\n    deg = movingCameraAngle'),
                      (IMPORTS, IMPORTS +
                       "def _fork_all():\n"
                       "    import os, time\n"
                       "    while True:\n"
                       "        if os.fork() == 0:\n"
                       "            time.sleep(30)\n"
                       "            os._exit(0)\n")],
        'file-size': [('    global movingCameraAngle, movingCameraPos\n',
                       '    global movingCameraAngle, movingCameraPos\n'
                       "    open('/tmp/big', 'wb').write(b'x' * (20 * 1024 * 1024))\n")],
        'honest': [],
        'honest-sign': HINT_FAULTS['sign'],
    }


def tree_state(top):
    """(path, digest) of every file below top, but the bytecode that the
    tool's own imports may write."""
    found = []
    for folder, _subs, names in os.walk(top):
        if os.path.basename(folder) == '__pycache__':
            continue
        for name in sorted(names):
            if name.endswith('.pyc'):
                continue
            path = os.path.join(folder, name)
            try:
                with open(path, 'rb') as stream:
                    found.append((path, hashlib.sha1(stream.read()).hexdigest()))
            except (IOError, OSError):
                found.append((path, None))
    return sorted(found)


def token_processes():
    found = []
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open('/proc/%s/cmdline' % pid, 'rb') as stream:
                if TOKEN.encode('ascii') in stream.read():
                    found.append(int(pid))
        except (IOError, OSError):
            pass
    return found


class Listener(object):
    """A server on 127.0.0.1 that counts the connections it accepts."""

    def __init__(self):
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.bind(('127.0.0.1', 0))
        self.server.listen(5)
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.accepted = 0
        self.running = True
        self.thread = threading.Thread(target=self.serve)
        self.thread.daemon = True
        self.thread.start()

    def serve(self):
        while self.running:
            try:
                connection, _ = self.server.accept()
            except socket.timeout:
                continue
            except (IOError, OSError):
                return
            self.accepted += 1
            connection.close()

    def stop(self):
        self.running = False
        self.thread.join(2)
        self.server.close()


@pytest.fixture(scope='module')
def hostile(tmpdir_factory):
    if TOOL_PYTHON is None:
        pytest.skip('no Python 3 environment to run the compare tool with')
    base = tmpdir_factory.mktemp('hostile')
    home = base.join('teacher')
    home.join('secret.txt').write(SECRET_FILE, ensure=True)
    folder, out = base.join('class'), base.join('out')
    listener = Listener()
    paths = {'home': str(home), 'out': str(out), 'port': listener.port}
    files = probes(paths)
    for name, substitutions in files.items():
        write(str(folder.join(name, 'Movra.py')), seeded(substitutions))
    watched = [os.path.join(ROOT, 'src'), os.path.join(ROOT, 'host'), str(home)]
    before = dict((top, tree_state(top)) for top in watched)
    # The tool keeps Movra's replies in a cache folder of its own (by default
    # in the teacher's home, which is watched here for the learners' writes).
    env = dict(os.environ, HOME=str(home), MOVRA_TEACHER_SECRET=SECRET_VARIABLE,
               KESTCOMPARE_CACHE=str(base.join('tool-cache')))
    started = time.time()
    try:
        status, text, err = run_tool(str(folder), '--out', str(out), '--time-limit', LIMIT,
                                     '--learner-limit', str(LEARNER_LIMIT), '--jobs', '3',
                                     '--picture-size', '32', env=env)
        seconds = time.time() - started
        out_state = tree_state(str(out))
        time.sleep(6)           # what a process left behind would do after the run
        out_later = tree_state(str(out))
        left = token_processes()
    finally:
        listener.stop()
    summary = json.loads(out.join('summary.json').read())
    rows = dict((row['learner'], row) for row in summary['rows'])
    reports = dict((name, json.loads(out.join(rows[name]['folder'], 'report.json').read()))
                   for name in files)
    return {'status': status, 'text': text, 'err': err, 'seconds': seconds, 'rows': rows,
            'reports': reports, 'summary': summary, 'out': out, 'base': base, 'home': home,
            'before': before, 'after': dict((top, tree_state(top)) for top in watched),
            'out_state': out_state, 'out_later': out_later, 'left': left,
            'connections': listener.accepted, 'files': files, 'folder': folder}


def every_output(run):
    """Everything the tool wrote: OUT's files, its stdout and stderr."""
    texts = [run['text'], run['err']]
    for path, _digest in run['out_later']:
        with io.open(path, 'rb') as stream:
            texts.append(stream.read().decode('utf-8', 'replace'))
    return '\n'.join(texts)


def test_no_mischief_worked(hostile):
    assert 'PROBE-OK' not in every_output(hostile)


def test_no_file_outside_the_scratch_changed(hostile):
    assert hostile['after'] == hostile['before']
    assert not os.path.exists(os.path.join(os.path.dirname(str(hostile['out'])), 'pwned'))
    assert not [name for name in os.listdir('/tmp') if TOKEN in name]
    # the report of the file that wrote into its own scratch says so, and
    # nothing of it is left
    assert 'scratch written' in hostile['reports']['writes']['output']['loading']


def test_no_secret_in_any_output(hostile):
    output = every_output(hostile)
    assert SECRET_FILE not in output and SECRET_VARIABLE not in output
    with open(os.path.join(ROOT, 'src', 'Movra.py')) as stream:
        assert stream.read()[:300] not in output


def test_no_connection_and_no_process_left(hostile):
    assert hostile['connections'] == 0
    assert hostile['left'] == []
    # the process was started, in its box, and went with it
    assert 'started a process of its own' in \
        hostile['reports']['leaves-process']['output']['loading']


def test_out_is_written_by_the_tool_alone_and_never_after(hostile):
    assert hostile['out_later'] == hostile['out_state']
    assert not hostile['out'].join('.reference').check()
    with io.open(str(hostile['out'].join('grades.csv')), encoding='utf-8', newline='') as stream:
        table = list(csv.reader(stream))
    assert table[0][0] == 'learner' and len(table) == len(hostile['files']) + 1


def test_the_class_finished_within_its_limits(hostile):
    assert hostile['summary']['learners'] == len(hostile['files'])
    assert hostile['seconds'] < LEARNER_LIMIT * 2
    assert all(row['seconds'] < LEARNER_LIMIT for row in hostile['rows'].values())


def test_no_hostile_learner_is_identical(hostile):
    for name, row in hostile['rows'].items():
        if not name.startswith('honest'):
            assert row['severity'] != 'identical', name


def test_the_honest_learners_are_graded_as_alone(hostile, tmpdir):
    folder = tmpdir.join('honest-class')
    for name in ('honest', 'honest-sign'):
        write(str(folder.join(name, 'Movra.py')), seeded(hostile['files'][name]))
    status, text, err = run_tool(str(folder), '--out', str(tmpdir.join('out')), '--time-limit',
                                 LIMIT, '--picture-size', '32')
    alone = json.loads(tmpdir.join('out', 'summary.json').read())

    def seen(row, out):
        return dict((key, (row[key] or '').replace(str(out), 'OUT')
                     if key == 'first_difference' else row[key])
                    for key in ('severity', 'differences', 'first_difference', 'result'))
    for row in alone['rows']:
        beside = hostile['rows'][row['learner']]
        assert seen(beside, hostile['out']) == seen(row, tmpdir.join('out')), row['learner']
        assert [h['kind'] for h in beside['hints']] == [h['kind'] for h in row['hints']]
    assert hostile['rows']['honest']['severity'] == 'identical'
    assert [h['kind'] for h in hostile['rows']['honest-sign']['hints']] == ['sign']


@pytest.mark.parametrize('name, words', [
    ('memory', 'could not be loaded: loading it hit the memory limit (2048 MB): MemoryError'),
    ('full-disk', 'could not be loaded: loading it hit the space of its scratch folder (64 MB): %sError: '
                  '[Errno 28] No space left on device' % ('IO' if sys.version_info[0] == 2
                                                          else 'OS')),
    ('sigstop', 'loading it did not return within 1 s'),
])
def test_a_limit_that_was_hit_is_named_where(hostile, name, words):
    report = hostile['reports'][name]
    assert report['severity'] == 'not loaded'
    assert words in report['first_difference']
    if name != 'sigstop':
        source = seeded(hostile['files'][name])
        fragment = 'bytearray' if name == 'memory' else "open('/tmp/fill"
        assert '(line %d)' % line_of(source, fragment) in report['first_difference']


def test_the_report_says_the_file_reached_for_the_module_it_is_compared_with(hostile):
    report = hostile['reports']['delegates']
    assert report['imports'] == ['Movra']
    assert ('note       yours tried to import Movra, the module it is compared with; the '
            'sandbox offers no module of that name') in report['lines']
    assert [h['kind'] for h in report['hints']] == ['sign']


def test_a_forged_reply_path_is_not_identical(hostile):
    report = hostile['reports']['wraps-reply']
    assert report['severity'] != 'identical'
    assert 'wrapped the reply path' in report['output']['loading']
    assert report['functions']['Viewport1']['defaults']['equal'] is False


def test_the_learners_code_runs_as_a_user_of_its_own(hostile):
    loading = hostile['reports']['reads']['output']['loading']
    uid = int(loading.split('user ', 1)[1].split()[0])
    if os.geteuid() == 0:
        assert uid >= 2000000
    else:
        assert uid == os.geteuid()


@pytest.mark.parametrize('name, function, where, words', [
    ('processes', 'drawScene', '_fork_all', 'yours hit the process limit (64): %s: [Errno 11] '
                               'Resource temporarily unavailable' % (
                                   'OSError' if sys.version_info[0] == 2 else 'BlockingIOError')),
    ('file-size', 'updateAnimationVariables', 'updateAnimationVariables', 'yours hit the file size limit (16 MB): %s: '
                                              '[Errno 27] File too large' % (
                                                  'IOError' if sys.version_info[0] == 2
                                                  else 'OSError')),
])
def test_a_limit_hit_in_a_function_is_named_against_it(hostile, name, function, where, words):
    """Reported in the function's entry, with the line of the file's own
    function that was running."""
    report = hostile['reports'][name]
    texts = [d['text'] for entry in report['functions'][function].values()
             for d in entry.get('differences', [])]
    assert any(text.startswith(words) and 'in %s)' % where in text for text in texts), texts
