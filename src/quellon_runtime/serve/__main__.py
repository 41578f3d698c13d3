"""``python -m quellon_runtime.serve`` (console script ``quellon-serve``): serve the allowed connectors."""

from __future__ import annotations

import argparse
import asyncio
import logging
import sys
from typing import Optional, Sequence

__all__ = ["main", "build_parser"]


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quellon-serve",
        description="Serve the connectors named in QL_ALLOWED_CONNECTORS over MCP and REST. "
        "Every flag has a QL_SERVE_* variable; the flag wins.",
    )
    p.add_argument("--host", help="address to listen on (QL_SERVE_HOST, default 127.0.0.1)")
    p.add_argument("--port", type=int, help="port, 0 for any free one (QL_SERVE_PORT, default 8000)")
    p.add_argument("--protocols", help="mcp,rest or one of them (QL_SERVE_PROTOCOLS)")
    p.add_argument("--factory", help="module:callable building a connector from its class (QL_SERVE_FACTORY)")
    p.add_argument("--max-body-bytes", type=int, help="largest request body (QL_SERVE_MAX_BODY_BYTES)")
    p.add_argument("--drain-seconds", type=float, help="how long shutdown waits for in-flight calls (QL_SERVE_DRAIN_SECONDS)")
    p.add_argument("--stdio", action="store_true", help="serve MCP over stdin/stdout for a local desktop client")
    p.add_argument("--check", action="store_true", help="print what would be served and exit")
    p.add_argument("--log-level", default="INFO", help="log level (default INFO)")
    return p


async def _amain(args: argparse.Namespace) -> int:
    from .app import build_app, load_connectors, load_factory, serve, summary
    from .callpath import CallPath
    from .settings import ServeSettings

    flags = {
        "host": args.host,
        "port": args.port,
        "factory": args.factory,
        "max_body_bytes": args.max_body_bytes,
        "drain_seconds": args.drain_seconds,
    }
    if args.protocols:
        from .settings import _protocols

        flags["protocols"] = _protocols("--protocols", args.protocols)
    settings = ServeSettings.from_env(**flags)
    connectors = await load_connectors(load_factory(settings.factory))
    callpath = CallPath(connectors, settings)
    if args.stdio:
        from .mcp import run_stdio  # type: ignore[import-not-found,unused-ignore]

        token = settings.stdio_token
        await run_stdio(callpath, authorization=f"Bearer {token}" if token else None)
        return 0
    app = build_app(callpath, settings)
    if args.check:
        print(summary(app), file=sys.stderr)
        return 0
    await serve(app)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    # stdout belongs to the stdio transport; logs go to stderr
    logging.basicConfig(level=args.log_level.upper(), stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    try:
        return asyncio.run(_amain(args))
    except (ValueError, ImportError) as exc:
        print(f"quellon-serve: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
