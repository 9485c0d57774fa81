"""Reports: one learner's text, JSON and HTML report; for a class the table
on stdout, the progress lines on stderr, summary.json, grades.csv and the
class page index.html.

The text report is one line per item, each tagged: DIFFERENT, hint (right
after the difference it explains), same, note; then the severity and a last
line "identical", "N differences" or "could not be loaded".
"""
from __future__ import absolute_import, division, print_function

import csv
import io
import json
import os
import sys

from kestcompare import codec

PY2 = sys.version_info[0] == 2
SEVERITIES = ['identical', 'output only', 'calls only', 'pictures', 'not loaded', 'tool error']
VIEWPORTS = ['viewport1', 'viewport2', 'viewport3', 'viewport4']
GRADE_COLUMNS = ['learner', 'file', 'severity', 'differences', 'first difference', 'hints',
                 'sandbox']


def plural(count, word):
    return '%d %s%s' % (count, word, '' if count == 1 else 's')


def share_text(share):
    """A share of differing pixels, as the reports write it."""
    return '%.2f%%' % (100 * share)


def one_line(text):
    """Text for one cell of a table: its lines joined by " / ", tabs and
    runs of spaces as one space."""
    if text is None:
        return ''
    lines = [' '.join(line.split()) for line in (u'%s' % (text,)).splitlines()]
    return ' / '.join(line for line in lines if line)


def sandbox_text(sandbox):
    """"sandboxed (memory 2048 MB, ...)" or "not sandboxed"."""
    if not sandbox or not sandbox.get('sandboxed'):
        return 'not sandboxed'
    return 'sandboxed (%s)' % sandbox['limits'] if sandbox.get('limits') else 'sandboxed'


def jsonable(value):
    """The value with every float that JSON cannot carry (an infinite
    difference, a NaN) written as the word "inf", "-inf" or "nan"."""
    if isinstance(value, float):
        return codec.finite_or_word(value)
    if isinstance(value, dict):
        return dict((key, jsonable(item)) for key, item in value.items())
    if isinstance(value, (list, tuple)):
        return [jsonable(item) for item in value]
    return value


def write_json(path, value):
    with open(path, 'w') as stream:
        json.dump(jsonable(value), stream, indent=1, sort_keys=True, allow_nan=False)
        stream.write('\n')


def html_escape(text):
    return (u'%s' % (text,)).replace('&', '&amp;').replace('<', '&lt;').replace(
        '>', '&gt;').replace('"', '&quot;')


def link(path):
    return '/'.join(html_escape(part) for part in path.split(os.sep))


def write_text(text, stream=None):
    """Text to stdout (or stream) as UTF-8, whatever the terminal says."""
    stream = stream or sys.stdout
    raw = getattr(stream, 'buffer', None)
    if raw is not None:
        raw.write(text.encode('utf-8'))
    elif isinstance(text, bytes):
        stream.write(text)
    else:
        stream.write(text.encode('utf-8'))
    stream.flush()


def python_text(python):
    return 'Python %s' % (python or {}).get('version', '?')


def hint_line(hint):
    return 'hint       %s: %s: %s' % (hint['kind'], ', '.join(hint['explains']), hint['text'])


# ------------------------------------------------------------ one learner ---

def report_lines(report, items, hints, notes):
    """The text report, line by line."""
    lines = ['KestCompare: %s against %s, under %s, %s' % (
        report['implementation'], report['reference'], python_text(report.get('python')),
        sandbox_text(report.get('sandbox')))]
    placed = set()
    for item in items:
        if not item['different']:
            continue
        lines.append('DIFFERENT  ' + item['text'])
        for index, hint in enumerate(hints):
            if index not in placed and item.get('item') and hint['explains'][0] == item['item']:
                lines.append(hint_line(hint))
                placed.add(index)
    lines += [hint_line(h) for i, h in enumerate(hints) if i not in placed]
    lines += ['same       ' + item['text'] for item in items if not item['different']]
    lines += ['note       ' + text for text in notes]
    lines.append('severity   ' + report['severity'])
    if report['status'] == 2:
        lines.append('could not be loaded')
    else:
        count = report['differences']
        lines.append('identical' if count == 0 else plural(count, 'difference'))
    return lines


