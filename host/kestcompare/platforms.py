"""Who a submission is: the learner's name and id as the course platforms
write them into the names of their downloads, for grades.csv.

The platforms' "download all submissions" name each file (or each
learner's folder) like this:

  Moodle      Jana Nováková_123456_assignsubmission_file_        a folder per learner
              Jana Nováková_123456_assignsubmission_file_Movra.py   flat
              name "Jana Nováková"; id 123456 (Moodle's participant number
              in the assignment, not the student number)
  Canvas      novakovajana_12345_67890_Movra.py
              novakovajana_LATE_12345_67890_Movra-1.py   (late, a resubmission)
              name "novakovajana" (Canvas's last and first name, in lower
              case, run together); id 12345 (Canvas's user id); 67890 is
              the file's own number
  Blackboard  Assignment 2_jnovakova_attempt_2024-03-01-14-05-09_Movra.py
              no name; id "jnovakova" (the user name)

The first of the file name and its folders (from the file up) that one of
these fits gives the name and id; when none fits both are empty and the
learner column alone names the learner. The raw path is always kept beside.
"""
from __future__ import absolute_import, division, print_function

import re

PATTERNS = [
    ('Moodle', re.compile(r'^(?P<name>.+?)_(?P<id>\d+)_assignsubmission_[a-z]+_(?P<rest>.*)$')),
    ('Canvas', re.compile(r'^(?P<name>[^\W_]+(?:-[^\W_]+)*)(?:_LATE)?_(?P<id>\d+)_'
                          r'(?P<file_id>\d+)_(?P<rest>.+)$')),
    ('Blackboard', re.compile(r'^(?P<assignment>.+)_(?P<id>[^_\s]+)_attempt_'
                              r'(?P<date>\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2})'
                              r'(?:_(?P<rest>.*))?$')),
]


def identity(shown):
    """{"platform", "name", "id", "raw"} of a submission, from its path as
    the class run shows it (the file and the folders above it, inside the
    folder or zip given)."""
    parts = [p for p in shown.replace('\\', '/').split('/') if p]
    for part in reversed(parts):
        for platform, pattern in PATTERNS:
            found = pattern.match(part)
            if found is None:
                continue
            return {'platform': platform, 'name': found.groupdict().get('name') or '',
                    'id': found.group('id'), 'raw': shown}
    return {'platform': '', 'name': '', 'id': '', 'raw': shown}
