# -*- coding: utf-8 -*-
"""Build and install the Movra extension module (C++17), for Python 2.7 and
for Python 3.8 to 3.15 from the same sources.

Every src/**/*.cpp is compiled into the one extension module "Movra" by
setuptools' own build_ext, with every src/**/*.hpp as a dependency, so that
a changed header rebuilds the module.  Under Python 3 the sources compile in
parallel.  Installed beside the extension:
  * src/Movra.py, the module's Python listing, which tracebacks show; the
    interpreter looks for extension suffixes before .py in each folder, so
    "import Movra" always loads the extension;
  * host/KestDrawHelperFunctions.py, the drawing helpers that the module
    imports;
  * the packages of the two commands: host/kesthost, the host (a window,
    the headless route through a private Xvfb, the frame files, the
    freeglut loader), also for a host of one's own; host/kestcompare, the
    compare tool; and host/recordgl, the recording GL and drawing helpers
    that the compare tool runs both sides on;
  * the console commands `movra` (kesthost.cli:main) and, under Python 3,
    `movra-compare` (kestcompare.cli:main), also as `python -m kesthost`
    and `python -m kestcompare`.

    pip install .                      (any supported Python)
    python setup.py build_ext          (build only)
Environment: MOVRA_BUILD_JOBS, the number of parallel compile jobs under
Python 3 (default: the number of CPUs).
"""
from __future__ import print_function

import os
import sys
from multiprocessing import cpu_count

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext as _build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
os.chdir(HERE)

SRC_DIR = 'src'
# Plain-Python files installed beside the extension, by their source path.
BESIDE = [os.path.join(SRC_DIR, 'Movra.py'), os.path.join('host', 'KestDrawHelperFunctions.py')]
PY2 = sys.version_info[0] == 2

# -Wno-missing-field-initializers: PyTypeObject / PyMethodDef / PyMemberDef
#   tables are normally written with trailing fields left out.
# -Wno-cast-function-type: METH_VARARGS|METH_KEYWORDS functions take three
#   arguments and must be cast to PyCFunction for the method tables.
# -fvisibility=hidden: the module exports its init function alone, so calls
#   between its own files are direct, not through the procedure linkage table.
CXX_FLAGS = [
    '-std=c++17',
    '-O2',
    '-fvisibility=hidden',
    '-Wall',
    '-Wextra',
    '-Wno-missing-field-initializers',
    '-Wno-cast-function-type',
]
if PY2:
    # The Python 2.7 headers declare parameters "register", which C++17 removed.
    CXX_FLAGS.append('-Wno-register')

# Flags that Python's own build put in CFLAGS and that are meaningless (and
# warned about) for C++.
C_ONLY_FLAGS = ('-Wstrict-prototypes', '-Wimplicit-function-declaration',
                '-Wdeclaration-after-statement')


def find_files(top, suffix):
    """All files under top ending in suffix, recursively, sorted by path."""
    found = []
    for root, dirs, files in os.walk(top):
        dirs[:] = sorted(d for d in dirs if not d.startswith('.'))
        for name in files:
            if name.endswith(suffix) and not name.startswith('.'):
                found.append(os.path.join(root, name))
    return sorted(found)


def host_packages():
    """The packages installed from host/, each with its folder: kesthost and
    kestcompare with every subpackage (a folder holding __init__.py), and
    recordgl with every folder below it.  recordgl is a folder that the
    compare tool puts first on a worker's path, not a package that anything
    imports: it is installed as one so that its files, its stand-in OpenGL
    package among them, land in site-packages/recordgl/ beside kestcompare,
    where the tool looks for them."""
    found = {}
    for top, every_folder in (('kesthost', False), ('kestcompare', False), ('recordgl', True)):
        base = os.path.join('host', top)
        for root, dirs, files in os.walk(base):
            dirs[:] = sorted(d for d in dirs if not d.startswith(('.', '__')))
            if every_folder or '__init__.py' in files:
                relative = os.path.relpath(root, 'host')
                found[relative.replace(os.sep, '.')] = root
    return found


