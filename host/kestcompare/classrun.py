"""Class runs: every learner of a folder or zip compared in processes of its
own, as many at once as --jobs says, against Movra's replies recorded once.

OUT then holds this run's learners only: the folders that the tool made in
an earlier run (each is marked with a file MARK) and that belong to no
learner of this run are removed; a folder that the tool did not make is
never touched, and a learner whose name it has gets another folder.
"""
from __future__ import absolute_import, division, print_function

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from kestcompare import cases, pythons, reports, submissions
from kestcompare.compare import Comparison, CompareError, failure_text, error_text
from kestcompare.supervise import PREEXEC, exchange, request_key, start_all, status_text

# How a learner's comparison is started: the checkout's entry point beside
# this package, or where the package is installed (pip install, the command
# movra-compare), the package itself.
ENTRY = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                     'KestCompare.py')
START = [ENTRY] if os.path.isfile(ENTRY) else ['-m', 'kestcompare']
MARK = '.kestcompare'
REFERENCE = '.reference'
PROG = 'KestCompare.py'


def say(text):
    sys.stderr.write(text)
    sys.stderr.flush()


def report_folder_name(learner, taken):
    name = learner.replace('/', '__').replace(os.sep, '__')
    name = re.sub(r'[^A-Za-z0-9._-]', '_', name).strip('.') or '_learner'
    candidate, number = name, 2
    while candidate in taken:
        candidate = '%s_%d' % (name, number)
        number += 1
    taken.add(candidate)
    return candidate


def mark(folder, what):
    if not os.path.isdir(folder):
        os.makedirs(folder)
    with open(os.path.join(folder, MARK), 'w') as stream:
        stream.write('made by KestCompare for %s; removed by its next class run into '
                     'this folder\n' % what)


def prepare_out(out, learners):
    """Assigns each learner a folder of OUT and makes it empty; removes the
    marked folders of earlier runs that no learner of this run has. The
    (learner, folder) pairs and the folders left alone."""
    if not os.path.isdir(out):
        os.makedirs(out)
    foreign = set()
    marked = set()
    for name in os.listdir(out):
        path = os.path.join(out, name)
        if os.path.isdir(path) and not os.path.islink(path):
            if os.path.isfile(os.path.join(path, MARK)):
                marked.add(name)
            else:
                foreign.add(name)
    taken = set(foreign) | set([REFERENCE])
    jobs = []
    for learner in learners:
        name = report_folder_name(learner['learner'], taken)
        jobs.append(dict(learner, name=name, folder=os.path.join(out, name)))
    for name in marked:
        shutil.rmtree(os.path.join(out, name), ignore_errors=True)
    for job in jobs:
        mark(job['folder'], 'learner %s' % job['learner'])
    return jobs, sorted(foreign)


def record_reference(folder, options):
    """Movra's reply to every request that a comparison can make (the probes
    of the hints too), in FOLDER/replies.json, and its pictures beside it."""
    mark(folder, "Movra's recorded replies")
    comparison = Comparison(folder, folder, options.reference, options.time_limit,
                            picture_size=options.picture_size)
    comparison.scratch = tempfile.mkdtemp(prefix='kestcompare-')
    replies = {}

    def keep(worker, request):
        reply = exchange([(worker, request)])[0]
        comparison.check_reference(reply, request_key(request))
        replies[request_key(request)] = reply
        return reply
    limit = comparison.limit
    try:
        worker = comparison.worker('record', True)
        load = start_all([worker], limit)[0]
        if not load.get('ok'):
            raise CompareError('the reference could not be loaded: %s' % (
                error_text(load.get('error')) or failure_text(load, limit)
                or load.get('internal_error')))
        replies[request_key(worker.load_request)] = load
        for index in range(len(cases.builder_cases())):
            keep(worker, {'op': 'builder', 'case': index, 'limit': limit})
        for index in cases.angle_cases():
            for conversion in sorted(cases.CONVERSIONS):
                keep(worker, {'op': 'builder', 'case': index, 'convert': conversion,
                              'limit': limit})
        for name in cases.DRAWING:
            for state in cases.STATE_NAMES + cases.probe_states():
                keep(worker, {'op': 'draw', 'function': name, 'state': state, 'limit': limit})
        worker.stop()
        if not options.no_pictures:
            record_pictures(comparison, folder, replies, keep, options.display)
    finally:
        for worker in comparison.workers:
            worker.stop()
        shutil.rmtree(comparison.scratch, ignore_errors=True)
    path = os.path.join(folder, 'replies.json')
    with open(path, 'w') as stream:
        json.dump(replies, stream, sort_keys=True, allow_nan=False)
    return path


def record_pictures(comparison, folder, replies, keep, display):
    """Movra's frames of the picture states; a failure leaves them out, and
    each learner's comparison then says why there are no pictures."""
    size = comparison.picture_size
    if display is None:
        return
    try:
        worker = comparison.worker('render', True, {'DISPLAY': display}, size)
        load = start_all([worker], comparison.limit)[0]
        if not load.get('ok'):
            return
        replies[request_key(worker.load_request)] = load
        for state in cases.PICTURE_STATES:
            reply = keep(worker, {'op': 'render', 'state': state, 'limit': comparison.limit,
                                  'path': os.path.join(folder, '%s.png' % state)})
            if reply.get('error'):
                return
        worker.stop()
    except CompareError:
        return


def start_display(options):
    """One Xvfb for the whole class, or None (each learner then says why it
    has no pictures)."""
    if options.no_pictures:
        return None
    try:
        from kesthost.xvfb import Xvfb
        xvfb = Xvfb(2 * options.picture_size, 2 * options.picture_size)
        xvfb.start()
    except Exception:
        return None
    return xvfb


