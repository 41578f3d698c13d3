"""Rate limiting: a per-key sliding-window limiter for callers and a process-wide token bucket."""

import asyncio
import logging
import threading
from functools import lru_cache
from typing import Any

from opentelemetry.metrics import Counter, Meter

logger: logging.Logger
_meter: Meter
_throttle_rejections: Counter
_backend_failures: Counter

class ThrottleResult:
    """Outcome of one consume: whether the request is admitted and, if not, the whole seconds to wait."""

    __slots__ = ("allowed", "retry_after_seconds")
    __match_args__ = ("allowed", "retry_after_seconds")
    def __init__(self, allowed: bool, retry_after_seconds: int = 0) -> None:
        """Record the outcome of one consume."""
    @property
    def allowed(self) -> bool:
        """Whether the request is admitted."""
    @property
    def retry_after_seconds(self) -> int:
        """Whole seconds to wait before retrying; 0 when admitted."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class ThrottleExceeded(Exception):
    """Raised when the rate limit has been exceeded."""

class InMemoryThrottler:
    """Per-key sliding-window limiter: at most max_requests admitted requests per key in any window_seconds, over at most max_tracked_keys keys, each dropped after key_ttl_seconds without a call. Thread-safe."""

    def __init__(
        self,
        *,
        max_requests: int,
        window_seconds: int,
        max_tracked_keys: int = 10000,
        key_ttl_seconds: int = 3600,
    ) -> None:
        """Validate and store the settings; the limiter starts with no keys."""
    @property
    def tracked_key_count(self) -> int:
        """Number of keys currently tracked."""
    @property
    def _max_requests(self) -> int: ...
    @property
    def _window_seconds(self) -> float: ...
    @property
    def _max_tracked_keys(self) -> int: ...
    @property
    def _key_ttl_seconds(self) -> float: ...
    def consume(self, key: str) -> ThrottleResult:
        """Count one request for key if the window admits it; never raises to throttle."""

class TokenBucket:
    """Process-wide token bucket: holds up to capacity tokens, refilled at refill_rate tokens per second; each admitted call takes some."""

    capacity: float
    refill_rate: float
    tokens: float
    last_refill: float
    def __init__(self, capacity: float, refill_rate: float) -> None:
        """A full bucket: capacity tokens now, refill_rate more per second."""
    @property
    def _lock(self) -> asyncio.Lock: ...
    async def acquire(self, amount: int = 1) -> None:
        """Take amount tokens after refilling, or raise ThrottleExceeded."""

class RedisThrottler:
    """Per-key sliding-window limiter shared by every process that uses the same Redis: at most max_requests admitted requests per key in any window_seconds of the server's clock; keys idle for key_ttl_seconds expire on the server."""

    __slots__ = ("_core", "__weakref__")
    def __init__(
        self,
        *,
        max_requests: int,
        window_seconds: int,
        max_tracked_keys: int = 10000,
        key_ttl_seconds: int = 3600,
        url: str | None = None,
        failure_mode: str | None = None,
        prefix: str = "ql:throttle:",
    ) -> None: ...
    def consume(self, key: str) -> ThrottleResult:
        """Count one request for key if the shared window admits it; never raises to throttle."""

    async def consume_async(self, key: str) -> ThrottleResult:
        """consume() for callers on the event loop: the round trip does not block the loop."""

    @property
    def tracked_key_count(self) -> int: ...
    @property
    def _max_requests(self) -> int: ...
    @property
    def _window_seconds(self) -> float: ...
    @property
    def _max_tracked_keys(self) -> int: ...
    @property
    def _key_ttl_seconds(self) -> float: ...
    @property
    def failure_mode(self) -> str: ...

class RedisTokenBucket:
    """Token bucket shared by every process that uses the same Redis: holds up to capacity tokens, refilled at refill_rate tokens per second of the server's clock."""

    __slots__ = ("_core", "__weakref__")
    def __init__(
        self,
        capacity: float,
        refill_rate: float,
        *,
        url: str | None = None,
        failure_mode: str | None = None,
        key: str = "ql:bucket:global",
    ) -> None: ...
    async def acquire(self, amount: int = 1) -> None:
        """Take amount tokens from the shared bucket, or raise ThrottleExceeded."""

    @property
    def capacity(self) -> float: ...
    @property
    def refill_rate(self) -> float: ...

burst: float
rate: float
global_throttler: TokenBucket | RedisTokenBucket
_per_identity_limiter: InMemoryThrottler | RedisThrottler | None
_per_identity_limiter_state: dict[str, tuple[object, ...] | None]
_per_identity_limiter_lock: threading.Lock

def _truthy(value: str | None) -> bool: ...
def _env_int(name: str, default: int) -> int: ...
@lru_cache(maxsize=None)
def _warn_legacy_rest_throttle_flag_once() -> None: ...
def per_identity_throttle_enabled() -> bool:
    """Whether the bindings should apply the per-identity limiter."""
def per_identity_throttle_config() -> tuple[int, int, int, int]:
    """(max_requests, window_seconds, max_tracked_keys, key_ttl_seconds) from the environment."""

def get_per_identity_throttler() -> InMemoryThrottler | RedisThrottler:
    """The shared per-identity limiter, rebuilt empty whenever its configuration changes."""
def throttle_backend() -> str:
    """"memory" or "redis", from QL_THROTTLE_BACKEND; ValueError for anything else."""

def _breaker_storage(namespace: str) -> Any: ...
def identity_throttle_key(principal: str | None, *, fallback: str) -> str:
    """Limiter key for an authenticated principal (hashed), or for the fallback when there is none."""
def fingerprint_throttle_credential(token: str, *, salt: bytes) -> str:
    """Limiter key for a raw credential: a salted, deliberately slow PBKDF2 fingerprint."""
