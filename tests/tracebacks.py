"""Reading the traceback entries that the modules add (their tables of source lines)."""


def entry(exc, name):
    """The one traceback entry of `exc` whose code is named `name`."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        found += [tb] if tb.tb_frame.f_code.co_name == name else []
        tb = tb.tb_next
    assert len(found) == 1
    return found[0]
