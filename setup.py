# -*- coding: utf-8 -*-
"""Build and install the Movra extension module (Python 2.7, C++17).

Every src/**/*.cpp is compiled into the single extension module "Movra".
Compilation is incremental and parallel: an object is rebuilt only when its
source, one of the headers it includes, or the compile command changed; the
module is relinked only when an object or the link command changed.

The Python listing src/Movra.py is installed beside the extension as a plain
file (never byte-compiled).  Python 2.7 looks for extension suffixes before
.py in each directory, so "import Movra" always loads the extension.

Usual entry points (see the Makefile):
    python setup.py build_ext
    python setup.py install --single-version-externally-managed --record FILE
Environment:
    MOVRA_BUILD_JOBS   parallel compile jobs (default: number of CPUs)
    CXX                C++ compiler driver used to compile and link
"""
from __future__ import print_function

import errno
import os
import shutil
import subprocess
import sys
import threading
from multiprocessing import cpu_count
from multiprocessing.pool import ThreadPool

from distutils import log, sysconfig
from distutils.dep_util import newer
from distutils.errors import CompileError, DistutilsError
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext as _build_ext
from setuptools.command.install_lib import install_lib as _install_lib

HERE = os.path.dirname(os.path.abspath(__file__))
os.chdir(HERE)

SRC_DIR = 'src'
LISTING = os.path.join(SRC_DIR, 'Movra.py')

# -Wno-register: the Python 2.7 headers declare parameters "register", which
#   C++17 removed.
# -Wno-missing-field-initializers: PyTypeObject / PyMethodDef / PyMemberDef
#   tables are normally written with trailing fields left out.
# -Wno-cast-function-type: METH_VARARGS|METH_KEYWORDS functions take three
#   arguments and must be cast to PyCFunction for the method tables.
# -fvisibility=hidden: the module exports its init function alone, so calls
#   between its own files are direct, not through the procedure linkage table.
CXX_FLAGS = [
    '-std=c++17',
    '-Wno-register',
    '-O2',
    '-fvisibility=hidden',
    '-Wall',
    '-Wextra',
    '-Wno-missing-field-initializers',
    '-Wno-cast-function-type',
]

# Flags that Python's own build put in CFLAGS and that are meaningless (and
# warned about) for C++.
C_ONLY_FLAGS = ('-Wstrict-prototypes', '-Wimplicit-function-declaration',
                '-Wdeclaration-after-statement')


def link_flags():
    # With a shared libpython the module is linked against it, so every
    # symbol must resolve at link time: a declared-but-undefined function
    # fails "make build" instead of "import Movra".
    if sysconfig.get_config_var('Py_ENABLE_SHARED'):
        return ['-Wl,--no-undefined']
    return []


def find_files(top, suffix):
    """All files under top ending in suffix, recursively, sorted by path."""
    found = []
    for root, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if not d.startswith('.')]
        for name in files:
            if name.endswith(suffix) and not name.startswith('.'):
                found.append(os.path.join(root, name))
    return sorted(found)


def numpy_include_dirs():
    try:
        import numpy
    except ImportError:
        return []
    return [numpy.get_include()]


def read_text(path):
    try:
        with open(path) as handle:
            return handle.read()
    except IOError as exc:
        if exc.errno == errno.ENOENT:
            return None
        raise


def write_text(path, text):
    with open(path, 'w') as handle:
        handle.write(text)


def make_deps(path):
    """Prerequisites listed in a gcc -MMD dependency file, or None."""
    text = read_text(path)
    if text is None:
        return None
    text = text.replace('\\\n', ' ')
    deps = []
    for line in text.splitlines():
        if ':' not in line:
            continue
        # The first rule is "object: source headers..."; -MP adds empty
        # rules "header:" that contribute nothing.
        _, rest = line.split(':', 1)
        deps.extend(rest.split())
        break
    return deps


_say_lock = threading.Lock()


def say(line):
    """Print one whole line, also from compile threads."""
    with _say_lock:
        sys.stdout.write(line + '\n')
        sys.stdout.flush()


def mtime(path):
    try:
        return os.stat(path).st_mtime
    except OSError:
        return None


