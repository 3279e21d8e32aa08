"""Reading the traceback entries that the modules add (their tables of source lines)."""


def entry(exc, name):
    """The one traceback entry of `exc` whose code is named `name`."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        found += [tb] if tb.tb_frame.f_code.co_name == name else []
        tb = tb.tb_next
    assert len(found) == 1
    return found[0]


def raised_line(call, name, source, module):
    """The line of the entry `name` when call() raises; the entry must be in `source` with `module`'s globals."""
    try:
        call()
    except Exception as exc:
        tb = entry(exc, name)
    else:
        raise AssertionError("call() raised nothing")
    assert tb.tb_frame.f_code.co_filename == source and tb.tb_frame.f_globals is vars(module)
    return tb.tb_lineno


def assert_message(text, message):
    """text is message; a message ending in ". " is a prefix that the interpreter extends."""
    assert text == message or (message.endswith(". ") and text.startswith(message) and len(text) > len(message))
