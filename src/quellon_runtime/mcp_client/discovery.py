"""Protected-resource metadata discovery from a WWW-Authenticate header."""

from __future__ import annotations

import re
from typing import Optional

__all__ = ["parse_resource_metadata_url"]

# The parameter name must start a parameter (not be the tail of another name);
# the value is a quoted string (with backslash escapes) or a bare token.
_RESOURCE_METADATA_RE = re.compile(
    r'(?<![\w-])resource_metadata\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s,"]+))',
    re.IGNORECASE,
)
_QUOTED_PAIR_RE = re.compile(r"\\(.)")


def parse_resource_metadata_url(header: Optional[str]) -> Optional[str]:
    """URL of the ``resource_metadata`` parameter, or None when absent or empty."""
    if not header:
        return None
    match = _RESOURCE_METADATA_RE.search(header)
    if match is None:
        return None
    quoted, token = match.groups()
    value = _QUOTED_PAIR_RE.sub(r"\1", quoted) if quoted is not None else token
    value = value.strip()
    return value or None
