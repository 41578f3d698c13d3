"""WWW-Authenticate challenge parsing: the record, the recognised parameters, and a seeded fuzzer
comparing the native parser with a reference built from the three regular expressions."""

import dataclasses
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from quellon_runtime.mcp_client import challenges
from quellon_runtime.mcp_client.challenges import WwwAuthenticateChallenge, parse_www_authenticate
from quellon_runtime.mcp_client.discovery import parse_resource_metadata_url

ERROR = re.compile(r'error\s*=\s*"([^"]+)"', re.IGNORECASE)
SCOPE = re.compile(r'scope\s*=\s*"([^"]+)"', re.IGNORECASE)
DESCRIPTION = r'error_description\s*=\s*"([^"]+)"'


def reference(header):
    if header is None or not header.strip():
        return None
    raw = header.strip()
    group = lambda m: m.group(1) if m else None  # noqa: E731
    return (raw.split(" ", 1)[0], group(ERROR.search(raw)),
            group(re.search(DESCRIPTION, raw, re.IGNORECASE)),
            parse_resource_metadata_url(raw), group(SCOPE.search(raw)), raw)


def fields(c):
    return None if c is None else (c.scheme, c.error, c.error_description, c.resource_metadata, c.scope, c.raw)


@pytest.mark.parametrize("header, expected, flags", [
    ('Bearer error="invalid_token", error_description="The access token expired"',
     ("Bearer", "invalid_token", "The access token expired", None, None), (True, False, True)),
    ('Bearer error="insufficient_scope", scope="files:read files:write"',
     ("Bearer", "insufficient_scope", None, None, "files:read files:write"), (False, True, False)),
    ('Bearer realm="example"', ("Bearer", None, None, None, None), (False, False, True)),
    ("Bearer error=invalid_token", ("Bearer", None, None, None, None), (False, False, True)),
    ('Bearer ERROR="Invalid_Token"', ("Bearer", "Invalid_Token", None, None, None), (True, False, True)),
    ('Bearer error="", scope=""', ("Bearer", None, None, None, None), (False, False, True)),
    ('Bearer error_description="only a description"',
     ("Bearer", None, "only a description", None, None), (False, False, True)),
    ('Basic realm="staging"', ("Basic", None, None, None, None), (False, False, True)),
    ("Bearer", ("Bearer", None, None, None, None), (False, False, True)),
    ('Bearer error="invalid_request", resource_metadata="https://rs.example/.well-known/oauth-protected-resource"',
     ("Bearer", "invalid_request", None, "https://rs.example/.well-known/oauth-protected-resource", None),
     (False, False, False)),
    # first match anywhere, regardless of challenge boundaries; whitespace around "=" is Unicode
    ('Newauth error = "a", Bearer error="b" scope\u3000=\xa0"x y"',
     ("Newauth", "a", None, None, "x y"), (False, False, False)),
    # the host's case-insensitive matching accepts the long s and dotted/dotless i in the names
    ('Bearer \u017fcope="s" error_de\u017fcr\u0131pt\u0130on="d"', ("Bearer", None, "d", None, "s"), (False, False, True)),
    ("Bearer\trealm=x", ("Bearer\trealm=x", None, None, None, None), (False, False, True)),
])
def test_parameters_and_properties(header, expected, flags):
    c = parse_www_authenticate("  \t" + header + " \n")
    assert fields(c) == expected + (header,)
    assert (c.is_invalid_token, c.is_insufficient_scope, c.treat_as_unauthorized) == flags


def test_absent_blank_and_wrong_types():
    for blank in (None, "", "   ", "\t\r\n\u3000"):
        assert parse_www_authenticate(blank) is None
    assert parse_www_authenticate(header_value="Bearer").scheme == "Bearer"
    for bad in (b"Bearer", 1, ["Bearer"]):
        with pytest.raises(TypeError, match="header_value"):
            parse_www_authenticate(bad)
    with pytest.raises(TypeError):
        parse_www_authenticate()


def test_record_is_a_frozen_value():
    args = ("Bearer", "invalid_token", None, None, "a", "Bearer x")
    c = WwwAuthenticateChallenge(*args)
    assert c == WwwAuthenticateChallenge(**dict(zip(WwwAuthenticateChallenge.__match_args__, args)))
    assert hash(c) == hash(WwwAuthenticateChallenge(*args)) and c != WwwAuthenticateChallenge(*args[:-1], "y")
    with pytest.raises(dataclasses.FrozenInstanceError):
        c.error = None
    assert repr(c).startswith("WwwAuthenticateChallenge(scheme='Bearer', error='invalid_token'")
    assert WwwAuthenticateChallenge.__module__ == "quellon_runtime.mcp_client.challenges"
    with pytest.raises(TypeError):
        WwwAuthenticateChallenge("Bearer")
    # the properties follow str.lower(): the Kelvin sign lower-cases to "k"
    assert WwwAuthenticateChallenge("B", "INVALID_TO\u212aEN", None, None, None, "B").is_invalid_token
    empty = WwwAuthenticateChallenge("B", "", None, None, None, "B")
    assert not (empty.is_invalid_token or empty.is_insufficient_scope or empty.treat_as_unauthorized)
    assert (challenges._ERROR_RE.pattern, challenges._SCOPE_RE.pattern) == (ERROR.pattern, SCOPE.pattern)
    assert challenges._ERROR_RE.flags & re.IGNORECASE and challenges._SCOPE_RE.flags & re.IGNORECASE


