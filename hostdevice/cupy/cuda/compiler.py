"""Kernel compilation errors."""


class CompileException(Exception):
    """A kernel source was rejected; the message is the compiler's log."""

    def __init__(self, msg, source, name, options, backend='nvrtc'):
        self._msg = msg
        self.source = source
        self.name = name
        self.options = options
        self.backend = backend
        super().__init__()

    def __reduce__(self):
        return (type(self), (self._msg, self.source, self.name,
                             self.options, self.backend))

    def __str__(self):
        return self._msg

    __repr__ = __str__

    def get_message(self):
        return self._msg
