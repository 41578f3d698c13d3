"""Capture every log record of every logger and check that no secret reaches one.

Every secret value used by the provider tests contains MARKER, so a single scan of all records
catches a leak wherever it happens (our loggers or the cloud SDKs' own debug logging).
"""

from __future__ import annotations

import contextlib
import logging
import os

MARKER = "s3cr3t-"


class CapturedLogs(logging.Handler):
    def __init__(self) -> None:
        super().__init__(level=1)
        self.records: list[logging.LogRecord] = []
        self.secrets: list[str] = [MARKER]

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)

    def by(self, logger_name: str) -> list[logging.LogRecord]:
        return [r for r in self.records if r.name == logger_name]

    def leaks(self) -> list[tuple[str, str]]:
        found = []
        for record in self.records:
            texts = [record.getMessage()]
            for value in vars(record).values():
                texts += [repr(value), str(value)]
            if record.exc_info:
                texts.append(logging.Formatter().formatException(record.exc_info))
            for secret in self.secrets:
                if any(secret in text for text in texts):
                    found.append((record.name, secret))
        return found


@contextlib.contextmanager
def all_records():
    """Root handler at level 1, every logger enabled and propagating, for the duration."""
    root = logging.getLogger()
    # Parents known only as placeholders ("google" for "google.auth") become real loggers too, so
    # that they can be set up like the others.
    loggers = [root] + [logging.getLogger(name) for name in list(root.manager.loggerDict)]
    saved = [(lg, lg.level, lg.propagate, lg.disabled) for lg in loggers]
    previous_disable = root.manager.disable
    logging.disable(logging.NOTSET)
    for lg in loggers:
        # An explicit level also keeps libraries that turn off propagation of "unconfigured"
        # loggers (google's client logging) from doing so.
        lg.setLevel(1)
        lg.propagate = True
        lg.disabled = False
    capture = CapturedLogs()
    root.addHandler(capture)
    try:
        yield capture
    finally:
        root.removeHandler(capture)
        for lg, level, propagate, disabled in saved:
            lg.setLevel(level)
            lg.propagate = propagate
            lg.disabled = disabled
        logging.disable(previous_disable)


_TESTS = os.path.dirname(os.path.abspath(__file__))


def exception_leaks(exc: BaseException, secrets=(MARKER,)) -> list[tuple[str, str]]:
    """Where a secret shows in `exc` or its chain (__cause__/__context__, recursively): message,
    args, repr, every non-callable attribute, and the locals of traceback frames outside the tests
    (error trackers capture all of these)."""
    found, seen, todo = [], set(), [exc]
    while todo:
        e = todo.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        texts = {"str": str(e), "repr": repr(e), "args": repr(e.args)}
        for name in dir(e):
            if name.startswith("__") and name != "__notes__":
                continue
            try:
                value = getattr(e, name)
            except Exception:
                continue
            if not callable(value):
                texts[name] = repr(value) + str(value)
        tb = e.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            if not os.path.abspath(code.co_filename).startswith(_TESTS):
                texts[f"locals of {code.co_name}"] = repr(tb.tb_frame.f_locals)
            tb = tb.tb_next
        found += [(type(e).__name__, where) for where, text in texts.items() for s in secrets if s in text]
        todo += [e.__cause__, e.__context__]
    return found
