"""A throwaway redis-server on a free loopback port, with no persistence, for the shared-backend tests.

`RedisServer` can be stopped and started again on the same port (an outage seen by the clients);
`redis_server` is the pytest fixture, which skips with a reason when redis-server is not installed.
"""

from __future__ import annotations

import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

REDIS_SERVER = shutil.which("redis-server") or (
    "/usr/bin/redis-server" if shutil.which("/usr/bin/redis-server") else None
)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    def __init__(self, port: int | None = None):
        if REDIS_SERVER is None:
            raise RuntimeError("redis-server is not installed")
        self.port = port or free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self._dir = tempfile.TemporaryDirectory(prefix="ql-redis-")
        self._proc: subprocess.Popen | None = None

    def start(self) -> "RedisServer":
        args = [
            REDIS_SERVER, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "", "--appendonly", "no",
            "--dir", self._dir.name, "--daemonize", "no", "--protected-mode", "yes", "--loglevel", "warning",
            "--enable-debug-command", "local",
        ]
        self._proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                raise RuntimeError(f"redis-server exited with {self._proc.returncode}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        return self
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError("redis-server did not answer within 10 s")

    def stop(self) -> None:
        if self._proc is not None and self._proc.poll() is None:
            if hasattr(signal, "SIGCONT"):
                self._proc.send_signal(signal.SIGCONT)  # a hung server would not hear the SIGTERM
            self._proc.terminate()
            try:
                self._proc.wait(5)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait(5)
        self._proc = None

    def flush(self) -> None:
        self.client().flushall()

    def client(self):
        import redis

        return redis.Redis.from_url(self.url)

    def pause(self) -> None:
        """Hang the server (SIGSTOP): connections stay open and nothing answers."""
        self._proc.send_signal(signal.SIGSTOP)

    def resume(self) -> None:
        self._proc.send_signal(signal.SIGCONT)

    def close(self) -> None:
        self.stop()
        self._dir.cleanup()


@pytest.fixture(scope="module")
def redis_server():
    if REDIS_SERVER is None:
        pytest.skip("redis-server is not installed (Debian package redis-server)")
    server = RedisServer().start()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def own_server():
    """A server of the test's own, which it may stop, hang or reconfigure."""
    try:
        srv = RedisServer().start()
    except RuntimeError as exc:
        pytest.skip(str(exc))
    try:
        yield srv
    finally:
        srv.close()
