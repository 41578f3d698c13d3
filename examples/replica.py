"""A second replica of the demo host, for the shared throttle backend.

Started by `examples/host.py` when QL_THROTTLE_BACKEND is "redis", with the host's environment. It
answers one command a line on standard input, one JSON line on standard output:

- `consume PRINCIPAL`: the per-identity step of a binding for that principal (the limiter key is
  the principal's fingerprint, as in the host);
- `breaker CONNECTOR TENANT CONFIG`: the state of that connector's breaker for the tenant and
  configuration name, as this replica sees it.

Both read the state the replicas share in Redis, so the host can show one limit and one breaker
holding across two processes.
"""

from __future__ import annotations

import json
import os
import sys


def main() -> int:
    from quellon_runtime.connector_base import get_connector_index
    from quellon_runtime.connector_index import auto_register
    from quellon_runtime.throttle import get_per_identity_throttler, identity_throttle_key, throttle_backend

    auto_register()
    out = sys.stdout
    out.write(json.dumps({"ready": True, "pid": os.getpid(), "backend": throttle_backend()}) + "\n")
    out.flush()
    for line in sys.stdin:
        command, _, rest = line.strip().partition(" ")
        if command == "consume":
            verdict = get_per_identity_throttler().consume(identity_throttle_key(rest, fallback="anonymous"))
            reply = {"allowed": verdict.allowed, "retry_after_seconds": verdict.retry_after_seconds}
        elif command == "breaker":
            connector_id, tenant, config_name = rest.split(" ")
            connector = get_connector_index()[connector_id](tenant_id=tenant, config_name=config_name)
            reply = {"state": connector._breaker_for_tenant(tenant).current_state}
        else:
            reply = {"error": f"unknown command {command!r}"}
        out.write(json.dumps(reply) + "\n")
        out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
