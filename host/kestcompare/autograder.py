"""The course platform's autograder: a zip in Gradescope's layout, and the
run of one submission inside the platform's container.

    movra-compare --autograder-bundle DIR [--rubric FILE] [--autograder-unsandboxed]

writes DIR/movra-autograder.zip, which holds at its top

  setup.sh        run once, as root, to build the platform's image (Debian or
                  Ubuntu): Debian's packages (Python 3 with numpy, PyOpenGL
                  and Pillow, a C++ compiler, GL, GLU and freeglut, Xvfb,
                  bubblewrap), then Movra built and installed into the
                  environment /autograder/venv;
  run_autograder  run once per submission: compares the file the learner
                  submitted in /autograder/submission/ (Movra.py, or any one
                  .py file that defines the module's functions) with Movra,
                  in the sandbox, and writes /autograder/results/results.json;
  rubric.json     the rubric the scores come from;
  bundle.json     how the bundle was made (the rubric's title, whether it may
                  run without the sandbox);
  movra/          the sources: Movra, the host's parts and this tool.

results.json: "score" (the total), "execution_time" (seconds), "output"
(the whole text report), "visibility" and "stdout_visibility", and
"tests": one per item of the rubric, each with "name", "score",
"max_score", "status" ("passed" or "failed"), "output" (the report's lines
of that item, its hints and what it explains) and "visibility" "visible".

The platform runs each submission in a container of its own. The learner's
file still runs in the sandbox: bubblewrap needs user namespaces, which
some containers refuse. Then the submission is not run at all: its
results.json scores 0 and says why, unless the bundle was made with
--autograder-unsandboxed, in which case the file runs without the sandbox
(the platform's container is then the only wall around it) and every
test's output says "not sandboxed".
"""
from __future__ import absolute_import, division, print_function

import json
import os
import stat
import time
import zipfile

from kestcompare import reports, sandbox, scores, submissions

PACKAGE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.dirname(PACKAGE)
ROOT = os.path.dirname(HOST)
BUNDLE = 'movra-autograder.zip'
SUBMISSION = '/autograder/submission'
RESULTS = '/autograder/results/results.json'
SOURCE = '/autograder/source'
VENV = '/autograder/venv'

# The sources the image needs, from the checkout: what setup.py builds and
# installs, and the tool's own folder (run from the sources).
SOURCES = ['setup.py', 'pyproject.toml', 'src', 'host/KestDrawHelperFunctions.py',
           'host/KestCompare.py', 'host/kesthost', 'host/kestcompare', 'host/recordgl']
SKIPPED = ('__pycache__', '.pyc', '.so', '.o')

SETUP_SH = r'''#!/usr/bin/env bash
# Builds the autograder's image: run once, as root, on a Debian or Ubuntu
# image (the platform runs it from /autograder/source).
set -euo pipefail
SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VENV=%(venv)s
export DEBIAN_FRONTEND=noninteractive
started=$SECONDS
apt-get update -q
# GLUT's development package is libglut-dev on Debian 12 and later,
# freeglut3-dev on Ubuntu 22.04 and older Debian.
glut=libglut-dev
apt-cache show libglut-dev >/dev/null 2>&1 || glut=freeglut3-dev
apt-get install -y -q --no-install-recommends \
    python3 python3-venv python3-dev python3-setuptools python3-wheel python3-pip \
    python3-numpy python3-opengl python3-pil \
    g++ make libglu1-mesa-dev "$glut" libgl1-mesa-dri xvfb xauth bubblewrap util-linux
python3 -m venv --system-site-packages "$VENV"
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --no-index "$SOURCE/movra"
"$VENV/bin/python" -c "import Movra, numpy, OpenGL, PIL; print('setup: Movra', Movra.__file__)"
chmod +x "$SOURCE/run_autograder"
# Movra's side recorded once into the image, so that no submission waits
# for it (where the build cannot make the sandbox, the first one records it).
if "$VENV/bin/python" "$SOURCE/movra/host/KestCompare.py" "$SOURCE/movra/src/Movra.py" \
        --out /tmp/movra-warm-up >/dev/null 2>&1; then
    echo "setup: Movra's side recorded"
else
    echo "setup: Movra's side not recorded now; the first submission records it"
fi
rm -rf /tmp/movra-warm-up
echo "setup: done in $((SECONDS - started)) s"
'''

RUN_AUTOGRADER = r'''#!/usr/bin/env bash
# One submission: /autograder/submission/ in, /autograder/results/results.json out.
SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exec %(venv)s/bin/python "$SOURCE/movra/host/KestCompare.py" --autograder-run "$SOURCE"
'''


class BundleError(RuntimeError):
    """The bundle cannot be written."""


