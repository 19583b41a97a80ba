"""The Python module through its public face: values, verdicts, bytes and refusals on containers
made by dzwrite."""

import dataclasses
import datetime
import hashlib
import os
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

import kestrix
from dzwrite import container, packed, reseal

SUBFILES = [
    (b"boot.img", b"kernel" * 1001),
    (b"system.img1", b"first piece " * 500),
    (b"system.img2", b"second piece " * 700),
    (b"version.txt", b"v10a"),
]


@pytest.fixture
def made(tmp_path):
    data, offsets = container(SUBFILES)
    path = tmp_path / "a.dz"
    path.write_bytes(data)
    return path, data, offsets


def test_header_table_entries_and_outputs(made):
    path, data, offsets = made
    with kestrix.open(path) as dz:
        h = dz.header
        assert (h.status, h.model, h.internal_name, h.chip, h.file_name) == (
            "ok", "KX100", "KX100AT-00-V10a", "QSD8650", "KX100AT.dz")
        assert (h.version, h.count, h.model_bytes, h.raw) == (2, 4, b"KX100", data[:300])
        assert h.created == datetime.datetime(2010, 3, 29, 13, 51, 50,
                                              tzinfo=datetime.timezone.utc)
        assert (dz.table_status, len(dz), dz.length) == ("ok", 4, len(data))
        rows = [(e.index, e.offset, e.name, e.output_name, e.piece, e.pieces, e.status)
                for e in dz]
        assert rows == [
            (1, offsets[0], "boot.img", "boot.img", 1, 1, "ok"),
            (2, offsets[1], "system.img1", "system.img", 1, 2, "ok"),
            (3, offsets[2], "system.img2", "system.img", 2, 2, "ok"),
            (4, offsets[3], "version.txt", "version.txt", 1, 1, "ok"),
        ]
        assert dz[1].packed_size == len(packed(SUBFILES[0][1]))
        assert [(o.name, [e.index for e in o.pieces]) for o in dz.outputs] == [
            ("boot.img", [1]), ("system.img", [2, 3]), ("version.txt", [4])]
        dz.check()


def test_every_entry_and_output_reads_as_its_bytes(made):
    path, _, _ = made
    with kestrix.open(path) as dz:
        for entry, (_, content) in zip(dz, SUBFILES):
            assert hashlib.md5(content).hexdigest() == entry.digest
            assert dz.read(entry) == content
            with dz.open_entry(entry) as stream:
                assert stream.read(7) + stream.read() == content
            result = dz.test(entry)
            assert result and (result.code, result.unpacked_size) == ("ok", len(content))
        for jobs in (None, 1, 2):
            results = dz.test_all(jobs=jobs)
            assert [(r.entry.index, r.unpacked_size) for r in results] == [
                (i + 1, len(content)) for i, (_, content) in enumerate(SUBFILES)]
        assert dz.read(dz.outputs[1]) == SUBFILES[1][1] + SUBFILES[2][1]
        for jobs in (1, 2):
            assert [(o.name, data) for o, data in dz.read_outputs(jobs=jobs)] == [
                ("boot.img", SUBFILES[0][1]), ("system.img", SUBFILES[1][1] + SUBFILES[2][1]),
                ("version.txt", SUBFILES[3][1])]
        assert dz.read("version.txt") == b"v10a"


def test_an_output_of_many_pieces_reads_whole_on_many_threads(tmp_path):
    subfiles = [(b"boot.img", b"b" * 3000)] + [
        (b"system.img%d" % i, bytes([i]) * (1000 + i)) for i in range(1, 8)] + [(b"v.txt", b"v")]
    data, offsets = container(subfiles)
    whole = [("boot.img", subfiles[0][1]), ("system.img", b"".join(c for _, c in subfiles[1:8])),
             ("v.txt", b"v")]
    broken = bytearray(data)  # the digest of system.img5, entry 6, no longer its content's
    broken[offsets[5] + 170] ^= 1
    reseal(broken, offsets[5], 180)
    path = tmp_path / "many.dz"
    for jobs in (1, 2, 3):
        path.write_bytes(data)
        with kestrix.open(path) as dz:
            assert [(o.name, d) for o, d in dz.read_outputs(jobs=jobs)] == whole, jobs
        path.write_bytes(bytes(broken))
        with kestrix.open(path) as dz:
            taken = []
            with pytest.raises(kestrix.EntryError) as failed:
                for output, _ in dz.read_outputs(jobs=jobs):
                    taken.append(output.name)
            assert (failed.value.code, failed.value.entry.index) == ("content-digest", 6), jobs
            assert taken == ["boot.img"], jobs


