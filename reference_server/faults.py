"""Fault injection: make an endpoint misbehave on purpose.

A fault is written ENDPOINT=KIND[:VALUE][:once], for example
"hello=status:503", "play=delay:3000", "beat=fatal:once" or "bye=drop";
"refuse" answers 200 with ok false and an error text (no update or fatal
flag).
Each endpoint holds at most one fault; setting another replaces it, and the
kind "none" removes it. A fault marked "once" applies to the next matching
request only and is then removed.

The HTTP layer asks `FaultTable.take(endpoint)` for every request and acts
on the answer; this module only parses, stores and hands out faults.
"""

import threading
from dataclasses import dataclass

ENDPOINTS = ("update", "hello", "play", "beat", "bye", "page", "movie")

# kind -> (value required?, value allowed?, endpoints it makes sense for)
_KINDS = {
    "status": (True, True, ENDPOINTS),
    "delay": (True, True, ENDPOINTS),
    "drop": (False, False, ENDPOINTS),
    "dropbody": (False, True, ENDPOINTS),
    "truncate": (False, True, ENDPOINTS),
    "nonjson": (False, False, ENDPOINTS),
    "fatal": (False, False, ("beat",)),
    "refuse": (False, False, ("hello", "play", "beat", "bye")),
}
KINDS = tuple(_KINDS)

MAX_DELAY_MS = 600_000


class FaultRuleError(ValueError):
    pass


@dataclass
class Fault:
    endpoint: str
    kind: str
    value: int = None   # status code, delay in ms, or bytes kept of the body
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
    if kind == "delay" and not 0 <= value <= MAX_DELAY_MS:
        raise FaultRuleError("delay: milliseconds must be 0 to %d" % MAX_DELAY_MS)
    if kind in ("dropbody", "truncate") and value < 0:
        raise FaultRuleError("%s: byte count must not be negative" % kind)
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
    required, allowed, endpoints = _KINDS[kind]
    if endpoint not in endpoints:
        raise FaultRuleError("%s applies only to %s" % (kind, ", ".join(endpoints)))
    if value is None and required:
        raise FaultRuleError("%s needs a value, e.g. %s:%s" % (
            kind, kind, "503" if kind == "status" else "3000"))
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
