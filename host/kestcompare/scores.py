"""Scores: the points of a rubric, earned item by item from the comparison.

A rubric gives points to the report's items: `loading` (the file loads and
defines the module's functions), `globals` (every global's default, value
and type), each of the six matrix builders, each of the twelve functions
without arguments (the tick, updateAnimationVariables, among them), each
picture state (`pictures of defaults`, ...), and `output` (the printed
output and warnings, everywhere). The tool ships DEFAULT, out of 100; a
teacher's own is a small TOML or JSON file (`--rubric FILE`):

    title = "Assignment 2"
    charge_explained = false     # an item explained by another's cause is not charged
    partial = false              # all of an item's points, or none
    [points]
    loading = 10
    rotateX = 5
    "pictures of defaults" = 3

An item the rubric leaves out earns nothing and is not in the out-of. The
score is computed by the tool, outside the boxes, from the report's items:
nothing a learner's code sends counts but through them.

An item earns its points when it is the same as Movra's; nothing when it
differs, is missing, did not return or could not be compared because of
the file (a state that could not be prepared, the learner's time limit).
With charge_explained false (the default) an item whose every difference
is explained by another item's (kestcompare.causes) earns its points: the
cause is charged once. With partial true a builder earns the share of its
argument sets and a function the share of its states that are the same.
A picture state that was not drawn for a reason of the machine's (no X
server, --no-pictures) is not scored: it leaves the out-of.
"""
from __future__ import absolute_import, division, print_function

import json
import os

from kestcompare import cases

PICTURE_ITEMS = ['pictures of %s' % state for state in cases.PICTURE_STATES]
ITEMS = (['loading', 'globals'] + list(cases.BUILDERS) +
         [f for f in cases.FUNCTIONS if f not in cases.BUILDERS] + PICTURE_ITEMS + ['output'])

DEFAULT_POINTS = [
    ('loading', 10), ('globals', 5),
    ('rotateX', 5), ('rotateY', 5), ('translate', 5), ('scale', 5), ('projective', 5),
    ('perspective', 5),
    ('updateAnimationVariables', 5), ('initGL', 2), ('getGL_MODELVIEW_PROJ', 3),
    ('drawScene', 3), ('drawCamera', 3), ('drawMovingCamera', 4), ('drawMovingViewVolume', 4),
    ('Viewport1', 5), ('Viewport2', 5), ('Viewport3', 5), ('Viewport4', 5), ('drawMain', 2),
    ('pictures of defaults', 3), ('pictures of moved-panned-tilted', 3),
    ('pictures of own-matrices', 3),
]
OPTIONS = ('title', 'charge_explained', 'partial', 'points')


class RubricError(ValueError):
    """A rubric file that cannot be used, and why."""


class Rubric(object):
    """Points per item, and how they are earned."""

    def __init__(self, points, title='the default rubric', charge_explained=False,
                 partial=False, path=None):
        self.points = list(points)          # [(item, points)] in the order of ITEMS
        self.title = title
        self.charge_explained = bool(charge_explained)
        self.partial = bool(partial)
        self.path = path

    @property
    def out_of(self):
        return sum(points for _item, points in self.points)

    def to_file(self):
        """The rubric as a file holds it (rubric_of reads it back)."""
        return {'title': self.title, 'charge_explained': self.charge_explained,
                'partial': self.partial,
                'points': dict((item, number(points)) for item, points in self.points)}

    def to_json(self):
        return {'title': self.title, 'path': self.path, 'out_of': number(self.out_of),
                'charge_explained': self.charge_explained, 'partial': self.partial,
                'points': dict((item, number(points)) for item, points in self.points)}




def number(value):
    """A whole number of points as an int, else the float rounded to 2 places."""
    value = round(float(value), 2)
    return int(value) if value == int(value) else value


