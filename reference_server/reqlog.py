"""The machine-readable request log.

One JSON object per request, kept in memory (for GET /_control/log) and,
with --log-file, appended to a file as one line each, flushed at once so a
test can read the file while the server runs. What is learnt about a request
after its line was written (how a hostile answer ended) follows as a line
{"amends": SEQ, ...} of its own.
"""

import collections
import json
import threading

MEMORY_ENTRIES = 10_000


class RequestLog:
    def __init__(self, path=None):
        self._lock = threading.Lock()
        self._entries = collections.deque(maxlen=MEMORY_ENTRIES)
        self._next_seq = 1
        self._file = open(path, "a", encoding="utf-8") if path else None

    def add(self, entry):
        """Number the entry, keep it and write it out; returns the number."""
        with self._lock:
            entry = dict(entry, seq=self._next_seq)
            self._next_seq += 1
            self._entries.append(entry)
            if self._file is not None:
                self._file.write(json.dumps(entry, ensure_ascii=False) + "\n")
                self._file.flush()
            return entry["seq"]

    def amend(self, seq, **fields):
        """Add fields to entry `seq`, kept and in the file, where they go as a
        line of their own, {"amends": seq, ...}, for readers to fold in."""
        with self._lock:
            for entry in self._entries:
                if entry["seq"] == seq:
                    entry.update(fields)
                    break
            if self._file is not None:
                self._file.write(json.dumps(dict(fields, amends=seq), ensure_ascii=False) + "\n")
                self._file.flush()

    def since(self, seq=0):
        """Entries with a number above `seq`, oldest first."""
        with self._lock:
            return [e for e in self._entries if e["seq"] > seq]

    def last_seq(self):
        with self._lock:
            return self._next_seq - 1

    def clear(self):
        """Forget the kept entries. Numbers keep counting and the file is
        left alone, so a reader of the file never sees a number twice."""
        with self._lock:
            self._entries.clear()

    def close(self):
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None
