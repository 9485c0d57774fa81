"""Which of the file's own functions made each recorded call, where each of
its calls began and ended among the recorded calls, and what its matrix
builders were given and returned on the way: for the hints, and for
telling which item's difference explains another's."""
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
            caller = observer.stack[-1] if observer.stack else None
            given = None
            if name in observer.builder_names:
                given = observer.arguments(args, kwargs)
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
                entry = {'at': len(observer.calls), 'level': level, 'name': name,
                         'result': observer.encode(result)}
                if caller is not None:
                    entry['caller'] = caller
                if given is not None:
                    entry['args'] = given
                observer.builders.append(entry)
            return result
        observed.__name__ = getattr(function, '__name__', name)
        observed.__doc__ = getattr(function, '__doc__', None)
        return observed

    def arguments(self, args, kwargs):
        """The arguments of a builder's call as typed images, keywords after
        the positional ones in the order of their names; None when there
        are too many to keep."""
        if len(args) + len(kwargs) > 8:
            return None
        return [self.encode(a) for a in args] + [
            [key, self.encode(kwargs[key])] for key in sorted(kwargs)]

    def spans(self, count, most=MAX_ITEMS):
        """Each call of a function of the file: [name, first recorded call,
        the recorded call after its last, depth (0 for the outermost)],
        in the order the calls began; the first `most` of them."""
        spans, open_spans = [], []
        for position, step, name in self.events:
            if step > 0:
                open_spans.append(len(spans))
                spans.append([name, min(position, count), None, len(open_spans) - 1])
            elif open_spans:
                spans[open_spans.pop()][2] = min(position, count)
        for index in open_spans:
            spans[index][2] = count
        return spans[:most]

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