def source_files(root=ROOT):
    """(path on this machine, path in the zip) of every file the image needs."""
    found = []
    for entry in SOURCES:
        path = os.path.join(root, entry)
        if os.path.isfile(path):
            found.append((path, 'movra/' + entry))
            continue
        if not os.path.isdir(path):
            raise BundleError('the sources are not complete here: %s is missing' % path)
        for folder, dirs, files in os.walk(path):
            dirs[:] = sorted(d for d in dirs if not d.startswith('.') and d not in SKIPPED)
            for name in sorted(files):
                if name.startswith('.') or name.endswith(SKIPPED):
                    continue
                full = os.path.join(folder, name)
                found.append((full, 'movra/' + os.path.relpath(full, root).replace(os.sep, '/')))
    return found


def _add(archive, name, data, executable=False):
    info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = ((0o755 if executable else 0o644) | stat.S_IFREG) << 16
    archive.writestr(info, data)


def write_bundle(folder, rubric=None, unsandboxed=False):
    """DIR/movra-autograder.zip; its path."""
    rubric = rubric or scores.DEFAULT
    try:
        if not os.path.isdir(folder):
            os.makedirs(folder)
        path = os.path.join(folder, BUNDLE)
        with zipfile.ZipFile(path + '.partial', 'w') as archive:
            _add(archive, 'setup.sh', SETUP_SH % {'venv': VENV}, executable=True)
            _add(archive, 'run_autograder', RUN_AUTOGRADER % {'venv': VENV}, executable=True)
            _add(archive, 'rubric.json', json.dumps(rubric.to_file(), indent=1, sort_keys=True))
            _add(archive, 'bundle.json', json.dumps({'rubric': rubric.title,
                                                     'unsandboxed': bool(unsandboxed)},
                                                    indent=1, sort_keys=True))
            for source, name in source_files():
                with open(source, 'rb') as stream:
                    _add(archive, name, stream.read(), executable=os.access(source, os.X_OK))
        os.rename(path + '.partial', path)
    except (IOError, OSError) as error:
        raise BundleError('cannot write the bundle into %s: %s' % (folder, error))
    return path


# ------------------------------------------------------------ one submission ---

def find_submission(folder=SUBMISSION):
    """The file to grade: Movra.py (any case) anywhere in the folder, else
    the one .py file that defines any of the module's functions; (path,
    None) or (None, why not)."""
    candidates = []
    for top, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith('.') and d != '__MACOSX')
        for name in sorted(files):
            path = os.path.join(top, name)
            if name.endswith('.py') and submissions.examine(path) is None:
                candidates.append(path)
    named = [p for p in candidates if submissions.MODULE_FILE.match(os.path.basename(p))]
    if len(named) == 1:
        return named[0], None
    if len(candidates) == 1:
        return candidates[0], None
    if not candidates:
        return None, ('no .py file that defines any of the module\'s functions was submitted; '
                      'submit your Movra.py')
    return None, ('%d .py files define the module\'s functions (%s) and none or several is '
                  'named Movra.py: submit one' % (len(candidates), ', '.join(
                      os.path.relpath(p, folder) for p in candidates[:5])))


def refusal(why, seconds):
    """results.json of a submission that was not graded."""
    return {'score': 0, 'execution_time': round(seconds, 1), 'visibility': 'visible',
            'stdout_visibility': 'visible', 'output': why,
            'tests': [{'name': 'grading', 'score': 0, 'max_score': 0, 'status': 'failed',
                       'output': why, 'visibility': 'visible'}]}


write_json = reports.write_json


def run(source, submission=SUBMISSION, results=RESULTS):
    """Grades one submission as run_autograder does; the exit status (0
    whenever results.json was written)."""
    from kestcompare.compare import CompareError, Comparison
    from kestcompare.settings import Settings
    started = time.time()
    with open(os.path.join(source, 'bundle.json')) as stream:
        bundle = json.load(stream)
    rubric = scores.read_rubric(os.path.join(source, 'rubric.json'))
    path, why = find_submission(submission)
    if path is None:
        write_json(results, refusal(why, time.time() - started))
        return 0
    boxed = True
    problem = sandbox.problem()
    if problem is not None:
        if not bundle.get('unsandboxed'):
            write_json(results, refusal(
                'Your file was not run: this autograder runs every file in a sandbox, which '
                'this container cannot make (%s). Tell your teacher: the platform\'s container '
                'must allow user namespaces, or the bundle must be made with '
                '--autograder-unsandboxed.' % problem, time.time() - started))
            return 0
        boxed = False
    out = os.path.join(os.path.dirname(results), 'compare')
    settings = Settings(path, out=out, rubric=rubric, results_json=results, sandbox=boxed,
                        shown_as=os.path.relpath(path, submission), echo=True, jobs=1)
    try:
        Comparison(settings).run()
    except CompareError as error:
        write_json(results, refusal('The autograder itself failed: %s' % error,
                                    time.time() - started))
    return 0