def write_report(report, out, json_path, lines, echo=True):
    """OUT/report.txt, OUT/report.html and the JSON report; the text on
    stdout too, when echo."""
    if not os.path.isdir(out):
        os.makedirs(out)
    folder = os.path.dirname(json_path)
    if folder and not os.path.isdir(folder):
        os.makedirs(folder)
    write_json(json_path, report)
    text = '\n'.join(lines) + '\n'
    with open(os.path.join(out, 'report.txt'), 'wb') as stream:
        stream.write(text.encode('utf-8'))
    with open(os.path.join(out, 'report.html'), 'wb') as stream:
        stream.write(report_html(report).encode('utf-8'))
    if echo:
        write_text(text)


STYLE = u'''
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; }
td, th { border: 1px solid #bbb; padding: 0.3em 0.5em; vertical-align: top; text-align: left; }
th button { font: inherit; font-weight: bold; background: none; border: none; padding: 0;
            cursor: pointer; text-decoration: underline; }
.lines { font-family: monospace; white-space: pre-wrap; }
.DIFFERENT { color: #a00; } .hint { color: #05a; font-weight: bold; } .same { color: #060; }
.note { color: #666; }
.sev-identical .severity { color: #060; } .sev-output-only .severity { color: #885500; }
.sev-calls-only .severity { color: #c60; } .sev-pictures .severity { color: #a00; }
.sev-not-loaded .severity { color: #fff; background: #a00; }
.sev-tool-error .severity { color: #fff; background: #555; }
.severity { font-weight: bold; white-space: nowrap; }
.shares td, .shares th { border: none; padding: 0 0.3em; font-size: 85%; text-align: right; }
.shares .nonzero { color: #a00; font-weight: bold; }
.hints ul { margin: 0; padding-left: 1.2em; } .kind { font-weight: bold; color: #05a; }
img { border: 1px solid #ccc; }
.pictures { white-space: nowrap; }
figure { display: inline-block; margin: 0 0.4em 0 0; text-align: center; font-size: 85%; }
.shares th { white-space: nowrap; }
#counts td { font-size: 140%; text-align: center; }
'''


def severity_class(severity):
    return 'sev-' + (severity or 'unknown').replace(' ', '-')


def shares_table(pictures):
    """Per picture state, the share of differing pixels of each viewport."""
    if not pictures:
        return u'-'
    rows = [u'<tr><th></th>%s</tr>' % ''.join(u'<th>%d</th>' % n for n in range(1, 5))]
    for picture in pictures:
        cells = []
        for viewport in VIEWPORTS:
            share = picture['shares'].get(viewport)
            if share is None:
                cells.append(u'<td>?</td>')
            else:
                cells.append(u'<td class="%s">%s</td>' % (
                    'nonzero' if share else 'zero', share_text(share)))
        rows.append(u'<tr><th>%s</th>%s</tr>' % (html_escape(picture['state']), ''.join(cells)))
    return u'<table class="shares">%s</table>' % ''.join(rows)


def report_pictures(report):
    """[{"state", "image", "thumbnail", "shares"}] of a learner's report."""
    found = []
    for state in ('defaults', 'moved-panned-tilted', 'own-matrices'):
        picture = (report.get('pictures') or {}).get(state)
        if picture and picture.get('image'):
            found.append({'state': state, 'image': picture['image'],
                          'thumbnail': picture.get('thumbnail') or picture['image'],
                          'ticks': picture.get('ticks'),
                          'shares': dict((v, picture.get(v)) for v in VIEWPORTS)})
    return found


def report_html(report):
    lines = []
    for line in report.get('lines') or []:
        tag = line.split(' ', 1)[0]
        lines.append(u'<div class="%s">%s</div>' % (
            html_escape(tag if tag in ('DIFFERENT', 'hint', 'same', 'note') else 'head'),
            html_escape(line)))
    pictures = []
    for picture in report_pictures(report):
        pictures.append(u'<h3>%s (%s)</h3><a href="%s"><img src="%s" alt="%s"></a>%s' % (
            html_escape(picture['state']), plural(picture['ticks'] or 0, 'tick'),
            link(picture['image']), link(picture['image']), html_escape(picture['state']),
            shares_table([picture])))
    return u'''<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>KestCompare: %(file)s</title>
<style>%(style)s</style></head><body>
<h1>KestCompare: <code>%(file)s</code></h1>
<p id="python">Compared with %(reference)s under %(python)s, <span id="sandbox">%(sandbox)s</span>. Severity: <span class="severity">%(severity)s</span>.</p>
<section class="lines">%(lines)s</section>
<h2>Pictures</h2>
<p>Movra, yours, and Movra dimmed with every differing pixel in magenta; the share of differing pixels per viewport.</p>
%(pictures)s
</body></html>
''' % {'file': html_escape(report['implementation']), 'style': STYLE,
       'reference': html_escape(report['reference']),
       'python': html_escape(python_text(report.get('python'))),
       'sandbox': html_escape(sandbox_text(report.get('sandbox'))),
       'severity': html_escape(report.get('severity') or ''), 'lines': u'\n'.join(lines),
       'pictures': u'\n'.join(pictures) or u'<p>none</p>'}


