"""Class runs: every learner of a folder or zip compared in a process pool,
as many at once as --jobs says, against Movra's replies recorded once.

Movra's side is recorded first, in workers that run no learner's code, and
held by the tool alone (never in OUT, where a learner's code could reach
it, nor in any box). Each learner's comparison then runs in a process of
the pool, its workers in boxes of their own; it writes the learner's folder
of OUT only after every worker of that learner has ended, and the class's
files (summary.json, grades.csv, index.html) are written when the last one
is done. No learner can stop a comparison: each is bounded by
--learner-limit, and its boxes end with it.

OUT then holds this run's learners only: the folders that the tool made in
an earlier run (each is marked with a file MARK) and that belong to no
learner of this run are removed; a folder that the tool did not make is
never touched, and a learner whose name it has gets another folder.
"""
from __future__ import absolute_import, division, print_function

import concurrent.futures
import multiprocessing
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import traceback

from kestcompare import (cases, compare, platforms, pythons, refcache, reports, sandbox, scores,
                         submissions)
from kestcompare.compare import CompareError, Comparison, start_display
from kestcompare.protocol import request_key
from kestcompare.supervise import exchange, start_all
from kestcompare.wording import error_text, failure_text

MARK = '.kestcompare'
from kestcompare import PROG  # noqa: E402  (the program's name in its messages)
# Beyond a learner's own limit, before the class gives up waiting on a
# comparison that the tool itself failed to end.
OVERTIME = 60.0


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
    taken = set(foreign)
    jobs = []
    for learner in learners:
        name = report_folder_name(learner['learner'], taken)
        jobs.append(dict(learner, name=name, folder=os.path.join(out, name)))
    for name in marked:
        shutil.rmtree(os.path.join(out, name), ignore_errors=True)
    for job in jobs:
        mark(job['folder'], 'learner %s' % job['learner'])
    return jobs, sorted(foreign)


def record_reference(settings):
    """Movra's reply to every request that a comparison can make (the probes
    of the hints too) and its frames: {request key: reply}."""
    recorder = Comparison(settings.for_learner(settings.impl, settings.out, 'Movra'))
    recorder.scratch = tempfile.mkdtemp(prefix='kestcompare-')
    replies = {}
    limit = recorder.limit

    def keep(worker, request):
        reply = exchange([(worker, request)])[0]
        recorder.check_reference(reply, request_key(request))
        replies[request_key(request)] = reply.to_json()
        return reply
    try:
        recorder.prepare_files(learner=False)
        worker = recorder.worker('record', True)
        load = start_all([worker], limit)[0]
        if not load.ok:
            raise CompareError('the reference could not be loaded: %s' % (
                error_text(load.error) or failure_text(load, limit) or load.internal_error))
        replies[request_key(worker.load_request)] = load.to_json()
        for index in range(len(cases.builder_cases())):
            keep(worker, cases.builder_request(index, limit))
        for index in cases.angle_cases():
            for conversion in sorted(cases.CONVERSIONS):
                keep(worker, cases.builder_request(index, limit, conversion))
        for name in cases.DRAWING:
            for state in cases.STATE_NAMES + cases.probe_states():
                keep(worker, cases.draw_request(name, state, limit))
        recorder.stop_workers()
        if settings.pictures:
            record_pictures(recorder, replies, keep)
    finally:
        recorder.stop_workers()
        shutil.rmtree(recorder.scratch, ignore_errors=True)
    return replies


def reference_replies(settings):
    """Movra's replies for the class: from the tool's cache (refcache), or
    recorded now (and kept there, when the cache may be used)."""
    try:
        interpreter = pythons.interpreter_for(settings.python, settings.sandbox)
    except (pythons.PythonError, sandbox.SandboxError) as error:
        raise CompareError(str(error))
    replies = refcache.recorded_replies(settings, interpreter,
                                        lambda: record_reference(settings))
    return replies if replies is not None else record_reference(settings)


def record_pictures(recorder, replies, keep):
    """Movra's frames of the picture states, drawn on an X server of their
    own; a failure leaves them out, and each learner's comparison then says
    why there are no pictures."""
    size = recorder.settings.picture_size
    try:
        xvfb, display = start_display(size)
    except Exception:
        return
    try:
        worker = recorder.worker('render', True, display, size)
        load = start_all([worker], recorder.limit)[0]
        if not load.ok:
            return
        replies[request_key(worker.load_request)] = load.to_json()
        for state in cases.PICTURE_STATES:
            reply = keep(worker, cases.render_request(state, max(recorder.limit,
                                                                  compare.RENDER_LIMIT)))
            if reply.error:
                return
    except CompareError:
        return
    finally:
        recorder.stop_workers()
        xvfb.stop()


# ------------------------------------------------------------- the pool ---

_RECORDED = {}


def _start_pool_process(recorded):
    """Each process of the pool: Movra's replies, and a SIGKILL from Linux
    when the class run ends, so that no comparison outlives it."""
    _RECORDED['replies'] = recorded
    try:
        import ctypes
        import ctypes.util
        libc = ctypes.CDLL(ctypes.util.find_library('c') or 'libc.so.6', use_errno=True)
        libc.prctl(1, int(signal.SIGKILL), 0, 0, 0)      # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def compare_learner(settings, slot):
    """One learner's comparison, in a process of the pool: its report, or
    the traceback of the tool's own failure."""
    started = time.time()
    try:
        comparison = Comparison(settings, recorded=_RECORDED['replies'], slot=slot)
        status = comparison.run()
        return {'status': status, 'report': comparison.report,
                'seconds': round(time.time() - started, 2)}
    except Exception:
        return {'status': 3, 'report': None, 'tool_error': traceback.format_exc(),
                'seconds': round(time.time() - started, 2)}


