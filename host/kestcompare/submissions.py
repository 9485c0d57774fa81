"""Finding the submissions of a class, and saying what is not taken.

IMPL may be a folder or a .zip of one. Course platforms hand out
submissions in two layouts, and both are understood:

- flat: one file per learner, with the learner in its name
  (lastname_firstname_12345_Movra.py): each .py file lying in the top folder
  that defines any of the module's functions is one learner, named after the
  file (without a trailing "Movra");
- one folder per learner, holding the learner's file under any name: each
  folder below the top that holds exactly one such file is one learner,
  named after the folder (group/kim for a nested one). A folder with two or
  more such files takes the one named Movra.py, if there is exactly one;
  otherwise none of them.

A top folder that holds nothing but one folder (a zip of a folder) is
looked into. Every .py file that is not taken is listed with the reason:
two candidates in one folder, defines none of the functions, unreadable,
not a regular file, too large; a folder that is not looked into (hidden,
below a learner's folder, a symbolic link) is listed with the number of .py
files in it. Nothing is skipped silently.
"""
from __future__ import absolute_import, division, print_function

import os
import re
import shutil
import stat
import tempfile
import zipfile

from kestcompare import cases

MAX_BYTES = 2 * 1024 * 1024            # a learner's file is far smaller
MAX_ZIP_BYTES = 256 * 1024 * 1024      # all .py files of a zip together
SYSTEM_FOLDERS = ('__pycache__', '__MACOSX')
_NAMES = '|'.join(cases.FUNCTIONS)
DEFINES = re.compile(r'^[ \t]*def[ \t]+(?:%s)[ \t]*\(|^(?:%s)[ \t]*=' % (_NAMES, _NAMES),
                     re.M)
# A trailing "Movra" of a flat file's name, with what platforms add to it:
# "kim_Movra", "kim-movra-1" (a second upload), "kim Movra (2)".
MODULE_SUFFIX = re.compile(r'(?:^|[\s_.-]+)movra(?:\s*\(\d+\)|[-_]\d+)?$', re.I)
MODULE_FILE = re.compile(r'^movra\.py$', re.I)


class SubmissionError(Exception):
    """IMPL cannot be read at all (a broken zip, a missing folder)."""