# -------------------------------------------------------------- a class ---

def skipped_text(skipped):
    files = sum(s.get('files', 1) for s in skipped)
    if not skipped:
        return 'Every .py file was taken.'
    return '%s not taken:' % plural(files, '.py file')


def found_text(found, folder):
    """What the finding of submissions says first: the count, then every
    .py file that was not taken, with why."""
    lines = ['KestCompare: %s in %s%s' % (
        plural(len(found['learners']), 'learner'), folder,
        '; %s not taken:' % plural(sum(s.get('files', 1) for s in found['skipped']), '.py file')
        if found['skipped'] else '')]
    for skipped in found['skipped']:
        lines.append('  not taken  %s: %s' % (skipped['path'], skipped['reason']))
    return '\n'.join(lines) + '\n'


def progress_line(row, done, total):
    """One line on stderr per learner as it finishes."""
    return 'KestCompare: [%d/%d] %s: %s, %.1f s, %d left\n' % (
        done, total, row['learner'], row['severity'], row.get('seconds') or 0.0, total - done)


def summary_text(summary, out):
    rows = summary['rows']
    width = max([len('learner')] + [len(r['learner']) for r in rows])
    lines = ['%-*s  %-11s  %-19s  %s' % (width, 'learner', 'severity', 'result',
                                         'first difference')]
    for row in rows:
        lines.append('%-*s  %-11s  %-19s  %s' % (width, row['learner'], row['severity'],
                                                 row['result'],
                                                 one_line(row['first_difference']) or '-'))
    counts = summary['counts']
    lines.append('%d of %d learners identical (%s); under %s, %s; summary in %s, %s and %s' % (
        summary['identical_learners'], summary['learners'],
        ', '.join('%d %s' % (counts[s], s) for s in SEVERITIES),
        python_text(summary.get('python')), sandbox_text(summary.get('sandbox')),
        os.path.join(out, 'summary.json'),
        os.path.join(out, 'grades.csv'), os.path.join(out, 'index.html')))
    return '\n'.join(lines) + '\n'


def hint_kinds(row):
    return '; '.join(h['kind'] for h in row.get('hints') or [])


def write_grades(path, rows, sandbox=None):
    """OUT/grades.csv, one row per learner, for a course platform's
    gradebook: one line per cell."""
    sandboxed = sandbox_text(sandbox).split(' (')[0]
    table = [GRADE_COLUMNS] + [[row['learner'], row['file'], row['severity'],
                                '' if row['differences'] is None else str(row['differences']),
                                row['first_difference'] or '', hint_kinds(row), sandboxed]
                               for row in rows]
    table = [[one_line(cell) for cell in cells] for cells in table]
    with io.open(path, 'w', newline='', encoding='utf-8') as stream:
        writer = csv.writer(stream)
        for cells in table:
            writer.writerow(cells)


SORT_SCRIPT = u'''
function sortRows(key) {
  var body = document.querySelector('#learners tbody');
  var rows = Array.prototype.slice.call(body.rows);
  var last = body.getAttribute('data-sorted') || '';
  var reverse = last === key;
  rows.sort(function (a, b) {
    var order;
    if (key === 'severity') {
      order = Number(b.getAttribute('data-rank')) - Number(a.getAttribute('data-rank'));
    } else {
      order = 0;
    }
    if (order === 0) {
      var x = a.getAttribute('data-learner'), y = b.getAttribute('data-learner');
      order = x < y ? -1 : (x > y ? 1 : 0);
    }
    return reverse ? -order : order;
  });
  for (var i = 0; i < rows.length; i++) { body.appendChild(rows[i]); }
  body.setAttribute('data-sorted', reverse ? key + '-reversed' : key);
}
'''


