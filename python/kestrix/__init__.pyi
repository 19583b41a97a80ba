# Type hints of the kestrix package, for editors and type checkers.
import datetime
import io
import os
from typing import Iterator, Literal, Optional, Sequence, Union

class ContainerError(Exception):
    code: str
    reason: str
    def __init__(self, code: str, reason: str) -> None: ...

class EntryError(ContainerError):
    entry: Entry
    def __init__(self, entry: Entry, code: str, reason: str) -> None: ...

class Header:
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
    model_bytes: bytes
    internal_name_bytes: bytes
    chip_bytes: bytes
    file_name_bytes: bytes
    raw: bytes

class Entry:
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

class Output:
    name: str
    pieces: tuple[Entry, ...]

class Result:
    entry: Entry
    code: str
    reason: str
    unpacked_size: int
    def __bool__(self) -> bool: ...

class Extracted:
    output: Output
    outcome: Literal["extracted", "kept", "exists", "failed"]
    code: str
    reason: str
    entry: Optional[Entry]
    detail: str
    size: int
    def __bool__(self) -> bool: ...

class Packed:
    entries: int
    copied: int
    size: int

EntryKey = Union[Entry, int, str]

class Container:
    header: Header
    table_status: str
    cut_short: bool
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> Container: ...
    def __exit__(self, *exception: object) -> None: ...
    @property
    def header_status(self) -> str: ...
    @property
    def length(self) -> int: ...
    @property
    def outputs(self) -> tuple[Output, ...]: ...
    def check(self) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Entry]: ...
    def __getitem__(self, key: Union[int, str]) -> Entry: ...
    def test(self, entry: EntryKey) -> Result: ...
    def test_all(self, jobs: Optional[int] = None) -> list[Result]: ...
    def read(self, item: Union[EntryKey, Output], jobs: Optional[int] = None) -> bytes: ...
    def read_outputs(
        self, outputs: Optional[Sequence[Union[Output, str]]] = None, jobs: Optional[int] = None
    ) -> Iterator[tuple[Output, bytes]]: ...
    def open_entry(self, entry: EntryKey, buffer_size: int = ...) -> io.BufferedReader: ...
    def extract(
        self,
        outputs: Optional[Sequence[Union[Output, str]]] = None,
        folder: Union[str, os.PathLike[str]] = ".",
        overwrite: Literal["refuse", "force", "keep"] = "refuse",
    ) -> list[Extracted]: ...

def open(path: Union[str, os.PathLike[str]]) -> Container: ...
def pack(
    manifest: Union[str, os.PathLike[str]],
    target: Union[str, os.PathLike[str]],
    level: int = 6,
    base: Optional[Union[str, os.PathLike[str]]] = None,
) -> Packed: ...
