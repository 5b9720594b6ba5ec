"""The Python package vell against the built tools: heights and statistics as datinfo reports
them, data files byte for byte as sdf_to_dat and sdf_import write them, exact round trips,
the import policy on foreign SDF files, and every failure as a vell.Error."""

import os
import pathlib
import subprocess
import threading

import numpy as np
import pytest

import vell

SOURCE = pathlib.Path(os.environ.get("VP_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
BUILD = pathlib.Path(os.environ.get("VP_BUILD_DIR", SOURCE / "build"))
DATINFO = BUILD / "datafile" / "datinfo"
SDF_TO_DAT = BUILD / "convert" / "sdf_to_dat"
SDF_IMPORT = BUILD / "convert" / "sdf_import"
EXAMPLES = sorted((SOURCE / "examples").glob("*.sdf"))


def datinfo(path):
    """datinfo's "name: value" lines as a dict of texts."""
    out = subprocess.run([str(DATINFO), str(path)], check=True, capture_output=True, text=True).stdout
    return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def assert_matches_datinfo(d, path):
    """Every datinfo line of the file against the dataset's attribute of the same name."""
    info = datinfo(path)
    texts = {
        "format": str(d.format),
        "magic_number": f"0x{d.magic_number:08X}",
        "header_size": str(d.header_size),
        "software_type": str(d.software_type),
        "software_version": d.software_version,
        "time_stamp": str(d.time_stamp),
        "phase_map": "none" if d.phase_map is None else "%d x %d" % d.phase_map,
        "phase_origin": "%d, %d" % d.phase_origin,
        "camera": "%d x %d" % d.camera,
        "phase_res": str(d.phase_res),
        "points": str(d.points),
        "valid_points": str(d.valid_points),
        "valid_pct": "%.2f" % d.valid_pct,
        "lateral_res_m": "%.6g" % d.lateral_res_m,
        "phase_unit_nm": "%.6g" % d.phase_unit_nm,
    }
    for name in ("software_date", "comment", "part_name", "part_serial", "object_name"):
        texts[name] = getattr(d, name)
    if d.intensity_map is None:
        texts["intensity_map"] = "none"
    else:
        w, h, n = d.intensity_map
        texts["intensity_map"] = f"{w} x {h}, {n} frame{'' if n == 1 else 's'}"
        texts["intensity_origin"] = "%d, %d" % d.intensity_origin
    for name, text in texts.items():
        assert info[name] == text, name
    for name in ("min_nm", "max_nm", "pv_nm", "rms_nm"):
        ours = getattr(d, name)
        if ours is None:
            assert info[name] == "none", name
        else:
            assert ours == pytest.approx(float(info[name]), abs=6e-5, rel=1e-9), name


def same_array(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


@pytest.fixture(params=EXAMPLES, ids=lambda p: p.stem)
def example(request, tmp_path):
    """A bundled example and its conversion by sdf_to_dat."""
    dat = tmp_path / (request.param.stem + ".dat")
    subprocess.run([str(SDF_TO_DAT), str(request.param), str(dat)], check=True, capture_output=True)
    return request.param, dat


def test_examples_read_as_datinfo_shows_them_and_write_back_the_same_bytes(example, tmp_path):
    sdf, dat = example
    d = vell.read_dat(dat)
    assert d.phase.dtype == np.float64 and d.phase.shape == (d.phase_map[1], d.phase_map[0])
    assert_matches_datinfo(d, dat)

    # The SDF file read directly is the same dataset; written, both give sdf_to_dat's bytes.
    s = vell.read_sdf(str(sdf))
    assert same_array(s.phase, d.phase)
    assert s.header == d.header
    assert s.sdf["NumPoints"] == d.phase_map[0] and s.sdf["NumProfiles"] == d.phase_map[1]
    for name, dataset in (("from_dat", d), ("from_sdf", s)):
        vell.write_dat(tmp_path / f"{name}.dat", dataset)
        assert (tmp_path / f"{name}.dat").read_bytes() == dat.read_bytes(), name

    # convert() is sdf_to_dat.
    vell.convert(sdf, tmp_path / "converted.dat")
    assert (tmp_path / "converted.dat").read_bytes() == dat.read_bytes()

    # Raw counts on request: the heights are counts times the unit, NaN for invalid counts.
    c = vell.read_dat(dat, counts=True)
    assert c.counts.dtype == np.int32
    expect = np.where(c.counts > vell._vell.PHASE_MAX_VALID, np.nan, c.counts * c.phase_unit)
    assert same_array(c.phase, expect)
    assert vell.read_dat(dat).counts is None


@pytest.mark.parametrize("seed,shape,nan_share", [(1, (7, 13), 0.0), (2, (64, 48), 0.1), (3, (1, 300), 0.5),
                                                   (4, (33, 1), 1.0)])
def test_generated_maps_round_trip_exactly_and_match_datinfo(tmp_path, seed, shape, nan_share):
    rng = np.random.default_rng(seed)
    unit = 0.5 * float(np.float32(6.328e-7)) * 1.0 / 32768  # the default phase unit
    counts = rng.integers(-2_000_000, 2_000_000, size=shape)
    heights = counts * unit
    heights[rng.random(shape) < nan_share] = np.nan
    frames = rng.integers(0, 65536, size=(2,) + shape, dtype=np.uint16)

    path = tmp_path / "generated.dat"
    vell.write_dat(path, heights, comment="generated", part_name="wafer 7", part_serial="S-1",
                   lateral_res_m=2.5e-6, camera=(640, 480), intensity=frames)
    d = vell.read_dat(path)
    assert d.phase_unit == unit
    assert same_array(d.phase, heights)
    assert np.array_equal(d.intensity, frames)
    assert (d.comment, d.part_name, d.part_serial, d.camera) == ("generated", "wafer 7", "S-1", (640, 480))
    assert_matches_datinfo(d, path)

    # Read and written again: the same file.
    vell.write_dat(tmp_path / "again.dat", d)
    assert (tmp_path / "again.dat").read_bytes() == path.read_bytes()


def test_heights_between_counts_round_to_the_nearest_count_and_edits_are_written(tmp_path):
    d = vell.read_dat(next_example_dat(tmp_path), counts=True)
    unit = d.phase_unit
    d.phase = d.phase + 0.4 * unit       # still the same counts
    d.comment = "edited"
    vell.write_dat(tmp_path / "shifted.dat", d)
    e = vell.read_dat(tmp_path / "shifted.dat", counts=True)
    assert np.array_equal(e.counts[~np.isnan(d.phase)], d.counts[~np.isnan(d.phase)])
    assert e.comment == "edited"
    d.phase = d.phase + 0.7 * unit       # one count up
    vell.write_dat(tmp_path / "up.dat", d)
    up = vell.read_dat(tmp_path / "up.dat", counts=True)
    valid = ~np.isnan(d.phase)
    assert np.array_equal(up.counts[valid], d.counts[valid] + 1)


def next_example_dat(tmp_path):
    dat = tmp_path / "example.dat"
    subprocess.run([str(SDF_TO_DAT), str(EXAMPLES[0]), str(dat)], check=True, capture_output=True)
    return dat


def foreign_sdf(path, banner="aISO-1.0"):
    """A 3 x 2 file of another program: doubles in exponent form, "BAD" and "NaN", no trailer."""
    path.write_text(f"{banner}\nManufacID = Other\nCreateDate = 010120241200\nModDate = 010120241200\n"
                    "NumPoints = 3\nNumProfiles = 2\nXscale = 1e-6\nYscale = 1e-6\nZscale = 1.0\n"
                    "Zresolution = 1e-10\nCompression = 0\nDataType = 7\nCheckType = 0\n*\n"
                    "1.25E-07 -3.5e-8 BAD\n0 nAn 2.0000000001E-9\n")
    return path


def test_import_policy_reads_foreign_files_that_the_platform_policy_refuses(tmp_path):
    sdf = foreign_sdf(tmp_path / "other.sdf")
    d = vell.read_sdf(sdf, policy="import")
    unit = d.phase_unit  # Zresolution, through the header's single-precision fields
    assert unit == pytest.approx(1e-10, rel=1e-7)
    values = np.array([[1.25e-7, -3.5e-8, np.nan], [0, np.nan, 2.0000000001e-9]])
    assert same_array(d.phase, np.round(values / unit) * unit)
    assert d.sdf["banner"] == b"aISO-1.0" and (d.sdf["NumPoints"], d.sdf["NumProfiles"]) == (3, 2)

    with pytest.raises(vell.Error) as refused:
        vell.read_sdf(sdf)
    assert refused.value.name == "ERR_CORRUPT_DATA_FILE"

    # convert(policy="import") is sdf_import.
    subprocess.run([str(SDF_IMPORT), str(sdf), str(tmp_path / "tool.dat")], check=True, capture_output=True)
    vell.convert(sdf, tmp_path / "module.dat", policy="import")
    assert (tmp_path / "module.dat").read_bytes() == (tmp_path / "tool.dat").read_bytes()


def failures(tmp_path):
    """(what, call, error name, exit status of convert or None, text in the messages)."""
    dat = next_example_dat(tmp_path)
    not_dat = tmp_path / "not.dat"
    not_dat.write_bytes(b"\0" * 900)
    short = tmp_path / "short.dat"
    short.write_bytes(dat.read_bytes()[:-3])
    foreign = foreign_sdf(tmp_path / "foreign.sdf", banner="zXYZ-9.9")
    missing = tmp_path / "missing"
    no_dir = tmp_path / "no" / "such" / "dir.dat"
    existing = tmp_path / "existing.dat"
    existing.write_bytes(b"keep")
    good = vell.read_dat(dat)
    flat = np.zeros((2, 2))
    return [
        ("read_dat missing", lambda: vell.read_dat(missing), "ERR_CANT_OPEN_FILE", None, "dat_read_file"),
        ("read_dat not a data file", lambda: vell.read_dat(not_dat), "ERR_CORRUPT_DATA_FILE", None, "dat_read_file"),
        ("read_dat cut file", lambda: vell.read_dat(short), "ERR_PREMATURE_EOF", None, "dat_read_file"),
        ("read_sdf missing", lambda: vell.read_sdf(str(missing)), "ERR_CANT_OPEN_FILE", None, ""),
        ("read_sdf foreign banner", lambda: vell.read_sdf(foreign, policy="import"), "ERR_NOT_A_DATA_FILE", None, ""),
        ("write_dat no folder", lambda: vell.write_dat(no_dir, good), "ERR_CANT_CREATE_FILE", None, ""),
        ("write_dat no phase unit", lambda: vell.write_dat(tmp_path / "u.dat", flat, wavelength_in=0.0),
         "ERR_PARAM_OUT_OF_RANGE", None, "phase unit"),
        ("write_dat height beyond range", lambda: vell.write_dat(tmp_path / "r.dat", flat + 1.0),
         "ERR_PARAM_OUT_OF_RANGE", None, "beyond the phase map's range"),
        ("convert missing input", lambda: vell.convert(missing, tmp_path / "c.dat"), "ERR_CANT_OPEN_FILE", 2,
         "does not exist"),
        ("convert existing output", lambda: vell.convert(EXAMPLES[0], existing), "ERR_CANT_CREATE_FILE", 3,
         "already exists"),
        ("convert unreadable input", lambda: vell.convert(foreign, tmp_path / "c.dat"), "ERR_BAD_PARAM", 4,
         "error reading"),
        ("convert unwritable output", lambda: vell.convert(EXAMPLES[0], no_dir), "ERR_CANT_CREATE_FILE", 5,
         "error writing"),
    ]


def test_every_failure_raises_vell_error_with_name_and_messages(tmp_path):
    for what, call, name, status, text in failures(tmp_path):
        with pytest.raises(vell.Error) as failed:
            call()
        e = failed.value
        assert (e.name, e.status) == (name, status), what
        assert e.name in str(e), what
        assert any(text in m for m in e.messages) or not e.messages and not text, (what, e.messages)
    # Nothing was written where a write failed; an existing output without force is kept.
    assert not (tmp_path / "u.dat").exists() and not (tmp_path / "r.dat").exists()
    assert (tmp_path / "existing.dat").read_bytes() == b"keep"
    vell.convert(EXAMPLES[0], tmp_path / "existing.dat", force=True)
    assert (tmp_path / "existing.dat").read_bytes()[:4] != b"keep"


def test_arguments_of_the_wrong_kind_are_rejected_before_any_file_is_touched(tmp_path):
    with pytest.raises(ValueError):
        vell.read_sdf(EXAMPLES[0], policy="foreign")
    with pytest.raises(KeyError):
        vell.write_dat(tmp_path / "k.dat", np.zeros((2, 2)), no_such_field=1)
    with pytest.raises(ValueError):
        vell.write_dat(tmp_path / "v.dat", np.zeros((2, 2)), comment="x" * 83)
    with pytest.raises(ValueError):
        vell.write_dat(tmp_path / "d.dat", np.zeros(4))
    with pytest.raises(TypeError):
        vell.read_dat(42)
    assert list(tmp_path.iterdir()) == []


def test_messages_belong_to_the_call_that_failed_on_each_thread(tmp_path):
    names = [tmp_path / f"missing_{i}.dat" for i in range(8)]
    seen = {}

    def read(path):
        try:
            vell.read_dat(path)
        except vell.Error as e:
            seen[path] = e.messages

    threads = [threading.Thread(target=read, args=(p,)) for p in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for p in names:
        assert len(seen[p]) == 1 and seen[p][0].startswith("dat_read_file"), seen[p]
