"""Which of the file's own functions made each recorded call, and what its
matrix builders returned on the way, for the hints."""
from __future__ import absolute_import, division, print_function

from kestcompare.codec import MAX_ITEMS


class Observer(object):
    """Puts a thin wrapper in place of each function of the module (the
    functions look each other up by name, so the wrappers see every call)."""

    def __init__(self, calls, builders, encode_value):
        self.calls = calls              # the recording GL's calls, emptied in place
        self.builder_names = builders
        self.encode = encode_value
        self.reset()

    def reset(self):
        self.events = []    # (position in calls, +1 enter / -1 leave, name)
        self.stack = []
        self.builders = []  # builder results, in the order they returned

    def wrap(self, name, function):
        observer = self

        def observed(*args, **kwargs):
            level = len([n for n in observer.stack if n in observer.builder_names])
            observer.stack.append(name)
            observer.events.append((len(observer.calls), 1, name))
            returned = False
            try:
                result = function(*args, **kwargs)
                returned = True
            finally:
                observer.stack.pop()
                observer.events.append((len(observer.calls), -1, name))
            if returned and name in observer.builder_names and \
                    len(observer.builders) < MAX_ITEMS:
                observer.builders.append({'at': len(observer.calls), 'level': level,
                                          'name': name, 'result': observer.encode(result)})
            return result
        observed.__name__ = getattr(function, '__name__', name)
        observed.__doc__ = getattr(function, '__doc__', None)
        return observed

    def owners(self, count):
        """The innermost function of the file that made each of the first
        `count` recorded calls."""
        owners, stack, events = [], [], list(self.events)
        position = 0
        for index in range(count):
            while position < len(events) and events[position][0] <= index:
                _, step, name = events[position]
                if step > 0:
                    stack.append(name)
                elif stack:
                    stack.pop()
                position += 1
            owners.append(stack[-1] if stack else None)
        return owners
