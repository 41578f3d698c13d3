"""Capture every log record of every logger and check that no secret reaches one.

Every secret value used by the provider tests contains MARKER, so a single scan of all records
catches a leak wherever it happens (our loggers or the cloud SDKs' own debug logging).
"""

from __future__ import annotations

import contextlib
import logging

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