def read_rubric(path):
    """The Rubric of a TOML or JSON file; RubricError says what is wrong."""
    try:
        with open(path, 'rb') as stream:
            data = stream.read()
    except (IOError, OSError) as error:
        raise RubricError('cannot read the rubric %s: %s' % (path, error.strerror or error))
    if path.lower().endswith('.json'):
        try:
            table = json.loads(data.decode('utf-8-sig'))
        except (UnicodeDecodeError, ValueError) as error:
            raise RubricError('the rubric %s is not valid JSON: %s' % (path, error))
    else:
        try:
            import tomllib
        except ImportError:
            raise RubricError('a TOML rubric needs Python 3.11 or later (tomllib); give the '
                              'same as a .json file')
        try:
            table = tomllib.loads(data.decode('utf-8-sig'))
        except (UnicodeDecodeError, ValueError) as error:
            raise RubricError('the rubric %s is not valid TOML: %s' % (path, error))
    return rubric_of(table, path)


def rubric_of(table, path=None):
    """The Rubric of a parsed file, every key checked."""
    where = path or 'the rubric'
    if not isinstance(table, dict):
        raise RubricError('%s: not a table of keys' % where)
    unknown = sorted(set(table) - set(OPTIONS))
    if unknown:
        raise RubricError('%s: unknown key %r (the keys: %s)' % (where, unknown[0],
                                                                 ', '.join(OPTIONS)))
    points = table.get('points')
    if not isinstance(points, dict) or not points:
        raise RubricError('%s: no [points] table of items and their points' % where)
    wrong = sorted(set(points) - set(ITEMS))
    if wrong:
        raise RubricError('%s: no item %r (the items: %s)' % (where, wrong[0], ', '.join(ITEMS)))
    for item, value in points.items():
        if isinstance(value, bool) or not isinstance(value, (int, float)) or \
                not 0 <= value <= 10000 or value != value:
            raise RubricError('%s: the points of %s must be a number from 0 to 10000, got %r'
                              % (where, item, value))
    for key in ('charge_explained', 'partial'):
        if key in table and not isinstance(table[key], bool):
            raise RubricError('%s: %s must be true or false' % (where, key))
    title = table.get('title', os.path.basename(path) if path else 'a rubric')
    if not isinstance(title, str) or len(title) > 200:
        raise RubricError('%s: the title must be a text of at most 200 characters' % where)
    ordered = [(item, points[item]) for item in ITEMS if item in points]
    if sum(p for _i, p in ordered) <= 0:
        raise RubricError('%s: the points add up to nothing' % where)
    return Rubric(ordered, title, table.get('charge_explained', False),
                  table.get('partial', False), os.path.abspath(path) if path else None)


DEFAULT = rubric_of({'title': 'the default rubric', 'points': dict(DEFAULT_POINTS)})


def rubric_toml(rubric=DEFAULT):
    """The rubric written as a TOML file, to start a teacher's own from."""
    lines = ['# KestCompare rubric: the points of each item (an item left out earns',
             '# nothing and is not in the out-of). Out of %s.' % number(rubric.out_of),
             'title = %s' % json.dumps(rubric.title),
             'charge_explained = %s' % ('true' if rubric.charge_explained else 'false'),
             'partial = %s' % ('true' if rubric.partial else 'false'), '', '[points]']
    for item, points in rubric.points:
        key = item if item.replace('_', '').isalnum() else json.dumps(item)
        lines.append('%s = %s' % (key, number(points)))
    return '\n'.join(lines) + '\n'


# ------------------------------------------------------------- scoring ---

def item_status(report, item):
    """How the comparison left one rubric item: ("same" | "different" |
    "explained" | "missing" | "not compared" | "not scored", the share of it
    that is the same or None, why in words)."""
    items = report.get('items') or []
    missing = report.get('missing') or []
    mine = [i for i in items if i.get('item') == item]
    calls = [i for i in mine if i['different'] and i['category'] != 'output']
    if item == 'loading':
        return ('same', None, 'loads') if report.get('loaded') else \
            ('different', None, 'could not be loaded')
    if item == 'output':
        printed = [i for i in items if i['different'] and i['category'] == 'output']
        return ('different', None, plural(len(printed), 'difference')) if printed else \
            ('same', None, 'the same')
    if item == 'globals':
        lost = [g for g in cases.GLOBALS if g in missing]
        differing = [i for i in items if i['different'] and
                     (i.get('item') or '').startswith('global ')]
        if lost:
            return 'missing', None, 'missing: %s' % ', '.join(lost)
        if differing:
            return 'different', None, plural(len(differing), 'global') + ' differ'
        if any(i.get('item') == 'globals' for i in items):
            return 'same', None, 'the same'
        return 'not compared', None, 'not compared'
    if item in missing:
        return 'missing', None, 'missing'
    if item in PICTURE_ITEMS:
        if calls:
            return 'different', None, 'pixels differ'
        if mine:
            return 'same', None, 'the same pixels'
        return 'not compared', None, 'not drawn'
    if calls:
        share = share_same(report, item)
        if all(i.get('explained_by') for i in calls):
            return 'explained', share, 'explained by %s' % ', '.join(calls[0]['explained_by'])
        return 'different', share, 'different'
    if mine:
        return 'same', None, 'the same'
    return 'not compared', None, 'not compared'