def summary_html(summary):
    counts = summary['counts']
    rows = []
    for row in summary['rows']:
        links = []
        if row.get('html_report'):
            name = u'<a class="report" href="%s">%s</a>' % (link(row['html_report']),
                                                            html_escape(row['learner']))
            links.append(u'<a href="%s">text</a>' % link(row['text_report']))
            links.append(u'<a href="%s">JSON</a>' % link(row['report']))
        else:
            name = html_escape(row['learner'])
            links.append(u'<a href="%s">log</a>' % link(os.path.join(row['folder'],
                                                                   'compare.log')))
        hints = u''.join(u'<li><span class="kind">%s</span>: %s: %s</li>' % (
            html_escape(h['kind']), html_escape(', '.join(h['explains'])), html_escape(h['text']))
            for h in row.get('hints') or [])
        pictures = u''.join(
            u'<figure><a href="%s"><img src="%s" width="200" height="200" alt="%s" title="%s">'
            u'</a><figcaption>%s</figcaption></figure>' % (
                link(p['image']), link(p['thumbnail']), html_escape(p['state']),
                html_escape(p['state']), html_escape(p['state'])) for p in row['pictures'])
        rows.append(
            u'<tr class="%s" data-learner="%s" data-rank="%d" data-severity="%s">'
            u'<td class="learner">%s<br><small><code>%s</code><br>%s</small></td>'
            u'<td class="severity">%s</td>'
            u'<td class="differences">%s</td><td class="first">%s</td>'
            u'<td class="hints">%s</td><td>%s</td><td class="pictures">%s</td></tr>' % (
                severity_class(row['severity']), html_escape(row['learner']),
                SEVERITIES.index(row['severity']), html_escape(row['severity']),
                name, html_escape(row['file']), u' '.join(links), html_escape(row['severity']),
                '-' if row['differences'] is None else row['differences'],
                html_escape(one_line(row['first_difference']) or '-'),
                u'<ul>%s</ul>' % hints if hints else u'-', shares_table(row['pictures']),
                pictures or u'-'))
    count_cells = u''.join(u'<td class="count %s" data-severity="%s">%d</td>' % (
        severity_class(s), html_escape(s), counts[s]) for s in SEVERITIES)
    skipped = u''.join(u'<li><code>%s</code>: %s</li>' % (html_escape(s['path']),
                                                        html_escape(s['reason']))
                       for s in summary['skipped'])
    return u'''<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>KestCompare: %(folder)s</title>
<style>%(style)s</style></head><body>
<h1>KestCompare: <code>%(folder)s</code></h1>
<table id="counts"><tr>%(count_heads)s<th>learners</th></tr>
<tr>%(count_cells)s<td class="count" data-severity="all">%(total)d</td></tr></table>
<p id="python">Each learner's file compared with %(reference)s under %(python)s, <span id="sandbox">%(sandbox)s</span>.</p>
<div id="skipped"><p>%(skipped_count)s</p><ul>%(skipped)s</ul></div>
<p>Click a column's name to sort by it (again to reverse); a learner's name opens the whole report. Each picture is Movra's frame dimmed, with every pixel that yours draws differently in magenta.</p>
<table id="learners"><thead><tr>
<th><button type="button" id="sort-learner" onclick="sortRows('learner')">learner</button></th>
<th><button type="button" id="sort-severity" onclick="sortRows('severity')">severity</button></th>
<th>differences</th><th>first difference</th><th>hints</th>
<th>differing pixels per viewport</th>
<th>pictures (click for Movra, yours and the difference)</th>
</tr></thead>
<tbody>
%(rows)s
</tbody></table>
<script>%(script)s</script>
</body></html>
''' % {'folder': html_escape(summary['folder']), 'style': STYLE,
       'count_heads': u''.join(u'<th>%s</th>' % html_escape(s) for s in SEVERITIES),
       'count_cells': count_cells, 'total': summary['learners'],
       'reference': html_escape(summary.get('reference') or 'the compiled module Movra'),
       'python': html_escape(python_text(summary.get('python'))),
       'sandbox': html_escape(sandbox_text(summary.get('sandbox'))),
       'skipped_count': skipped_text(summary['skipped']), 'skipped': skipped,
       'rows': u'\n'.join(rows), 'script': SORT_SCRIPT}
