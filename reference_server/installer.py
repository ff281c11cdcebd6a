"""The release installer the server offers with update answers (--installer).

The file is read once at start-up and served as it is, or changed on
purpose by one of the --installer-fault modes, each of which gives a
client's installer download something it must refuse:

  wrong-hash  the update answer announces a SHA-256 that is not the file's
  oversize    64 KiB more bytes are served than the answer announces
  endless     the file's bytes and then filler until the peer leaves, no length
  tampered    one byte in the middle of the signed content flipped; hash and
              size announced are those of the tampered bytes
  unsigned    the Authenticode signature cut off (security directory zeroed,
              the file ended at the certificate table); hash and size are
              those of the bytes served

Standard library only.
"""

import hashlib
import os
import struct
from dataclasses import dataclass

MAX_SIZE = 512 * 1024 * 1024
OVERSIZE = 64 * 1024
FAULTS = ("wrong-hash", "oversize", "endless", "tampered", "unsigned")
SECURITY_DIRECTORY = 4          # index of the certificate table in the data directories


class InstallerError(ValueError):
    """The installer file cannot be offered; the message names the file."""


@dataclass(frozen=True)
class Installer:
    name: str        # the file's base name: served at /download/<name>
    body: bytes      # what a GET sends (an endless answer sends filler after it)
    sha256: str      # announced in update answers
    size: int        # announced in update answers
    fault: str = ""  # one of FAULTS, or ""


def load(path, fault=""):
    """The installer of `path` as it will be served and announced, or
    InstallerError for a file that cannot be read, is no Windows program
    (no "MZ"), is over 512 MiB, or has no signature a fault mode needs."""
    where = "--installer %s" % path
    name = os.path.basename(path)
    if not name:
        raise InstallerError("%s: names no file" % where)
    try:
        with open(path, "rb") as f:
            if os.fstat(f.fileno()).st_size > MAX_SIZE:
                raise InstallerError("%s: larger than 512 MiB" % where)
            data = f.read(MAX_SIZE + 1)
    except OSError as e:
        raise InstallerError("%s: %s" % (where, e.strerror or e)) from None
    if len(data) > MAX_SIZE:
        raise InstallerError("%s: larger than 512 MiB" % where)
    if not data.startswith(b"MZ"):
        raise InstallerError("%s: not a Windows program (no MZ header)" % where)
    if fault in ("tampered", "unsigned"):
        entry, table = certificate_table(data, where)
        if fault == "tampered":
            # Midway between the security directory entry and the certificate
            # table: past the checksum and the entry, which the signature
            # leaves out, so the flipped byte is one it covers.
            at = (entry + 8 + table) // 2
            data = data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]
        else:
            data = data[:entry] + bytes(8) + data[entry + 8:table]
    sha256, size, body = hashlib.sha256(data).hexdigest(), len(data), data
    if fault == "wrong-hash":
        sha256 = sha256[:-1] + ("1" if sha256[-1] == "0" else "0")
    elif fault == "oversize":
        body = data + b"\0" * OVERSIZE
    return Installer(name, body, sha256, size, fault)


def certificate_table(data, where="installer"):
    """(offset of the security directory entry, offset of the certificate
    table) of a signed PE file: the optional header's data directory 4 gives
    where the signature lies, at the end of the file."""
    try:
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise InstallerError("%s: no PE header" % where)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic not in (0x10B, 0x20B):
            raise InstallerError("%s: unknown optional header 0x%x" % (where, magic))
        directories = optional + (96 if magic == 0x10B else 112)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        entry = directories + 8 * SECURITY_DIRECTORY
        if count <= SECURITY_DIRECTORY or entry + 8 > optional + optional_size:
            raise InstallerError("%s: no security directory" % where)
        table, length = struct.unpack_from("<II", data, entry)
    except struct.error:
        raise InstallerError("%s: PE header cut short" % where) from None
    if not length or table <= entry + 8 or table + length > len(data):
        raise InstallerError("%s: not signed (no certificate table within the file)" % where)
    return entry, table
