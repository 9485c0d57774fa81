"""The records of a traceback as the tests and the fuzzer read them
(scripts/fuzz_differential.py imports this too)."""


def traceback_records(tb):
    """(function name, file name, line) of every traceback entry, oldest first."""
    records = []
    while tb is not None:
        code = tb.tb_frame.f_code
        records.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return records


def movra_records(tb):
    """(traceback name, listing line) of the module's own records, oldest first.

    A record's code name is "<traceback name> (<native file>:<line>)"; only
    the traceback name and the listing line matter to a reader.
    """
    return [(name.split(' (')[0], line) for name, filename, line in traceback_records(tb)
            if filename == 'Movra.py']