class BuildExt(_build_ext):
    """Incremental, parallel C++ build driven by g++."""

    def build_extensions(self):
        self._use_cxx_driver()
        _build_ext.build_extensions(self)

    def _use_cxx_driver(self):
        cc = self.compiler
        if cc.compiler_type != 'unix':
            raise DistutilsError('Movra builds with a unix g++ toolchain only '
                                 '(compiler type %r)' % cc.compiler_type)
        # compiler_cxx is sysconfig's CXX, or $CXX when set (split into
        # words, so "ccache g++" works).
        cxx = list(cc.compiler_cxx or ['g++'])

        def cxx_command(cmd):
            cmd = [arg for arg in cmd if arg not in C_ONLY_FLAGS]
            return cxx + cmd[1:]

        # Python 2.7's distutils compiles every source with CC (gcc) and C
        # flags, and links with "gcc -shared", which does not pull in the
        # C++ runtime: compile and link with the C++ driver instead.
        cc.set_executables(compiler_so=cxx_command(cc.compiler_so),
                           linker_so=cxx_command(cc.linker_so))

    def build_extension(self, ext):
        if not ext.sources:
            raise DistutilsError('no C++ sources (*.cpp) found under %s/' %
                                 SRC_DIR)
        ext_path = self.get_ext_fullpath(ext.name)
        self.mkpath(os.path.dirname(ext_path))
        objects = self._compile_all(ext)
        self._link(ext, objects, ext_path)

    # -- compilation -------------------------------------------------------

    def _compile_command(self, ext):
        cmd = list(self.compiler.compiler_so)
        for name, value in ext.define_macros:
            cmd.append('-D%s' % name if value is None else
                       '-D%s=%s' % (name, value))
        for name in ext.undef_macros:
            cmd.append('-U%s' % name)
        for inc in ext.include_dirs + self.compiler.include_dirs:
            cmd.append('-I%s' % inc)
        return cmd

    def _compile_all(self, ext):
        base_cmd = self._compile_command(ext)
        extra = list(ext.extra_compile_args or [])
        objects = self.compiler.object_filenames(ext.sources,
                                                 output_dir=self.build_temp)
        signature_file = os.path.join(self.build_temp, 'movra-compile.cmd')
        signature = '\n'.join(base_cmd + ['--'] + extra) + '\n'
        self.mkpath(self.build_temp)
        same_command = (not self.force and
                        read_text(signature_file) == signature)

        stale = []
        for src, obj in zip(ext.sources, objects):
            if not same_command or self._is_stale(src, obj):
                stale.append((src, obj))
        if not stale:
            log.info('Movra: all %d objects up to date', len(objects))
            return objects

        for _, obj in stale:
            self.mkpath(os.path.dirname(obj))
        # The signature is written only once everything compiled, so an
        # interrupted build redoes the whole set with the new command.
        if not same_command and os.path.exists(signature_file):
            os.remove(signature_file)

        def compile_one(pair):
            src, obj = pair
            dep = os.path.splitext(obj)[0] + '.d'
            cmd = base_cmd + ['-c', src, '-o', obj] + extra + [
                '-MMD', '-MP', '-MF', dep]
            say('  CXX   %s' % src)
            if self.verbose > 1:
                say(' '.join(cmd))
            status = subprocess.call(cmd)
            if status != 0:
                for path in (obj, dep):
                    if os.path.exists(path):
                        os.remove(path)
            return src, status

        jobs = self._jobs()
        if jobs > 1 and len(stale) > 1:
            pool = ThreadPool(min(jobs, len(stale)))
            try:
                results = pool.map(compile_one, stale)
            finally:
                pool.close()
                pool.join()
        else:
            results = [compile_one(pair) for pair in stale]
        failed = [src for src, status in results if status != 0]
        if failed:
            raise CompileError('C++ compilation failed for: %s' %
                               ', '.join(failed))
        write_text(signature_file, signature)
        return objects

    @staticmethod
    def _jobs():
        value = os.environ.get('MOVRA_BUILD_JOBS')
        if value:
            return max(1, int(value))
        try:
            return cpu_count()
        except NotImplementedError:
            return 1

    @staticmethod
    def _is_stale(src, obj):
        built = mtime(obj)
        if built is None:
            return True
        deps = make_deps(os.path.splitext(obj)[0] + '.d')
        if not deps:
            return True
        if src not in deps:
            deps.append(src)
        for dep in deps:
            changed = mtime(dep)
            if changed is None or changed > built:
                return True
        return False

    # -- linking -----------------------------------------------------------

    def _link(self, ext, objects, ext_path):
        signature_file = os.path.join(self.build_temp, 'movra-link.cmd')
        signature = '\n'.join(
            list(self.compiler.linker_so) + objects +
            ['--'] + list(ext.extra_link_args or []) +
            ['--'] + list(self.get_libraries(ext)) + list(ext.library_dirs)
        ) + '\n'
        built = mtime(ext_path)
        needed = (self.force or built is None or
                  read_text(signature_file) != signature or
                  any(mtime(obj) > built for obj in objects))
        if not needed:
            log.info('Movra: %s up to date', ext_path)
            return
        say('  LINK  %s' % ext_path)
        if os.path.exists(signature_file):
            os.remove(signature_file)
        # Relinking is decided above; distutils' own timestamp check would
        # miss a removed source file.
        self.compiler.force = 1
        self.compiler.link_shared_object(
            objects, ext_path,
            libraries=self.get_libraries(ext),
            library_dirs=ext.library_dirs,
            runtime_library_dirs=ext.runtime_library_dirs,
            extra_postargs=ext.extra_link_args,
            export_symbols=self.get_export_symbols(ext),
            debug=self.debug,
            build_temp=self.build_temp,
            target_lang='c++')
        write_text(signature_file, signature)