def compare_class(impl, out, options):
    """Compares every learner of the folder or zip; writes OUT/summary.json,
    OUT/grades.csv and OUT/index.html; prints the summary table."""
    try:
        found = submissions.find(impl, exclude=[out])
    except submissions.SubmissionError as error:
        say('%s: error: %s\n' % (PROG, error))
        return 2
    try:
        reports.write_text(reports.found_text(found, impl))
        if not found['learners']:
            say("%s: error: no learner's file in %s: no .py file in it defines any of the "
                "module's functions\n" % (PROG, impl))
            return 2
        jobs, foreign = prepare_out(out, found['learners'])
        xvfb = start_display(options)
        options.display = xvfb.display if xvfb is not None else None
        try:
            try:
                recorded = record_reference(os.path.join(out, REFERENCE), options)
            except CompareError as error:
                say('%s: error: %s\n' % (PROG, error))
                return 2
            run_parallel(jobs, options, recorded, out)
        finally:
            if xvfb is not None:
                xvfb.stop()
    finally:
        if found.get('scratch'):
            shutil.rmtree(found['scratch'], ignore_errors=True)
    rows = [job['row'] for job in jobs]
    counts = dict((s, 0) for s in reports.SEVERITIES)
    for row in rows:
        counts[row['severity']] += 1
    identical = all(row['identical'] for row in rows)
    summary = {'folder': os.path.abspath(impl), 'identical': identical,
               'learners': len(rows), 'identical_learners': counts['identical'],
               'counts': counts, 'skipped': found['skipped'], 'left_alone': foreign,
               'python': pythons.this_python(),
               'reference': options.reference or 'the compiled module Movra', 'rows': rows}
    json_path = options.json or os.path.join(out, 'summary.json')
    with open(json_path, 'w') as stream:
        json.dump(summary, stream, indent=1, sort_keys=True, allow_nan=False)
        stream.write('\n')
    reports.write_grades(os.path.join(out, 'grades.csv'), rows)
    with open(os.path.join(out, 'index.html'), 'wb') as stream:
        stream.write(reports.summary_html(summary).encode('utf-8'))
    reports.write_text(reports.summary_text(summary, out))
    return 0 if identical else 1


def command(job, options, recorded):
    line = [sys.executable] + START + [job['file'], '--out', job['folder'],
            '--time-limit', str(options.time_limit),
            '--prepare-limit', str(options.prepare_limit),
            '--picture-size', str(options.picture_size),
            '--recorded-reference', recorded, '--shown-as', job['shown']]
    if options.no_pictures:
        line.append('--no-pictures')
    if options.ignore_output:
        line.append('--ignore-output')
    if options.reference:
        line += ['--reference', options.reference]
    if options.display:
        line += ['--display', options.display]
    return line


def run_parallel(jobs, options, recorded, out):
    """One comparison process per learner, as many at once as --jobs says;
    a line on stderr as each one finishes."""
    waiting = list(jobs)
    running = []
    done = 0
    while waiting or running:
        while waiting and len(running) < options.jobs:
            job = waiting.pop(0)
            log = open(os.path.join(job['folder'], 'compare.log'), 'wb')
            job['process'] = subprocess.Popen(command(job, options, recorded), stdout=log,
                                              stderr=subprocess.STDOUT, close_fds=True,
                                              preexec_fn=PREEXEC)
            job['log'] = log
            job['started'] = time.time()
            running.append(job)
        time.sleep(0.02)
        for job in list(running):
            process = job['process']
            if process.poll() is None and time.time() - job['started'] > options.learner_limit:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except OSError:
                    pass
                process.wait()
                job['timed_out'] = True
            if process.poll() is not None:
                job['status'] = process.returncode
                job['seconds'] = round(time.time() - job['started'], 2)
                job['log'].close()
                running.remove(job)
                job['row'] = summary_row(job, out, options)
                done += 1
                say(reports.progress_line(job['row'], done, len(jobs)))


def summary_row(job, out, options):
    row = {'learner': job['learner'], 'file': job['shown'],
           'folder': os.path.relpath(job['folder'], out), 'status': job.get('status'),
           'identical': False, 'differences': None, 'first_difference': None,
           'severity': 'not loaded', 'hints': [], 'result': None, 'report': None,
           'pictures': [], 'seconds': job.get('seconds'), 'python': None}
    report_path = os.path.join(job['folder'], 'report.json')
    report = None
    if os.path.exists(report_path):
        try:
            with open(report_path) as stream:
                report = json.load(stream)
        except (IOError, OSError, ValueError):
            report = None
    if job.get('timed_out'):
        row['result'] = 'the comparison did not finish'
        row['first_difference'] = 'the comparison was stopped after %g s' % options.learner_limit
    elif report is None:
        row['result'] = 'the comparison failed'
        row['first_difference'] = 'the comparison %s; see %s' % (
            status_text(job.get('status')), os.path.join(row['folder'], 'compare.log'))
    else:
        folder = row['folder']
        row['report'] = os.path.join(folder, 'report.json')
        row['text_report'] = os.path.join(folder, 'report.txt')
        row['html_report'] = os.path.join(folder, 'report.html')
        row['identical'] = bool(report.get('identical'))
        row['differences'] = report.get('differences')
        row['first_difference'] = report.get('first_difference')
        row['severity'] = report.get('severity')
        row['hints'] = report.get('hints') or []
        row['python'] = report.get('python')
        if report.get('status') == 2:
            row['result'] = 'could not be loaded'
        else:
            row['result'] = 'identical' if row['identical'] else reports.plural(
                row['differences'], 'difference')
        for picture in reports.report_pictures(report):
            picture['image'] = os.path.join(folder, picture['image'])
            picture['thumbnail'] = os.path.join(folder, picture['thumbnail'])
            row['pictures'].append(picture)
    return row
