"""One object for everything a comparison is told: what to compare and
where the reports go, the limits of the learner's code, the interpreter
that runs it and whether it runs in the sandbox. The command line makes one
(cli.py); a class run hands a copy to each learner's comparison, with the
learner's own file, folder and name."""
from __future__ import absolute_import, division, print_function

import copy
import os

DEFAULT_LIMIT = 5.0
DEFAULT_PICTURE_SIZE = 200
DEFAULT_LEARNER_LIMIT = 600.0
DEFAULT_MEMORY_MB = 2048
DEFAULT_CPU_SECONDS = 120


class Settings(object):
    """What a comparison needs to know; every field has its default."""

    def __init__(self, impl, out='out/compare', json_path=None, reference=None,
                 time_limit=DEFAULT_LIMIT, prepare_limit=None, pictures=True,
                 picture_size=DEFAULT_PICTURE_SIZE, ignore_output=False, python=None,
                 sandbox=True, memory_mb=DEFAULT_MEMORY_MB, cpu_seconds=DEFAULT_CPU_SECONDS,
                 learner_limit=DEFAULT_LEARNER_LIMIT, jobs=2, shown_as=None, echo=True):
        self.impl = impl                    # the file (or a class's folder or zip)
        self.out_given = out                # as the user wrote it, for the report's lines
        self.out = os.path.abspath(out)
        self.json_path = os.path.abspath(json_path) if json_path else None
        self.reference = os.path.abspath(reference) if reference else None
        self.time_limit = float(time_limit)
        self.prepare_limit = float(time_limit if prepare_limit is None else prepare_limit)
        self.pictures = bool(pictures)
        self.picture_size = int(picture_size)
        self.ignore_output = bool(ignore_output)
        self.python = python                # the learner's interpreter: a version, a path
        self.sandbox = bool(sandbox)
        self.memory_mb = int(memory_mb)
        self.cpu_seconds = int(cpu_seconds)
        self.learner_limit = float(learner_limit)
        self.jobs = int(jobs)
        self.shown_as = shown_as            # how the file is named in the reports
        self.echo = bool(echo)              # the text report on stdout too

    def for_learner(self, impl, out, shown_as):
        """A copy for one learner of a class: its file, folder and name."""
        settings = copy.copy(self)
        settings.impl = impl
        settings.out = settings.out_given = out
        settings.json_path = None
        settings.shown_as = shown_as
        settings.echo = False
        return settings

    @property
    def report_json(self):
        return self.json_path or os.path.join(self.out, 'report.json')

    def limits(self):
        from kestcompare.sandbox import Limits
        return Limits(memory_mb=self.memory_mb, cpu_seconds=self.cpu_seconds)
