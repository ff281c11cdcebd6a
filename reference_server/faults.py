"""Fault injection: make an endpoint misbehave on purpose.

A fault is written ENDPOINT=KIND[:VALUE][:once], for example
"hello=status:503", "play=delay:3000", "beat=fatal:once" or "bye=drop";
"late:MS" serves the request at once (the state changes) and holds only
its answer back, as a slow link on the way back does;
"refuse" answers 200 with ok false and an error text (no update or fatal
flag); "deep[:N]" answers 200 with N nested JSON arrays (512 when not
given), as deep as a client's parser must go.
The hostile kinds test a client against a peer that never finishes:
"endless" and "hugelength[:N]" send body bytes until the peer leaves,
"trickle:MS" and "tricklebody:MS" send one byte every MS ms, "silent" never
answers, and "redirect:PORT" sends a 307 to the same path on another port.
"upgrade" sends a 308 to the same path over https on port 443 of the host
the request named, as an operator who moved the API to https does.
Each endpoint holds at most one fault; setting another replaces it, and the
kind "none" removes it. A fault marked "once" applies to the next matching
request only and is then removed.

The HTTP layer asks `FaultTable.take(endpoint)` for every request and acts
on the answer; this module only parses, stores and hands out faults.
"""

import threading
from dataclasses import dataclass

ENDPOINTS = ("update", "hello", "play", "beat", "bye", "page", "movie", "installer")

# kind -> (value required?, value allowed?, endpoints it makes sense for,
#          example value for the error text)
_KINDS = {
    "status": (True, True, ENDPOINTS, "503"),
    "delay": (True, True, ENDPOINTS, "3000"),
    "late": (True, True, ENDPOINTS, "4000"),
    "drop": (False, False, ENDPOINTS, None),
    "dropbody": (False, True, ENDPOINTS, "10"),
    "truncate": (False, True, ENDPOINTS, "10"),
    "nonjson": (False, False, ENDPOINTS, None),
    "fatal": (False, False, ("beat",), None),
    "deep": (False, True, ENDPOINTS, "512"),
    "refuse": (False, False, ("hello", "play", "beat", "bye"), None),
    "endless": (False, False, ENDPOINTS, None),
    "hugelength": (False, True, ENDPOINTS, "3000000000"),
    "trickle": (True, True, ENDPOINTS, "50"),
    "tricklebody": (True, True, ENDPOINTS, "50"),
    "silent": (False, False, ENDPOINTS, None),
    "redirect": (True, True, ENDPOINTS, "8081"),
    "upgrade": (False, False, ("update", "hello", "play", "beat", "bye"), None),
}
KINDS = tuple(_KINDS)
# Kinds whose answer never finishes, crawls, or points at another server.
HOSTILE_KINDS = ("endless", "hugelength", "trickle", "tricklebody", "silent", "redirect")

MAX_DELAY_MS = 600_000
DEFAULT_DEPTH = 512                     # deep without a value
MAX_DEPTH = 1_000_000
MAX_PACE_MS = 60_000                    # trickle: milliseconds per byte
DEFAULT_HUGE_LENGTH = 3_000_000_000     # hugelength without a value: 3 GB
MAX_HUGE_LENGTH = 10 ** 15


class FaultRuleError(ValueError):
    pass


@dataclass
class Fault:
    endpoint: str
    kind: str
    value: int = None   # status code, delay or pace in ms, bytes kept of the
                        # body, announced length, or redirect port
    once: bool = False
    hits: int = 0

    def describe(self):
        """The fault written back in its own syntax, without the endpoint."""
        text = self.kind if self.value is None else "%s:%d" % (self.kind, self.value)
        return text + (":once" if self.once else "")

    def as_dict(self):
        return {"endpoint": self.endpoint, "kind": self.kind, "value": self.value,
                "once": self.once, "hits": self.hits, "rule": self.rule()}

    def rule(self):
        return "%s=%s" % (self.endpoint, self.describe())