PACKAGES = host_packages()
# The commands; the compare tool runs on Python 3 only (a learner's Python 2
# file it loads with --python 2.7).
COMMANDS = ['movra = kesthost.cli:main']
if not PY2:
    COMMANDS.append('movra-compare = kestcompare.cli:main')


def link_flags():
    # Python 2.7 with a shared libpython links the module against it, so every
    # symbol must resolve at link time: a declared-but-undefined function
    # fails the build instead of "import Movra". Python 3.8 and later link
    # extensions without libpython, whose symbols then resolve at import.
    import sysconfig
    if PY2 and sysconfig.get_config_var('Py_ENABLE_SHARED'):
        return ['-Wl,--no-undefined']
    return []


def build_jobs():
    value = os.environ.get('MOVRA_BUILD_JOBS')
    if value:
        return max(1, int(value))
    try:
        return cpu_count()
    except NotImplementedError:
        return 1


class BuildExt(_build_ext):
    """setuptools' build_ext, with the C-only flags of Python's own build
    taken off the compile command (the sources are C++), and the files of
    BESIDE put next to the built extension."""

    def build_extensions(self):
        compile_command = [arg for arg in self.compiler.compiler_so if arg not in C_ONLY_FLAGS]
        self.compiler.set_executables(compiler_so=compile_command)
        _build_ext.build_extensions(self)

    def run(self):
        _build_ext.run(self)
        target_dir = os.path.dirname(self.get_ext_fullpath('Movra'))
        for source in BESIDE:
            self.copy_file(source, os.path.join(target_dir, os.path.basename(source)),
                           preserve_mode=False)

    def get_outputs(self):
        target_dir = os.path.dirname(self.get_ext_fullpath('Movra'))
        return _build_ext.get_outputs(self) + [
            os.path.join(target_dir, os.path.basename(source)) for source in BESIDE]


# Each interpreter builds in folders of its own under build/: setuptools
# names its lib.* and temp.* folders after the interpreter, and here the
# egg-info and the wheel's staging folder are named so too (they would be
# shared otherwise), so that two Pythons' builds can run at once.
BUILD_TAG = 'py%d.%d%s' % (sys.version_info[0], sys.version_info[1],
                           'd' if hasattr(sys, 'gettotalrefcount') else '')
EGG_BASE = os.path.join('build', 'egg-' + BUILD_TAG)
if not os.path.isdir(EGG_BASE):
    os.makedirs(EGG_BASE)
OPTIONS = {'egg_info': {'egg_base': EGG_BASE},
           'bdist_wheel': {'bdist_dir': os.path.join('build', 'bdist-' + BUILD_TAG)}}
if not PY2:
    OPTIONS['build_ext'] = {'parallel': build_jobs()}

setup(
    name='Movra',
    version='0.2.0',
    description='OpenGL teaching scene drawn through PyOpenGL, native module',
    python_requires='>=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, '
                    '!=3.6.*, !=3.7.*, <3.16',
    install_requires=[
        'numpy>=1.16.6,<1.17; python_version < "3"',
        'numpy>=1.24; python_version >= "3"',
        'PyOpenGL>=3.1.5,<3.1.6; python_version < "3"',
        'PyOpenGL>=3.1.5; python_version >= "3"',
        'Pillow>=6.2,<7; python_version < "3"',
        'Pillow>=9; python_version >= "3"',
    ],
    packages=sorted(PACKAGES),
    package_dir=PACKAGES,
    entry_points={'console_scripts': COMMANDS},
    ext_modules=[
        Extension(
            'Movra',
            sources=find_files(SRC_DIR, '.cpp'),
            depends=find_files(SRC_DIR, '.hpp'),
            include_dirs=[SRC_DIR],
            extra_compile_args=CXX_FLAGS,
            extra_link_args=link_flags(),
            language='c++',
        ),
    ],
    cmdclass={'build_ext': BuildExt},
    options=OPTIONS,
    zip_safe=False,
)