def damaged_cases(data, offsets):
    """(code, where, bytes): where is "header", "table" or the entry's index (from 1)."""
    table = len(data) - 4 - (4 + 8 * 4 + 4) - 20
    second, last = offsets[1], offsets[3]

    def change(edit):
        bytes_ = bytearray(data)
        edit(bytes_)
        return bytes(bytes_)

    def flip(at):
        return change(lambda b: b.__setitem__(at, b[at] ^ 1))

    def table_count(b):
        b[table + 20:table + 24] = struct.pack("<I", 5)
        b[table + 4:table + 20] = hashlib.md5(bytes(b[table + 20:-4])).digest()

    def content_digest(b):
        b[last + 170] ^= 1
        reseal(b, last, 180)

    overlap, _ = container(SUBFILES, entries=[(1, offsets[0]), (1, offsets[1]), (1, offsets[2]),
                                              (1, offsets[0])])
    return [
        ("main-header-markers", "header", change(lambda b: b.__setitem__(4, ord("X")))),
        ("main-header-digest", "header", flip(310)),
        ("table-end-marker", "table", change(lambda b: b.__setitem__(-1, ord("Y")))),
        ("table-begin-marker-or-size", "table",
         change(lambda b: b.__setitem__(slice(-8, -4), struct.pack("<I", 2000)))),
        ("table-digest", "table", flip(table + 4)),
        ("table-entry-count", "table", change(table_count)),
        ("subfile-marker", 2, change(lambda b: b.__setitem__(second, ord("X")))),
        ("subfile-header-digest", 2, flip(second + 190)),
        ("file-name", 1, container([(b"..", b"x")] + SUBFILES[1:])[0]),
        ("overlap", 4, overlap),
        ("unpack", 4, flip(table - 1)),
        ("content-digest", 4, change(content_digest)),
    ]


def test_each_kind_of_damage_is_named_by_its_code(made, tmp_path):
    path, data, offsets = made
    for code, where, bytes_ in damaged_cases(data, offsets):
        path.write_bytes(bytes_)
        with kestrix.open(path) as dz:
            if where == "header":
                assert dz.header_status == code
            elif where == "table":
                assert (dz.table_status, len(dz)) == (code, 0)
            if code in ("unpack", "content-digest"):
                dz.check()  # the survey does not unpack
                result = dz.test(where)
                assert not result and result.code == code, code
                assert [r.code for r in dz.test_all()][where - 1] == code
                for item in (where, dz.outputs[-1]):  # the entry, and the output it makes
                    with pytest.raises(kestrix.EntryError) as failed:
                        dz.read(item)
                    assert (failed.value.code, failed.value.entry.index) == (code, where)
                with pytest.raises(kestrix.EntryError):
                    list(dz.read_outputs(jobs=2))
                with pytest.raises(kestrix.EntryError), dz.open_entry(where) as stream:
                    stream.read()
                continue
            with pytest.raises(kestrix.ContainerError) as failed:
                dz.check()
            assert failed.value.code == code and failed.value.reason, code
            if isinstance(where, int):
                assert dz[where].status == code
                assert dz.test(where).code == code


def test_a_stream_larger_than_the_memory_bound_reads_in_flat_memory(tmp_path):
    size = 256 << 20
    stream = zlib.compressobj(1)
    chunk = bytes(1 << 20)
    data = b"".join(stream.compress(chunk) for _ in range(size >> 20)) + stream.flush()
    digest = hashlib.md5()
    for _ in range(size >> 20):
        digest.update(chunk)
    path = tmp_path / "big.dz"
    path.write_bytes(container([(b"userdata.img", data, digest.digest())])[0])
    script = textwrap.dedent(f"""
        import resource, kestrix
        with kestrix.open({str(path)!r}) as dz, dz.open_entry(1) as stream:
            total = 0
            while block := stream.read(1 << 20):
                total += len(block)
        print(total, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
    """)
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                         text=True, env=dict(os.environ)).stdout.split()
    assert int(out[0]) == size
    assert int(out[1]) < 64, f"peak resident memory {out[1]} MiB"