def test_resource_metadata_lookup_is_called_once_and_its_errors_propagate():
    # The lookup is bound when the module loads, so it is replaced in a fresh interpreter.
    script = r"""
import quellon_runtime.mcp_client.discovery as d
calls = []
class Url(str): pass
def lookup(raw):
    calls.append(raw)
    if "boom" in raw:
        raise LookupError(raw)
    return Url("https://meta")
d.parse_resource_metadata_url = lookup
from quellon_runtime.mcp_client.challenges import parse_www_authenticate
c = parse_www_authenticate("  Bearer realm=x ")
assert calls == ["Bearer realm=x"] and type(c.resource_metadata) is Url, (calls, c)
try:
    parse_www_authenticate("Bearer boom")
except LookupError as e:
    assert e.args == ("Bearer boom",)
else:
    raise AssertionError("not raised")
"""
    subprocess.run([sys.executable, "-c", script], check=True)


TOKENS = ["error", "ERROR", "Error", "error_description", "scope", "SCOPE", "\u017fcope", "error_de\u017fcr\u0131ption",
          "resource_metadata", "=", '"', '""', "\\", ",", " ", "  ", "\t", "\n", "\u3000", "\xa0", "\x1c",
          "Bearer", "Basic", "realm", "invalid_token", "x", "\u212a", "\udcff", "\U0001f600", "https://rs/m"]
headers = st.one_of(
    st.text(),
    st.binary().map(lambda b: b.decode("utf-8", "surrogateescape")),
    st.binary().map(lambda b: b.decode("latin-1")),
    st.lists(st.sampled_from(TOKENS), max_size=24).map("".join),
)


@settings(max_examples=300, derandomize=True, deadline=None)
@given(headers)
def test_fuzz_matches_the_regular_expressions(header):
    c = parse_www_authenticate(header)
    assert fields(c) == reference(header)
    if c is not None:
        assert c.treat_as_unauthorized == (c.error is None or c.error.lower() == "invalid_token")


def test_long_inputs():
    for header in ['Bearer ' + 'error="' * 20000, "error" + " " * 100000 + '= "v"', 'scope="' + "x" * 200000]:
        assert fields(parse_www_authenticate(header)) == reference(header)


PLAIN_METADATA = re.compile(r'(?<![\w-])resource_metadata\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s,"]+))', re.IGNORECASE)


@settings(max_examples=300, derandomize=True, deadline=None)
@given(st.one_of(headers, st.lists(st.sampled_from(TOKENS + ["RESOURCE_METADATA", "re\u017fource_metadata", "x_",
                                                             "-", "\\\"", "\xdf", "\u0130", "\ufb01"]),
                                   max_size=16).map("".join)))
def test_resource_metadata_lookup_agrees_with_a_plain_search(header):
    # the lookup skips text that cannot hold the name and starts at the first candidate
    m = PLAIN_METADATA.search(header)
    value = None if m is None else (re.sub(r"\\(.)", r"\1", m[1]) if m[1] is not None else m[2]).strip()
    assert parse_resource_metadata_url(header) == (value or None)


# The resource_metadata value is found by a native scan while discovery binds its own function;
# it must agree with that function on everything, in text of every width.
METADATA_TOKENS = ["resource_metadata", "RESOURCE_METADATA", "re\u017fource_metadata", "Resource_Metadata", "=",
                   " = ", '"', '\\"', "\\", "\\\\", "\\\n", "\n", ",", " ", "\t", "\u3000", "\x85", "-", "_", "x",
                   "\xe9", "\u0130", "\xdf", "\ufb01", "\U0001f600", "\udcff", "https://rs/.well-known/m", "  v  ",
                   "Bearer ", "a-", "error=", 'realm="r", ']


@settings(max_examples=400, derandomize=True, deadline=None)
@given(st.lists(st.sampled_from(METADATA_TOKENS), max_size=14).map("".join))
def test_native_metadata_scan_matches_the_discovery_function(header):
    c = parse_www_authenticate(header)
    expected = parse_resource_metadata_url(header.strip()) if header.strip() else None
    assert (None if c is None else c.resource_metadata) == expected


def test_a_replaced_discovery_function_is_used_instead_of_the_scan(monkeypatch):
    import quellon_runtime.mcp_client.discovery as discovery

    samples = ['Bearer resource_metadata="https://m/\\"q\\"" ', "Bearer resource_metadata=tok,x",
               'Basic realm="r"', 'x-resource_metadata="no" RESOURCE_METADATA = " y "']
    native = [parse_www_authenticate(h).resource_metadata for h in samples]
    calls = []

    def spy(raw):
        calls.append(raw)
        return parse_resource_metadata_url(raw)

    monkeypatch.setattr(discovery, "parse_resource_metadata_url", spy)
    assert [parse_www_authenticate(h).resource_metadata for h in samples] == native
    assert native == ["https://m/\"q\"", "tok", None, "y"] and calls == [h.strip() for h in samples]
    monkeypatch.undo()
    parse_www_authenticate(samples[0])
    assert len(calls) == len(samples)  # the stock function is back: the scan again