class InstallLib(_install_lib):
    """Also install src/Movra.py beside the extension, as a plain file."""

    def run(self):
        _install_lib.run(self)
        self._install_listing()

    def install(self):
        """Copy the build tree into site-packages, replacing changed files
        by rename.  Overwriting a shared object in place would corrupt it
        under any process that has it loaded (a running host program)."""
        if not os.path.isdir(self.build_dir):
            self.warn("'%s' does not exist -- no Python modules to install" %
                      self.build_dir)
            return None
        outputs = []
        for root, _, files in os.walk(self.build_dir):
            for name in sorted(files):
                src = os.path.join(root, name)
                dst = os.path.join(self.install_dir,
                                   os.path.relpath(src, self.build_dir))
                outputs.append(dst)
                self._replace(src, dst)
        return outputs

    def _replace(self, src, dst):
        if not (self.force or newer(src, dst)):
            return
        log.info('installing %s -> %s', src, dst)
        if self.dry_run:
            return
        self.mkpath(os.path.dirname(dst))
        tmp = '%s.tmp%d' % (dst, os.getpid())
        shutil.copy2(src, tmp)
        os.rename(tmp, dst)

    def _listing_target(self):
        return os.path.join(self.install_dir, 'Movra.py')

    def _install_listing(self):
        target = self._listing_target()
        # A compiled copy of the listing has no use and must not linger.
        for stale in (target + 'c', target + 'o'):
            if os.path.exists(stale):
                log.info('removing %s', stale)
                if not self.dry_run:
                    os.remove(stale)
        if os.path.isfile(LISTING):
            self._replace(LISTING, target)
        else:
            log.warn('%s not found: no listing installed', LISTING)
            if os.path.exists(target) and not self.dry_run:
                os.remove(target)

    def byte_compile(self, files):
        # Nothing installed here is meant to be imported from source: the
        # listing must stay a plain file and never get a Movra.pyc.
        pass

    def get_outputs(self):
        outputs = _install_lib.get_outputs(self)
        if os.path.isfile(LISTING):
            outputs.append(self._listing_target())
        return outputs


# egg-info goes under build/ rather than the repository root.
if not os.path.isdir('build'):
    os.makedirs('build')

setup(
    name='Movra',
    version='0.1.0',
    description='OpenGL teaching scene drawn through PyOpenGL, native module',
    python_requires='>=2.7, <3',
    ext_modules=[
        Extension(
            'Movra',
            sources=find_files(SRC_DIR, '.cpp'),
            depends=find_files(SRC_DIR, '.hpp'),
            include_dirs=[SRC_DIR] + numpy_include_dirs(),
            extra_compile_args=CXX_FLAGS,
            extra_link_args=link_flags(),
            language='c++',
        ),
    ],
    cmdclass={'build_ext': BuildExt, 'install_lib': InstallLib},
    options={'egg_info': {'egg_base': 'build'}},
    zip_safe=False,
)
