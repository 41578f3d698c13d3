"""Where the OAuth redirect listener may listen: the loopback interface and nothing else.

Any other address (the wildcard "0.0.0.0" or "::", the empty text, a LAN address, a host name)
would let another machine deliver or abort the redirect.
"""

from __future__ import annotations

import ipaddress
import socket

_ALLOWED = "127.0.0.0/8, ::1 or localhost"
_IPV6_LOOPBACK = ipaddress.IPv6Address("::1")


def loopback_family(host: object, source: str = "host") -> int:
    """The socket family to bind `host` with; ValueError naming the host unless it is loopback.

    `source` names where the host came from (the argument or an environment variable).
    """
    if isinstance(host, str):
        if host.isascii() and host.lower() == "localhost":
            return socket.AF_INET
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            address = None
        if isinstance(address, ipaddress.IPv4Address) and address.is_loopback:
            return socket.AF_INET
        if address == _IPV6_LOOPBACK:
            return socket.AF_INET6
    raise ValueError(f"{source} must be a loopback address ({_ALLOWED}), not {host!r}")


def check_bound(host: str, sockname: tuple) -> None:
    """After bind: a name such as "localhost" must have resolved to a loopback address."""
    bound = sockname[0]
    try:
        address = ipaddress.ip_address(bound)
    except ValueError:
        address = None
    if address is None or not address.is_loopback:
        raise ValueError(f"host {host!r} resolved to {bound!r}, which is not a loopback address")
