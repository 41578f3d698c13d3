"""Shared helpers of the connector pipeline tests: log extras, metric counts, escape probes."""

from __future__ import annotations

import functools
import logging
import os
import subprocess
import sys

import otel_sdk
import pytest

LOGGER = "runtime.connector_base"
_STANDARD = set(logging.LogRecord("n", logging.INFO, "p", 1, "m", None, None).__dict__) | {"message", "asctime"}


def call_records(caplog):
    """The connector module's records of calls (class registration is not part of a call)."""
    return [r for r in caplog.records if r.name == LOGGER and r.getMessage() != "Registered ConnectorBase subclass"]


def extras(record) -> dict:
    """The `extra` mapping a record was logged with."""
    return {k: v for k, v in record.__dict__.items() if k not in _STANDARD}


def events(records) -> list:
    return [(r.levelname, r.getMessage()) for r in records]


def is_rounded_ms(v) -> bool:
    return isinstance(v, float) and v >= 0 and round(v, 2) == v


def counted(connector_id: str) -> dict:
    """{(success, error_category): (counter total, histogram count)} for one connector."""
    points = otel_sdk.metric_points(connector_id)
    out: dict = {}
    for attrs, point in points.get("connector.invocations", []):
        out[(attrs["success"], attrs["error_category"])] = (point.value, None)
    for attrs, point in points.get("connector.duration_ms", []):
        key = (attrs["success"], attrs["error_category"])
        out[key] = (out.get(key, (None, None))[0], point.count)
    return out


# An exception that leaves `run` (cancellation, a BaseException, a failure while reporting a
# failure) must never take the interpreter down. The cases are first tried in a child process so
# that a crash fails the test that needs them instead of ending the whole test session.
_ESCAPE_PROBE = r"""
import asyncio, sys
from pydantic import BaseModel
from quellon_runtime.connector_base import ConnectorBase, ql_action

class Halt(BaseException):
    pass

class Nameless(type):
    @property
    def __name__(cls):
        raise LookupError("no text")

class Unprintable(Exception, metaclass=Nameless):
    pass

class In(BaseModel):
    how: str

class Out(BaseModel):
    ok: bool = True

class Probe(ConnectorBase):
    connector_id = "escape-probe"
    output_model = Out

    @ql_action("probe.go")
    async def go(self, params: In, *, trace_id: str) -> Out:
        if params.how == "halt":
            raise Halt()
        if params.how == "unprintable":
            raise Unprintable()
        if params.how == "nested-cancel":
            return await self.call_action("probe.go", {"how": "cancel"})
        await asyncio.Event().wait()

async def main(how):
    # only survival is probed here; what leaves run() is checked by the tests themselves
    conn = Probe()
    task = asyncio.ensure_future(conn.run({"how": how}))
    for _ in range(5):
        await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except BaseException:
        pass

asyncio.run(main(sys.argv[1]))
"""


@functools.lru_cache(maxsize=None)
def _probe(case: str):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", _ESCAPE_PROBE, case], env=env, capture_output=True, text=True,
                          timeout=120)
    return proc.returncode, proc.stderr.strip()[-400:]


def require_survivable_escape(case: str) -> None:
    """Fail (rather than crash the session) when `run` kills the interpreter on this escape."""
    rc, err = _probe(case)
    if rc != 0:
        pytest.fail(f"run() with an escaping exception ({case}) ended the interpreter: exit code {rc}; {err}")