def examine(path):
    """None when the file is a candidate (it defines any of the module's
    functions), else why it is not."""
    try:
        if os.path.islink(path) and not os.path.exists(path):
            return 'unreadable: a symbolic link to nothing'
        info = os.stat(path)
    except OSError as error:
        return 'unreadable: %s' % (error.strerror or error)
    if not stat.S_ISREG(info.st_mode):
        return 'not a regular file'
    if info.st_size > MAX_BYTES:
        return 'larger than %d MB' % (MAX_BYTES // (1024 * 1024))
    try:
        with open(path, 'rb') as stream:
            data = stream.read(MAX_BYTES + 1)
    except (IOError, OSError) as error:
        return 'unreadable: %s' % (error.strerror or error)
    if not DEFINES.search(data.decode('latin-1')):
        return 'defines none of the module\'s functions'
    return None


def learner_name(file_name, fallback):
    """A flat file's learner: its name without ".py" and a trailing Movra."""
    stem = file_name[:-3] if file_name.endswith('.py') else file_name
    name = MODULE_SUFFIX.sub('', stem).strip(' _-.')
    return name or fallback


def _python_files_below(folder, limit=100000):
    count = 0
    for _root, _dirs, files in os.walk(folder):
        count += len([f for f in files if f.endswith('.py')])
        if count >= limit:
            break
    return count


class Finder(object):
    """Walks one folder; see the module's docstring for the rules."""

    def __init__(self, root, exclude=()):
        self.root = root
        self.exclude = set(os.path.realpath(p) for p in exclude if p)
        self.learners = []
        self.skipped = []
        self.names = set()

    def relative(self, path):
        return os.path.relpath(path, self.root).replace(os.sep, '/')

    def skip(self, path, reason, files=1, folder=False):
        shown = self.relative(path) + ('/' if folder else '')
        self.skipped.append({'path': shown, 'reason': reason, 'files': files})

    def skip_folder(self, path, reason):
        files = _python_files_below(path)
        if files:
            self.skip(path, '%s, not looked into (%s)' % (reason, _files(files)), files, True)

    def take(self, path, name):
        unique, number = name, 2
        while unique in self.names:
            unique = '%s (%d)' % (name, number)
            number += 1
        self.names.add(unique)
        self.learners.append({'learner': unique, 'file': os.path.abspath(path),
                              'shown': self.relative(path)})

    def listing(self, folder):
        try:
            names = sorted(os.listdir(folder))
        except OSError as error:
            self.skip(folder, 'unreadable folder: %s' % (error.strerror or error), 0, True)
            return [], []
        files, folders = [], []
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isdir(path) and not os.path.islink(path):
                folders.append(name)
            elif name.endswith('.py'):
                files.append(name)
            elif os.path.islink(path) and os.path.isdir(path):
                folders.append(name)
        return files, folders

    def top(self):
        """The folder the learners are in: IMPL, or the one folder it holds
        (repeatedly, for a zip of a folder of a folder)."""
        folder = self.root
        while True:
            files, folders = self.listing(folder)
            visible = [f for f in folders if not _hidden(f)]
            if files or len(visible) != 1:
                return folder
            folder = os.path.join(folder, visible[0])

    def run(self, fallback_name):
        top = self.top()
        files, folders = self.listing(top)
        candidates = []
        for name in files:
            path = os.path.join(top, name)
            why = examine(path)
            if why is None:
                candidates.append(name)
            else:
                self.skip(path, why)
        for name in candidates:
            self.take(os.path.join(top, name), learner_name(
                name, os.path.basename(top.rstrip(os.sep)) if top != self.root else fallback_name))
        for name in folders:
            self.visit(os.path.join(top, name), top)
        return self

    def visit(self, folder, top):
        name = os.path.basename(folder)
        if os.path.realpath(folder) in self.exclude:
            return
        if os.path.islink(folder):
            self.skip_folder(folder, 'a symbolic link to a folder')
            return
        if _hidden(name):
            self.skip_folder(folder, 'a hidden or system folder')
            return
        files, folders = self.listing(folder)
        candidates, others = [], []
        for file_name in files:
            path = os.path.join(folder, file_name)
            why = examine(path)
            if why is None:
                candidates.append(file_name)
            else:
                others.append((path, why))
        for path, why in others:
            self.skip(path, why)
        taken = None
        if len(candidates) == 1:
            taken = candidates[0]
        elif len(candidates) > 1:
            named = [c for c in candidates if MODULE_FILE.match(c)]
            if len(named) == 1:
                taken = named[0]
                for other in candidates:
                    if other != taken:
                        self.skip(os.path.join(folder, other),
                                  'two candidates in one folder: %s is taken' % taken)
            else:
                for other in candidates:
                    self.skip(os.path.join(folder, other),
                              'two candidates in one folder (%s): none is taken, keep one'
                              % ', '.join(candidates))
        if taken is not None:
            learner = os.path.relpath(folder, top).replace(os.sep, '/')
            self.take(os.path.join(folder, taken), learner)
            for sub in folders:
                self.skip_folder(os.path.join(folder, sub),
                                 'below the folder of learner %s' % learner)
            return
        for sub in folders:
            self.visit(os.path.join(folder, sub), top)


def _hidden(name):
    return name.startswith('.') or name in SYSTEM_FOLDERS


def _files(count):
    return '%d .py file%s' % (count, '' if count == 1 else 's')


# ------------------------------------------------------------------ zips ---

def _member_parts(name):
    """The path of a zip member as safe parts, or None when it would leave
    the folder it is extracted into."""
    name = name.replace('\\', '/')
    parts = [p for p in name.split('/') if p not in ('', '.')]
    if name.startswith('/') or '..' in parts or (parts and re.match(r'^[A-Za-z]:$', parts[0])):
        return None
    return parts


def extract_zip(path, folder):
    """Writes the .py files of the zip below folder; the members not taken
    as [(path in the zip, reason)]."""
    skipped = []
    try:
        archive = zipfile.ZipFile(path)
    except (zipfile.BadZipfile, zipfile.LargeZipFile, IOError, OSError) as error:
        raise SubmissionError('%s is not a zip file that can be read: %s' % (path, error))
    total = 0
    with archive:
        for info in archive.infolist():
            name = info.filename
            if name.endswith('/'):
                continue
            if name.lower().endswith('.zip'):
                skipped.append((name, 'a zip inside the zip, not looked into (unpack it first)'))
                continue
            if not name.endswith('.py'):
                continue
            parts = _member_parts(name)
            if not parts:
                skipped.append((name, 'its path leaves the zip\'s folder'))
                continue
            if stat.S_ISLNK(info.external_attr >> 16):
                skipped.append((name, 'a symbolic link'))
                continue
            if info.file_size > MAX_BYTES:
                skipped.append((name, 'larger than %d MB' % (MAX_BYTES // (1024 * 1024))))
                continue
            try:
                member = archive.open(info)
                try:
                    data = member.read(MAX_BYTES + 1)
                finally:
                    member.close()
            except Exception as error:     # encrypted, a bad CRC, a broken stream
                skipped.append((name, 'unreadable in the zip: %s' % (error,)))
                continue
            if len(data) > MAX_BYTES:
                skipped.append((name, 'larger than %d MB' % (MAX_BYTES // (1024 * 1024))))
                continue
            total += len(data)
            if total > MAX_ZIP_BYTES:
                raise SubmissionError('%s holds more than %d MB of .py files'
                                      % (path, MAX_ZIP_BYTES // (1024 * 1024)))
            target = os.path.join(folder, *parts)
            if os.path.isdir(target):
                skipped.append((name, 'a folder of the same name is in the zip'))
                continue
            if not os.path.isdir(os.path.dirname(target)):
                os.makedirs(os.path.dirname(target))
            with open(target, 'wb') as stream:
                stream.write(data)
    return skipped


def find(impl, exclude=()):
    """The learners of a folder or zip: {"learners": [{"learner", "file",
    "shown"}], "skipped": [{"path", "reason", "files"}], "scratch": a
    folder to remove afterwards or None}."""
    scratch = None
    zip_skipped = []
    root = impl
    fallback = os.path.basename(os.path.abspath(impl).rstrip(os.sep))
    if os.path.isfile(impl) and impl.lower().endswith('.zip'):
        scratch = tempfile.mkdtemp(prefix='kestcompare-zip-')
        root = os.path.join(scratch, 'zip')
        os.makedirs(root)
        fallback = fallback[:-4]
        try:
            zip_skipped = extract_zip(impl, root)
        except BaseException:
            shutil.rmtree(scratch, ignore_errors=True)
            raise
    elif not os.path.isdir(impl):
        raise SubmissionError('no such file or folder: %s' % impl)
    finder = Finder(root, exclude).run(fallback)
    skipped = [{'path': name, 'reason': why, 'files': 1} for name, why in zip_skipped]
    return {'learners': finder.learners, 'skipped': skipped + finder.skipped,
            'scratch': scratch}