def compare_class(settings):
    """Compares every learner of the folder or zip; writes OUT/summary.json,
    OUT/grades.csv and OUT/index.html; prints the summary table."""
    impl, out = settings.impl, settings.out
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
        try:
            recorded = reference_replies(settings)
        except CompareError as error:
            say('%s: error: %s\n' % (PROG, error))
            return 2
        run_pool(jobs, settings, recorded, out)
    finally:
        if found.get('scratch'):
            shutil.rmtree(found['scratch'], ignore_errors=True)
    rows = [job['row'] for job in jobs]
    counts = dict((s, 0) for s in reports.SEVERITIES)
    for row in rows:
        counts[row['severity']] += 1
    identical = all(row['identical'] for row in rows)
    sandbox = {'sandboxed': settings.sandbox,
               'limits': settings.limits().words() if settings.sandbox else None}
    summary = {'folder': os.path.abspath(impl), 'identical': identical,
               'learners': len(rows), 'identical_learners': counts['identical'],
               'counts': counts, 'skipped': found['skipped'], 'left_alone': foreign,
               'python': dict(pythons.this_python(), **(rows[0].get('python') or {}))
               if rows else pythons.this_python(), 'sandbox': sandbox,
               'reference': settings.reference or 'the compiled module Movra',
               'rubric': (settings.rubric or scores.DEFAULT).to_json(), 'rows': rows}
    reports.write_json(settings.json_path or os.path.join(out, 'summary.json'), summary)
    reports.write_grades(os.path.join(out, 'grades.csv'), rows, sandbox, settings.grades_bom)
    with open(os.path.join(out, 'index.html'), 'wb') as stream:
        stream.write(reports.summary_html(summary).encode('utf-8'))
    reports.write_text(reports.summary_text(summary, out))
    if any(row['severity'] == 'tool error' for row in rows):
        return 3
    return 0 if identical else 1


def run_pool(jobs, settings, recorded, out):
    """The comparisons in a pool of --jobs processes; a line on stderr as
    each one finishes."""
    context = multiprocessing.get_context('spawn')
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=min(settings.jobs, len(jobs)), mp_context=context,
        initializer=_start_pool_process, initargs=(recorded,))
    futures = {}
    try:
        for index, job in enumerate(jobs):
            learner = settings.for_learner(job['file'], job['folder'], job['shown'])
            futures[pool.submit(compare_learner, learner, index % settings.jobs)] = job
        waiting = set(futures)
        patience = settings.learner_limit + OVERTIME
        done = 0
        started = time.time()
        while waiting:
            finished, waiting = concurrent.futures.wait(
                waiting, timeout=patience, return_when=concurrent.futures.FIRST_COMPLETED)
            if not finished:
                break
            for future in finished:
                job = futures[future]
                try:
                    result = future.result()
                except Exception:
                    result = {'status': 3, 'report': None, 'seconds': None,
                              'tool_error': traceback.format_exc()}
                job['row'] = summary_row(job, out, result)
                done += 1
                say(reports.progress_line(job['row'], done, len(jobs)))
            if time.time() - started > patience * max(1, len(jobs)):
                break
        for future in waiting:
            job = futures[future]
            future.cancel()
            job['row'] = summary_row(job, out, {
                'status': 3, 'report': None, 'seconds': None,
                'tool_error': 'the comparison did not end %g s after the learner\'s limit'
                              % OVERTIME})
            done += 1
            say(reports.progress_line(job['row'], done, len(jobs)))
    finally:
        unfinished = any(not future.done() for future in futures)
        for future in futures:
            future.cancel()
        pool.shutdown(wait=not unfinished)


def summary_row(job, out, result):
    row = {'learner': job['learner'], 'file': job['shown'],
           'folder': os.path.relpath(job['folder'], out), 'status': result.get('status'),
           'identical': False, 'differences': None, 'first_difference': None,
           'severity': 'tool error', 'hints': [], 'result': None, 'report': None,
           'pictures': [], 'seconds': result.get('seconds'), 'python': None,
           'score': None, 'out_of': None, 'causes': []}
    row.update(('platform_' + key if key == 'id' else key, value)
               for key, value in platforms.identity(job['shown']).items() if key != 'raw')
    report = result.get('report')
    if report is None:
        row['result'] = 'the tool failed'
        row['first_difference'] = reports.one_line(
            (result.get('tool_error') or '').strip().splitlines()[-1:] or ['the tool failed'])
        row['tool_error'] = result.get('tool_error')
        return row
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
    row['causes'] = report.get('causes') or []
    if report.get('score'):
        row['score'] = report['score']['score']
        row['out_of'] = report['score']['out_of']
    if report.get('status') == 2:
        row['result'] = 'could not be loaded'
    elif report.get('status') == 3:
        row['result'] = 'the tool failed'
    elif report.get('timed_out'):
        row['result'] = 'the comparison did not finish'
    else:
        row['result'] = 'identical' if row['identical'] else reports.plural(
            row['differences'], 'difference')
    for picture in reports.report_pictures(report):
        picture['image'] = os.path.join(folder, picture['image'])
        picture['thumbnail'] = os.path.join(folder, picture['thumbnail'])
        row['pictures'].append(picture)
    return row
