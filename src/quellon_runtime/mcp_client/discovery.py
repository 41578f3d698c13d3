"""Protected-resource metadata discovery from a WWW-Authenticate header."""

from __future__ import annotations

import re
from typing import Optional

__all__ = ["parse_resource_metadata_url"]

_NAME = "resource_metadata"

# The parameter name must start a parameter (not be the tail of another name);
# the value is a quoted string (with backslash escapes) or a bare token.
# The name comes first and the boundary is checked behind it, so the engine only
# looks behind where the name is; the quoted form is written as an unrolled loop.
_RESOURCE_METADATA_RE = re.compile(
    r'resource_metadata(?<![\w-]resource_metadata)\s*=\s*'
    r'(?:"([^"\\]*(?:\\.[^"\\]*)*)"|([^\s,"]+))',
    re.IGNORECASE,
)
_QUOTED_PAIR_RE = re.compile(r"\\(.)")


def parse_resource_metadata_url(header: Optional[str]) -> Optional[str]:
    """URL of the ``resource_metadata`` parameter, or None when absent or empty."""
    if not header:
        return None
    # Every character the pattern accepts in the name case-folds to the ASCII
    # name, so the folded text tells cheaply whether a match is possible and,
    # when folding kept the length (offsets agree), where to start searching.
    folded = header.casefold()
    start = folded.find(_NAME)
    if start < 0:
        return None
    match = _RESOURCE_METADATA_RE.search(header, start if len(folded) == len(header) else 0)
    if match is None:
        return None
    quoted, token = match.groups()
    if quoted is None:
        value = token
    elif "\\" in quoted:
        value = _QUOTED_PAIR_RE.sub(r"\1", quoted)
    else:
        value = quoted
    value = value.strip()
    return value or None
