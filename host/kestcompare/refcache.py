"""Movra's replies kept between runs: a learner who compares one file again
and again waits for the learner's side alone.

Movra's side of a comparison (the replies to every request, the probes of
the hints and the frames of the pictures: classrun.record_reference) is the
same for every file as long as the compiled module, the interpreter that
loads it, the tool's own files and the settings that reach Movra's workers
(the time limit, the pictures and their size) are the same. It is recorded
once into the cache folder (KESTCOMPARE_CACHE, else $XDG_CACHE_HOME or
~/.cache, then kestcompare/), a file named after a digest of all of those,
and read by the next comparison with the same digest. A learner's code
never reaches the cache: the boxes show no home folder. Without the sandbox
(--no-sandbox) a learner's code runs as the teacher and could write there,
so the cache is neither read nor written then. Each reply read back is
checked field by field like a worker's (kestcompare.protocol).
"""
from __future__ import absolute_import, division, print_function

import glob
import hashlib
import json
import os
import tempfile

PACKAGE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.dirname(PACKAGE)
KEEP = 8                      # cache files kept; the oldest go first
FORMAT = 1


def folder():
    base = os.environ.get('KESTCOMPARE_CACHE')
    if base:
        return base
    cache = os.environ.get('XDG_CACHE_HOME') or os.path.join(os.path.expanduser('~'), '.cache')
    return os.path.join(cache, 'kestcompare')


def shader_folder():
    """The folder of software GL's compiled shaders that render workers
    share (see sandbox.Box); made when missing, None when it cannot be."""
    path = os.path.join(folder(), 'shaders')
    try:
        if not os.path.isdir(folder()):
            os.makedirs(folder(), 0o700)
        if not os.path.isdir(path):
            os.makedirs(path)
        os.chmod(path, 0o755)
    except OSError:
        return None
    return path


def _digest_files(digest, paths):
    for path in sorted(paths):
        try:
            with open(path, 'rb') as stream:
                data = stream.read()
        except (IOError, OSError):
            continue
        digest.update(path.encode('utf-8', 'replace') + b'\0')
        digest.update(hashlib.sha256(data).digest())


def tool_files():
    """The tool's own files that decide what Movra's workers are asked and
    how they answer."""
    found = glob.glob(os.path.join(HOST, 'KestDrawHelperFunctions.py'))
    for part in (PACKAGE, os.path.join(HOST, 'recordgl'), os.path.join(HOST, 'kesthost')):
        for folder, dirs, files in os.walk(part):
            dirs[:] = [d for d in dirs if d != '__pycache__']
            found += [os.path.join(folder, name) for name in files if name.endswith('.py')]
    return found


def compiled_module_files(interpreter):
    """The compiled Movra that the interpreter's site folders hold."""
    found = []
    for site in interpreter.site:
        outside = interpreter.outside(site)
        for pattern in ('Movra*.so', 'Movra*.pyd'):
            found += glob.glob(os.path.join(outside, pattern))
    return found


def key(settings, interpreter):
    """The digest of everything Movra's replies depend on, or None when the
    compiled module cannot be found (then nothing is cached)."""
    modules = compiled_module_files(interpreter)
    if not modules:
        return None
    digest = hashlib.sha256()
    digest.update(json.dumps({
        'format': FORMAT, 'executable': interpreter.executable,
        'version': interpreter.version, 'root': interpreter.system_root,
        'limit': settings.time_limit, 'pictures': settings.pictures,
        'size': settings.picture_size}, sort_keys=True).encode('utf-8'))
    _digest_files(digest, modules)
    _digest_files(digest, tool_files())
    return digest.hexdigest()[:32]


def read(name):
    path = os.path.join(folder(), name + '.json')
    try:
        with open(path, 'rb') as stream:
            data = json.loads(stream.read().decode('utf-8'))
    except (IOError, OSError, ValueError, UnicodeDecodeError):
        return None
    if not isinstance(data, dict) or data.get('format') != FORMAT or \
            not isinstance(data.get('replies'), dict):
        return None
    try:
        os.utime(path, None)
    except OSError:
        pass
    return data['replies']


def write(name, replies):
    """Writes the replies atomically (a reader sees the old file or the new
    one), in a folder only this user can read, then keeps the KEEP newest."""
    base = folder()
    try:
        if not os.path.isdir(base):
            os.makedirs(base, 0o700)
        fd, staged = tempfile.mkstemp(prefix='.writing-', dir=base)
        with os.fdopen(fd, 'wb') as stream:
            stream.write(json.dumps({'format': FORMAT, 'replies': replies}).encode('utf-8'))
        os.rename(staged, os.path.join(base, name + '.json'))
        kept = sorted(glob.glob(os.path.join(base, '*.json')), key=os.path.getmtime,
                      reverse=True)
        for old in kept[KEEP:]:
            os.remove(old)
    except (IOError, OSError):
        pass        # no cache: the next run records again


def recorded_replies(settings, interpreter, record):
    """Movra's replies for this comparison: from the cache, else recorded
    now by record() and kept; None when they are not to be cached."""
    if not settings.sandbox or settings.reference or not settings.cache:
        return None
    name = key(settings, interpreter)
    if name is None:
        return None
    replies = read(name)
    if replies is None:
        replies = record()
        write(name, replies)
    return replies