def share_same(report, item):
    """The share of a builder's argument sets or of a function's states that
    are the same as Movra's (printed output aside), or None."""
    if item in (report.get('matrices') or {}):
        entry = report['matrices'][item]
        if entry.get('cases'):
            return max(0.0, (entry['cases'] - (entry.get('differing') or 0))) / entry['cases']
        return None
    states = (report.get('functions') or {}).get(item)
    if not states or states.get('missing'):
        return None
    compared = [e for e in states.values() if isinstance(e, dict) and not e.get('not_prepared')]
    if not compared:
        return None
    same = [e for e in compared if not e.get('not_run') and
            all(d['kind'] in ('output', 'warnings') for d in e['differences'])]
    return len(same) / len(compared)


def plural(count, word):
    return '%d %s%s' % (count, word, '' if count == 1 else 's')


def machine_left_out_pictures(report, pictures_wanted):
    """True when no picture was drawn for a reason of the machine's (no X
    server, Movra could not draw) or the pictures were not asked for."""
    if not pictures_wanted:
        return True
    if report.get('pictures'):
        return False
    error = report.get('pictures_error') or ''
    return bool(error) and not error.startswith('no pictures: yours')


def score(report, rubric=None, pictures_wanted=True):
    """The learner's score: {"score", "out_of", "rubric", "items": [{"item",
    "points", "earned", "status", "why"}]}; None for a failure of the tool
    itself, which is never the learner's."""
    rubric = rubric or DEFAULT
    if report.get('status') == 3:
        return None
    loaded = bool(report.get('loaded'))
    rows, total, out_of = [], 0.0, 0.0
    for item, points in rubric.points:
        if not loaded:
            status, share, why = ('different', None, 'could not be loaded') \
                if item == 'loading' else ('not compared', None, 'the file could not be loaded')
        else:
            status, share, why = item_status(report, item)
        if item in PICTURE_ITEMS and (not pictures_wanted or (
                status == 'not compared' and loaded and
                machine_left_out_pictures(report, pictures_wanted))):
            rows.append({'item': item, 'points': number(points), 'earned': None,
                         'status': 'not scored', 'why': 'no pictures were made'})
            continue
        if status == 'same' or (status == 'explained' and not rubric.charge_explained):
            earned = float(points)
        elif status in ('different', 'explained') and rubric.partial and share is not None:
            earned = points * share
        else:
            earned = 0.0
        total += earned
        out_of += points
        rows.append({'item': item, 'points': number(points), 'earned': number(earned),
                     'status': status, 'why': why})
    return {'score': number(total), 'out_of': number(out_of), 'rubric': rubric.title,
            'rubric_path': rubric.path, 'charge_explained': rubric.charge_explained,
            'partial': rubric.partial, 'items': rows}


def score_text(found):
    """"73 of 100" (or "not scored")."""
    if not found:
        return 'not scored'
    return '%s of %s' % (found['score'], found['out_of'])


def lost_text(found):
    """The items that lost points, in one line."""
    if not found:
        return ''
    if found['items'] and found['items'][0]['item'] == 'loading' and \
            found['items'][0]['status'] == 'different':
        return 'the file could not be loaded'
    lost = ['%s %s of %s' % (row['item'], row['earned'], row['points'])
            for row in found['items'] if row['earned'] is not None and
            row['earned'] < row['points']]
    return ', '.join(lost)