def _parse_value(kind, text):
    try:
        value = int(text)
    except ValueError:
        raise FaultRuleError("%s: value must be a whole number, not %r" % (kind, text)) from None
    if kind == "status" and not 100 <= value <= 599:
        raise FaultRuleError("status: code must be 100 to 599")
    if kind in ("delay", "late") and not 0 <= value <= MAX_DELAY_MS:
        raise FaultRuleError("%s: milliseconds must be 0 to %d" % (kind, MAX_DELAY_MS))
    if kind in ("dropbody", "truncate") and value < 0:
        raise FaultRuleError("%s: byte count must not be negative" % kind)
    if kind in ("trickle", "tricklebody") and not 1 <= value <= MAX_PACE_MS:
        raise FaultRuleError("%s: milliseconds per byte must be 1 to %d" % (kind, MAX_PACE_MS))
    if kind == "hugelength" and not 1 <= value <= MAX_HUGE_LENGTH:
        raise FaultRuleError("hugelength: announced length must be 1 to %d" % MAX_HUGE_LENGTH)
    if kind == "deep" and not 1 <= value <= MAX_DEPTH:
        raise FaultRuleError("deep: nesting must be 1 to %d" % MAX_DEPTH)
    if kind == "redirect" and not 1 <= value <= 65535:
        raise FaultRuleError("redirect: port must be 1 to 65535")
    return value


def make_fault(endpoint, kind, value=None, once=False):
    """Validate the parts of a fault; kind "none" gives None (= clear)."""
    endpoint = (endpoint or "").strip().lower()
    kind = (kind or "").strip().lower()
    if endpoint not in ENDPOINTS:
        raise FaultRuleError("unknown endpoint %r (one of %s)" % (endpoint, ", ".join(ENDPOINTS)))
    if kind in ("none", "off", "clear"):
        return None
    if kind not in _KINDS:
        raise FaultRuleError("unknown fault kind %r (one of %s, none)" % (kind, ", ".join(KINDS)))
    required, allowed, endpoints, example = _KINDS[kind]
    if endpoint not in endpoints:
        raise FaultRuleError("%s applies only to %s" % (kind, ", ".join(endpoints)))
    if value is None and required:
        raise FaultRuleError("%s needs a value, e.g. %s:%s" % (kind, kind, example))
    if value is not None and not allowed:
        raise FaultRuleError("%s takes no value" % kind)
    if value is not None:
        value = _parse_value(kind, str(value))
    return Fault(endpoint, kind, value, bool(once))


def parse_fault_rule(rule):
    """Parse "ENDPOINT=KIND[:VALUE][:once]" into (endpoint, Fault or None)."""
    endpoint, sep, rest = rule.partition("=")
    if not sep or not rest:
        raise FaultRuleError("expected ENDPOINT=KIND[:VALUE][:once], got %r" % rule)
    parts = rest.split(":")
    once = False
    if len(parts) > 1 and parts[-1].strip().lower() == "once":
        once = True
        parts.pop()
    if len(parts) > 2:
        raise FaultRuleError("too many ':' parts in %r" % rule)
    value = parts[1] if len(parts) == 2 else None
    fault = make_fault(endpoint, parts[0], value, once)
    return endpoint.strip().lower(), fault


class FaultTable:
    """The faults in force, one per endpoint, safe across threads."""

    def __init__(self):
        self._lock = threading.Lock()
        self._faults = {}

    def set(self, endpoint, fault):
        with self._lock:
            if fault is None:
                self._faults.pop(endpoint, None)
            else:
                self._faults[endpoint] = fault

    def clear(self):
        with self._lock:
            self._faults.clear()

    def take(self, endpoint):
        """The fault for one request, removing it when it was "once"."""
        with self._lock:
            fault = self._faults.get(endpoint)
            if fault is None:
                return None
            fault.hits += 1
            if fault.once:
                del self._faults[endpoint]
            return fault

    def snapshot(self):
        with self._lock:
            return [f.as_dict() for f in self._faults.values()]
