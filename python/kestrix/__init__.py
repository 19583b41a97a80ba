"""Kestrix for Python: check, read and unpack DZ firmware containers.

A DZ container is a phone firmware package: a main header, a series of sub-files packed with
deflate, and an offset table, each guarded by markers and MD5 digests. This module gives every
check and every byte at native speed, with the verdicts of the kestrix and kx programs::

    import kestrix

    with kestrix.open("firmware.dz") as dz:
        print(dz.header.model, len(dz))
        for result in dz.test_all():
            if not result:
                print(result.entry.name, result.code, result.reason)
        boot = dz.read("boot.img")                # bytes, proven against its digest
        with dz.open_entry(dz[3]) as stream:       # inflated as it is read, memory flat
            ...
        dz.extract(folder="out")                   # each output whole or not at all

Failures carry the codes ``kx --json`` gives (such as ``"content-digest"``) and an English
reason: ``ContainerError`` for the container, ``EntryError`` for an entry.
"""

from __future__ import annotations

import collections
import concurrent.futures
import datetime
import io
import os
import threading
from dataclasses import dataclass, field
from typing import Iterator, Optional, Sequence, Union

from . import _kestrix

__all__ = [
    "ContainerError",
    "EntryError",
    "Header",
    "Entry",
    "Output",
    "Result",
    "Extracted",
    "Packed",
    "Container",
    "open",
    "pack",
]


class ContainerError(Exception):
    """The container failed a check: ``code`` as ``kx --json`` names it, ``reason`` in English."""

    def __init__(self, code: str, reason: str) -> None:
        super().__init__(f"{reason} ({code})")
        self.code = code
        self.reason = reason


class EntryError(ContainerError):
    """An entry failed: its packed data, its content or its header. ``entry`` is the entry."""

    def __init__(self, entry: "Entry", code: str, reason: str) -> None:
        super().__init__(code, reason)
        self.entry = entry
        self.args = (f"entry {entry.index} ({entry.name}): {reason} ({code})",)


def _text(stored: bytes) -> str:
    return stored.decode("utf-8", "replace")


# A Windows file time counts 100 ns intervals from this moment.
_FILE_TIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)