def test_bad_keys_missing_files_and_use_after_close(made, tmp_path):
    path, _, _ = made
    with pytest.raises(FileNotFoundError) as missing:
        kestrix.open(os.fsencode(tmp_path / "none\xff.dz"))
    assert missing.value.filename == os.fsencode(tmp_path / "none\xff.dz")
    with kestrix.open(os.fsencode(path)) as dz:
        assert len(dz) == 4
    with pytest.raises(IsADirectoryError):
        kestrix.open(tmp_path)
    dz = kestrix.open(path)
    for key, error in [(0, IndexError), (5, IndexError), (-1, IndexError), ("none", KeyError),
                       (True, TypeError), (1.0, TypeError)]:
        with pytest.raises(error):
            dz[key]
    with pytest.raises(KeyError):
        dz.test(dataclasses.replace(dz[1], index=9))
    with pytest.raises(ValueError):
        dz.test_all(jobs=0)
    stream = dz.open_entry(1)
    dz.close()
    assert dz.closed and stream.read() == SUBFILES[0][1]  # an open stream keeps its entry
    for use in [lambda: len(dz), lambda: dz[1], lambda: dz.read(1), lambda: dz.test_all(),
                lambda: dz.outputs, lambda: list(dz)]:
        with pytest.raises(ValueError):
            use()


def test_extraction_is_whole_or_nothing_and_a_name_in_the_way_is_refused(made, tmp_path):
    path, data, offsets = made
    out = tmp_path / "out"
    out.mkdir()
    (out / "boot.img").write_bytes(b"mine")
    with kestrix.open(path) as dz:
        results = dz.extract(folder=out)
        assert [(r.output.name, r.outcome, bool(r)) for r in results] == [
            ("boot.img", "exists", False), ("system.img", "extracted", True),
            ("version.txt", "extracted", True)]
        assert (out / "boot.img").read_bytes() == b"mine"
        assert (out / "system.img").read_bytes() == SUBFILES[1][1] + SUBFILES[2][1]
        kept, = dz.extract(["boot.img"], out, overwrite="keep")
        assert (kept.outcome, (out / "boot.img").read_bytes()) == ("kept", b"mine")
        forced, = dz.extract([dz.outputs[0]], out, overwrite="force")
        assert (forced.outcome, forced.size) == ("extracted", len(SUBFILES[0][1]))
        assert (out / "boot.img").read_bytes() == SUBFILES[0][1]
        with pytest.raises(ValueError):
            dz.extract(folder=out, overwrite="always")
        with pytest.raises(KeyError):
            dz.extract(["none.img"], out)
    damaged = bytearray(data)
    damaged[offsets[2] + 170] ^= 1  # the second piece of system.img: its content digest
    reseal(damaged, offsets[2], 180)
    path.write_bytes(bytes(damaged))
    with kestrix.open(path) as dz:
        failed = dz.extract(["system.img"], tmp_path / "new")
    assert [(r.outcome, r.code, r.entry.index) for r in failed] == [
        ("failed", "content-digest", 3)]
    assert os.listdir(tmp_path / "new") == []  # neither the output nor a temporary file


@pytest.mark.skipif(not os.environ.get("KESTRIX_KX"), reason="needs kx (KESTRIX_KX)")
def test_pack_builds_the_container_again_and_never_replaces_one(made, tmp_path):
    path, data, _ = made
    subprocess.run([os.environ["KESTRIX_KX"], "extract", str(path), "-C", str(tmp_path / "files"),
                    "--manifest", str(tmp_path / "m.json"), "-q"], check=True)
    packed = kestrix.pack(tmp_path / "m.json", tmp_path / "b.dz")
    assert (packed.entries, packed.copied, packed.size) == (4, 4, len(data))
    assert (tmp_path / "b.dz").read_bytes() == data
    (tmp_path / "files" / "version.txt").write_bytes(b"v10b")
    for target, code in [(tmp_path / "b.dz", "exists"), (tmp_path / "c.dz", None)]:
        if code:
            with pytest.raises(kestrix.ContainerError) as refused:
                kestrix.pack(tmp_path / "m.json", target, level=9)
            assert refused.value.code == code
        else:
            assert kestrix.pack(tmp_path / "m.json", target, level=9).copied == 3
            with kestrix.open(target) as dz:
                assert dz.read(4) == b"v10b" and all(dz.test_all())