def _time_of(file_time: int) -> Optional[datetime.datetime]:
    try:
        return _FILE_TIME_EPOCH + datetime.timedelta(microseconds=file_time // 10)
    except OverflowError:
        return None  # past the year 9999


@dataclass(frozen=True)
class Header:
    """The main header. Texts are the stored bytes up to their first zero (``*_bytes``), read
    as UTF-8; ``created`` is None when the stored time lies past the year 9999."""

    status: str
    reason: str
    model: str
    internal_name: str
    chip: str
    file_name: str
    version: int
    count: int
    created: Optional[datetime.datetime]
    creation_time: int
    model_bytes: bytes = field(repr=False)
    internal_name_bytes: bytes = field(repr=False)
    chip_bytes: bytes = field(repr=False)
    file_name_bytes: bytes = field(repr=False)
    raw: bytes = field(repr=False)


@dataclass(frozen=True)
class Entry:
    """An entry of the offset table. ``index`` counts from 1 in table order; ``digest`` is the
    content's MD5 in hex as its header stores it; ``status`` is "ok" or what its sub-file header
    or name failed; ``output_name`` is the file it is piece ``piece`` of ``pieces`` of (None, 0
    and 0 when its header or name failed)."""

    index: int
    type: int
    offset: int
    name: str
    name_bytes: bytes
    packed_size: int
    digest: str
    status: str
    reason: str
    output_name: Optional[str]
    piece: int
    pieces: int


@dataclass(frozen=True)
class Output:
    """A file the entries make: its pieces joined in table order."""

    name: str
    pieces: tuple


@dataclass(frozen=True)
class Result:
    """What proving an entry found: true when its content matches its digest."""

    entry: Entry
    code: str
    reason: str
    unpacked_size: int

    def __bool__(self) -> bool:
        return self.code == "ok"


@dataclass(frozen=True)
class Extracted:
    """What became of an output: ``outcome`` is "extracted" (``size`` bytes written whole),
    "kept" (a file stood at its name and was kept), "exists" (one stood there and was left, and
    the output was not written) or "failed" (``code`` and ``reason`` say why, ``entry`` is the
    first piece that failed, ``detail`` the system's words for a failed write). True when
    extracted or kept."""

    output: Output
    outcome: str
    code: str
    reason: str
    entry: Optional[Entry]
    detail: str
    size: int

    def __bool__(self) -> bool:
        return self.outcome in ("extracted", "kept")


@dataclass(frozen=True)
class Packed:
    """A container packed: its entries, how many were copied unchanged from the original, and
    its size in bytes."""

    entries: int
    copied: int
    size: int


EntryKey = Union[Entry, int, str]


class _EntryStream(io.RawIOBase):
    """An entry's content, inflated as it is read; EntryError at its end when it is not the
    content its digest names."""

    def __init__(self, container: "Container", entry: Entry) -> None:
        super().__init__()
        self._entry = entry
        self._reader = _kestrix.EntryReader(container._native_open(), entry.index - 1)

    def readable(self) -> bool:
        return True

    def close(self) -> None:
        super().close()
        self._reader = None  # lets the container go

    def readinto(self, buffer) -> int:
        if self.closed:
            raise ValueError("I/O operation on a closed entry stream")
        count = self._reader.readinto(memoryview(buffer).cast("B"))
        if count == 0 and len(buffer) > 0:
            code, reason, _ = self._reader.proof()
            if code != "ok":
                raise EntryError(self._entry, code, reason)
        return count


class Container:
    """An open container and its survey. Use it in a ``with`` block, or close() it."""

    def __init__(self, path: Union[str, os.PathLike]) -> None:
        try:
            native = _kestrix.Container(os.fsencode(path))
        except OSError as failure:  # named as the caller named it, str or bytes
            raise OSError(failure.errno, failure.strerror, os.fspath(path)) from None
        self._native: Optional[_kestrix.Container] = native
        values = native.header()
        self.header = Header(
            status=values["status"],
            reason=values["reason"],
            model=_text(values["model"]),
            internal_name=_text(values["internal_name"]),
            chip=_text(values["chip"]),
            file_name=_text(values["file_name"]),
            version=values["version"],
            count=values["count"],
            created=_time_of(values["creation_time"]),
            creation_time=values["creation_time"],
            model_bytes=values["model"],
            internal_name_bytes=values["internal_name"],
            chip_bytes=values["chip"],
            file_name_bytes=values["file_name"],
            raw=values["raw"],
        )
        self.table_status, self._table_reason, self.cut_short = native.table()
        self._entries = tuple(
            Entry(
                index=values["index"] + 1,
                type=values["type"],
                offset=values["offset"],
                name=_text(values["name"]),
                name_bytes=values["name"],
                packed_size=values["packed_size"],
                digest=values["digest"].hex(),
                status=values["status"],
                reason=values["reason"],
                output_name=os.fsdecode(values["output_name"]) if values["output_name"] else None,
                piece=values["piece"],
                pieces=values["pieces"],
            )
            for values in native.entries()
        )
        self._outputs = tuple(
            Output(os.fsdecode(name), tuple(self._entries[i] for i in pieces))
            for name, pieces in native.outputs()
        )

    # The container's life.
    def close(self) -> None:
        """Closes the container; entry streams still open keep reading it until they close."""
        if self._native is not None:
            self._native.close()
            self._native = None

    @property
    def closed(self) -> bool:
        return self._native is None

    def __enter__(self) -> "Container":
        return self

    def __exit__(self, *exception) -> None:
        self.close()

    def _native_open(self) -> _kestrix.Container:
        if self._native is None:
            raise ValueError("I/O operation on a closed container")
        return self._native

    # The survey.
    @property
    def header_status(self) -> str:
        """The main header's verdict: "ok", or the code of what is wrong with it."""
        return self.header.status

    @property
    def length(self) -> int:
        return self._native_open().length()

    @property
    def outputs(self) -> tuple:
        """The files the entries make, each with its pieces."""
        self._native_open()
        return self._outputs

    def check(self) -> None:
        """Checks the main header, the table and every sub-file header and name, without
        unpacking: ContainerError (EntryError for an entry) for the first that fails."""
        self._native_open()
        if self.header.status != "ok":
            raise ContainerError(self.header.status, self.header.reason)
        if self.table_status != "ok":
            raise ContainerError(self.table_status, self._table_reason)
        for entry in self._entries:
            if entry.status != "ok":
                raise EntryError(entry, entry.status, entry.reason)

    def __len__(self) -> int:
        self._native_open()
        return len(self._entries)

    def __iter__(self) -> Iterator[Entry]:
        self._native_open()
        return iter(self._entries)

    def __getitem__(self, key: Union[int, str]) -> Entry:
        """The entry at index ``key`` (from 1), or the first whose stored name is ``key``."""
        self._native_open()
        if isinstance(key, bool) or not isinstance(key, (int, str)):
            raise TypeError("an entry is named by its index (from 1) or its stored name")
        if isinstance(key, int):
            if not 1 <= key <= len(self._entries):
                raise IndexError(f"no entry {key}: entries are 1 to {len(self._entries)}")
            return self._entries[key - 1]
        for entry in self._entries:
            if entry.name == key:
                return entry
        raise KeyError(key)

    def _entry(self, key: EntryKey) -> Entry:
        if isinstance(key, Entry):
            if key not in self._entries:
                raise KeyError(f"entry {key.index} ({key.name}) is not one of this container's")
            return key
        return self[key]

    # Proving and reading.
    def test(self, entry: EntryKey) -> Result:
        """Proves an entry: inflates it and compares its content with its digest."""
        entry = self._entry(entry)
        code, reason, size = self._native_open().prove(entry.index - 1)
        return Result(entry, code, reason, size)

    def test_all(self, jobs: Optional[int] = None) -> list:
        """Proves every entry on ``jobs`` threads (by default one for each processor), the
        interpreter free meanwhile; the results in table order."""
        proofs = self._native_open().prove_all(list(range(len(self._entries))), _jobs(jobs))
        return [Result(e, *proof) for e, proof in zip(self._entries, proofs)]

    def read(self, item: Union[EntryKey, Output], jobs: Optional[int] = None) -> bytes:
        """The proven content of an entry, or of an output (its pieces proven on ``jobs``
        threads and joined); EntryError when an entry fails."""
        native = self._native_open()
        if isinstance(item, Output):
            if item not in self._outputs:
                raise KeyError(f"output {item.name} is not one of this container's")
            pieces = [entry.index - 1 for entry in item.pieces]
            failed, (code, reason, _), content = native.join(pieces, _jobs(jobs))
            if failed >= 0:
                raise EntryError(item.pieces[failed], code, reason)
            return content
        entry = self._entry(item)
        (code, reason, _), content = native.unpack(entry.index - 1)
        if content is None:
            raise EntryError(entry, code, reason)
        return content

    def read_outputs(self, outputs: Optional[Sequence[Union[Output, str]]] = None,
                     jobs: Optional[int] = None) -> Iterator[tuple]:
        """(output, bytes) for each output (all by default), in their order, each proven as
        read() proves it; ``jobs`` threads read them, two entries at a time each with their
        digests side by side (the pieces of one output on all threads at once), the interpreter
        free meanwhile, and no more than that wait to be taken. EntryError at the first that
        fails."""
        chosen = list(self._outputs) if outputs is None else [
            self._outputs[self._output_index(output)] for output in outputs]
        width = _jobs(jobs) or os.cpu_count() or 1
        native = self._native_open()
        own = threading.local()  # each thread's rooms, kept from one task to the next

        def read(task: list) -> None:
            native.join_pieces(task, own.__dict__.setdefault("rooms", _kestrix.Rooms()))

        # Tasks of two pieces each, taken in order: after task i, the outputs ends[i] are whole.
        joinings = [_kestrix.Joining() for _ in chosen]
        tasks, ends, task = [], [], []
        for number, (output, joining) in enumerate(zip(chosen, joinings)):
            for position, entry in enumerate(output.pieces):
                task.append((joining, position, entry.index - 1))
                if len(task) == 2:
                    tasks.append(task)
                    ends.append(number + (position + 1 == len(output.pieces)))
                    task = []
        if task:
            tasks.append(task)
            ends.append(len(chosen))
        taken = 0  # outputs yielded
        with concurrent.futures.ThreadPoolExecutor(width) as pool:
            waiting = collections.deque()
            for number, task in enumerate(tasks):
                waiting.append((ends[number], pool.submit(read, task)))
                while waiting and (len(waiting) > width or number + 1 == len(tasks)):
                    end, future = waiting.popleft()
                    future.result()
                    for output, joining in zip(chosen[taken:end], joinings[taken:end]):
                        failed, (code, reason, _), content = joining.take()
                        taken += 1
                        if failed >= 0:
                            raise EntryError(output.pieces[failed], code, reason)
                        yield output, content

    def extract(self, outputs: Optional[Sequence[Union[Output, str]]] = None,
                folder: Union[str, os.PathLike] = ".", overwrite: str = "refuse") -> list:
        """Writes outputs (all by default; Output objects or names) into ``folder``, made when
        missing. Each is proven piece by piece in flat memory as it is written under a hidden
        temporary name, and takes its name only when whole: a failed output leaves nothing. A
        file at an output's name is left and fails it ("refuse"), is replaced ("force"), or is
        kept ("keep"). Returns what became of each, in the order asked."""
        native = self._native_open()
        chosen = range(len(self._outputs)) if outputs is None else [
            self._output_index(output) for output in outputs]
        results = native.write_outputs(list(chosen), os.fsdecode(folder), overwrite)
        return [
            Extracted(self._outputs[output], outcome, code, reason,
                      self._entries[entry] if entry >= 0 else None, detail, size)
            for output, outcome, code, reason, entry, detail, size in results
        ]

    def _output_index(self, output: Union[Output, str]) -> int:
        for i, known in enumerate(self._outputs):
            if known == output if isinstance(output, Output) else known.name == output:
                return i
        raise KeyError(output.name if isinstance(output, Output) else output)

    def open_entry(self, entry: EntryKey, buffer_size: int = 1 << 20) -> io.BufferedReader:
        """A binary stream of an entry's content, inflated as it is read in memory that stays
        flat; reading its end raises EntryError when the content is not what its digest names."""
        return io.BufferedReader(_EntryStream(self, self._entry(entry)), buffer_size)


def _jobs(jobs: Optional[int]) -> int:
    if jobs is None:
        return 0
    if jobs < 1:
        raise ValueError("jobs must be at least 1")
    return jobs


def open(path: Union[str, os.PathLike]) -> Container:
    """Opens and surveys the container at ``path``; OSError when it cannot be opened. Whatever
    the survey finds, the container opens: see ``header_status``, ``table_status`` and check()."""
    return Container(path)


def pack(manifest: Union[str, os.PathLike], target: Union[str, os.PathLike], level: int = 6,
         base: Optional[Union[str, os.PathLike]] = None) -> Packed:
    """Builds the container ``target`` again from a manifest written by ``kx extract
    --manifest`` and the files it names, as ``kx pack`` does: unchanged entries are copied from
    the original (``base``, or the one the manifest records), changed ones compressed at
    ``level``. Nothing is written unless all of it can be; an existing target is never replaced.
    ContainerError with kx's code ("manifest", "original", "exists", ...) when it is refused."""
    code, message, entries, copied, size = _kestrix.pack(
        os.fsdecode(manifest), os.fsdecode(target), level,
        None if base is None else os.fsdecode(base))
    if code != "ok":
        raise ContainerError(code, message)
    return Packed(entries, copied, size)
