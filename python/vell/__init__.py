"""Vell data files and SDF files as numpy arrays.

    import vell
    d = vell.read_dat("part.dat")          # or read_sdf("part.sdf", policy="import")
    d.phase                                # heights in metres, NaN where no point was measured
    d.part_name, d.rms_nm                  # the header and statistics, named as datinfo names them
    vell.write_dat("copy.dat", d)          # the same bytes the platform library writes

Failures raise vell.Error, which carries the platform's error name and the library's messages.
"""

import os as _os

import numpy as _np

from . import _vell

__all__ = ["Dataset", "Error", "convert", "read_dat", "read_sdf", "write_dat", "HEADER_FIELDS"]

# Every field of the header record, by the member names of the platform's layout table
# ("comment", "swinfo.vers.maj", "fiducials_a[3]", ...).
HEADER_FIELDS = tuple(_vell.header_fields)


class Error(Exception):
    """A failed read, write or conversion.

    name      the platform's error name ("ERR_CANT_OPEN_FILE", ...)
    code      its number
    messages  the lines the library wrote about the failure, oldest first
    path      the file concerned
    status    for convert(): the exit status sdf_to_dat gives for the same failure
    """

    def __init__(self, code, messages, path, status=None):
        self.code = code
        self.name = _vell.err_name(code)
        self.messages = list(messages)
        self.path = path
        self.status = status
        text = f"{self.name}: {path}"
        if self.messages:
            text += " (" + "; ".join(self.messages) + ")"
        super().__init__(text)


def _path(path):
    """str, bytes or os.PathLike as the bytes the system takes."""
    return _os.fsencode(_os.fspath(path))


def _check(outcome, path):
    code, messages, result = outcome
    if code != 0:
        raise Error(code, messages, _os.fspath(path))
    return result


def _text(value):
    """A text field as datinfo shows it: trailing blanks dropped."""
    return value.rstrip(" ")


_TEXT_FIELDS = {
    "comment": "comment",
    "part_name": "part_name",
    "part_serial": "part_ser_num",
    "object_name": "obj_name",
    "software_date": "swinfo.date",
}
_NUMBER_FIELDS = {
    "software_type": "swinfo.type",
    "time_stamp": "time_stamp",
    "lateral_res_m": "lateral_res",
    "phase_res": "phase_res",
    "magic_number": "magic_number",
}
_PAIR_FIELDS = {
    "camera": ("camera_width", "camera_height"),
    "phase_origin": ("cn_org_x", "cn_org_y"),
    "intensity_origin": ("in_org_x", "in_org_y"),
}
_FORMATS = {0x881B036F: 1, 0x881B0370: 2}


class Dataset:
    """One measurement: header, phase map and intensity frames.

    phase      float64 array (height x width) of heights in metres, NaN for invalid points,
               or None when the dataset has no phase map
    counts     the phase map's raw int32 counts when asked for (counts=True), else None
    intensity  uint16 array (frames x height x width), or None
    header     every field of the header record by its layout name
    sdf        the SDF file's own header (read_sdf only), else None

    The datinfo names are attributes: format, magic_number, header_size, software_type,
    software_version, software_date, time_stamp, comment, part_name, part_serial, object_name,
    phase_map, phase_origin, lateral_res_m, camera, intensity_map, intensity_origin, phase_res,
    phase_unit_nm, points, valid_points, valid_pct, min_nm, max_nm, pv_nm, rms_nm. The header
    ones can be assigned.
    """

    def __init__(self, phase=None, header=None, intensity=None, counts=None, sdf=None, _record=None):
        self.phase = phase
        self.counts = counts
        self.intensity = intensity
        self.header = dict(header or {})
        self.sdf = sdf
        self._record = _record

    @classmethod
    def _from(cls, d):
        return cls(phase=d["phase"], header=d["header"], intensity=d["intensity"], counts=d["counts"],
                   sdf=d.get("sdf"), _record=d["record"])

    def __getattr__(self, name):
        header = self.__dict__.get("header", {})
        if name in _TEXT_FIELDS:
            return _text(header.get(_TEXT_FIELDS[name], ""))
        if name in _NUMBER_FIELDS:
            return header.get(_NUMBER_FIELDS[name], 0)
        if name in _PAIR_FIELDS:
            a, b = _PAIR_FIELDS[name]
            return (header.get(a, 0), header.get(b, 0))
        raise AttributeError(f"'Dataset' object has no attribute '{name}'")

    def __setattr__(self, name, value):
        if name in _TEXT_FIELDS:
            self.header[_TEXT_FIELDS[name]] = str(value)
        elif name in _NUMBER_FIELDS:
            self.header[_NUMBER_FIELDS[name]] = value
        elif name in _PAIR_FIELDS:
            a, b = _PAIR_FIELDS[name]
            self.header[a], self.header[b] = value
        elif name == "software_version":
            maj, mnr, bug = (int(x) for x in str(value).split("."))
            self.header.update({"swinfo.vers.maj": maj, "swinfo.vers.min": mnr, "swinfo.vers.bug": bug})
        else:
            object.__setattr__(self, name, value)

    # ---- header, as datinfo shows it ----
    @property
    def format(self):
        return _FORMATS.get(self.magic_number, 3)

    @property
    def header_size(self):
        return 4096 if self.format == 3 else 834

    @property
    def software_version(self):
        h = self.header
        return f"{h.get('swinfo.vers.maj', 0)}.{h.get('swinfo.vers.min', 0)}.{h.get('swinfo.vers.bug', 0)}"

    @property
    def phase_map(self):
        """(width, height), or None."""
        return None if self.phase is None else (self.phase.shape[1], self.phase.shape[0])

    @property
    def intensity_map(self):
        """(width, height, frames), or None."""
        if self.intensity is None:
            return None
        i = self.intensity if self.intensity.ndim == 3 else self.intensity[None]
        return (i.shape[2], i.shape[1], i.shape[0])

    @property
    def phase_unit(self):
        """Metres per phase count."""
        return _vell.phase_unit(self._record, self._changed_fields())

    @property
    def phase_unit_nm(self):
        return self.phase_unit * 1e9

    # ---- statistics of the valid heights, in nanometres ----
    def _valid(self):
        return _np.empty(0) if self.phase is None else self.phase[~_np.isnan(self.phase)]

    @property
    def points(self):
        return 0 if self.phase is None else int(self.phase.size)

    @property
    def valid_points(self):
        return 0 if self.phase is None else int(self.phase.size - _np.count_nonzero(_np.isnan(self.phase)))

    @property
    def valid_pct(self):
        return 100.0 * self.valid_points / self.points if self.points else 0.0

    def _stat(self, fn):
        v = self._valid()
        return None if v.size == 0 else float(fn(v)) * 1e9

    @property
    def min_nm(self):
        return self._stat(_np.min)

    @property
    def max_nm(self):
        return self._stat(_np.max)

    @property
    def pv_nm(self):
        return self._stat(lambda v: v.max() - v.min())

    @property
    def rms_nm(self):
        return self._stat(_np.std)

    def _changed_fields(self):
        return dict(self.header)

    def __repr__(self):
        return f"<vell.Dataset phase_map={self.phase_map} intensity_map={self.intensity_map} part_name={self.part_name!r}>"


def read_dat(path, counts=False):
    """The Vell binary data file at `path` as a Dataset; counts=True also keeps the raw counts."""
    return Dataset._from(_check(_vell.read_dat(_path(path), bool(counts)), path))


def read_sdf(path, policy="platform", counts=False):
    """An SDF file as a Dataset. policy "platform" reads as sdf_to_dat does; "import" as
    sdf_import does (SDF files of other instruments and programs)."""
    return Dataset._from(_check(_vell.read_sdf(_path(path), _policy(policy), bool(counts)), path))


def write_dat(path, dataset, **fields):
    """Writes a Vell binary data file.

    write_dat(path, dataset): the dataset as read (or changed); a dataset read from a file is
    written with every byte of its header record kept, as the platform library writes it.
    write_dat(path, heights, **fields): a new dataset from a 2-D array of heights in metres (NaN
    for invalid points) and header fields, by datinfo names (comment, part_name, lateral_res_m,
    ...) or layout names (wavelength_in, intf_scale_factor, ...). The phase unit defaults to
    that of a 632.8 nm interferometer (intf_scale_factor 0.5, obliquity_factor 1, phase_res 1).
    """
    if not isinstance(dataset, Dataset):
        d = Dataset(phase=_np.asarray(dataset, dtype=_np.float64),
                    header={"intf_scale_factor": 0.5, "wavelength_in": 6.328e-7, "obliquity_factor": 1.0,
                            "phase_res": 1})
        for name, value in fields.items():
            if name in HEADER_FIELDS:
                d.header[name] = value
            elif name in _TEXT_FIELDS or name in _NUMBER_FIELDS or name in _PAIR_FIELDS or name == "software_version":
                setattr(d, name, value)
            elif name == "intensity":
                d.intensity = value
            else:
                raise KeyError(f"no header field named '{name}'")
        dataset = d
    elif fields:
        raise TypeError("header fields are given with a height array, not with a Dataset")
    _check(_vell.write_dat(_path(path), dataset._record, dataset._changed_fields(), dataset.phase,
                           dataset.counts, dataset.intensity), path)


def convert(source, target, force=False, policy="platform"):
    """Converts an SDF file into a Vell binary data file as sdf_to_dat does (policy "import":
    as sdf_import does). An existing target is replaced only with force=True."""
    code, messages, status = _vell.convert(_path(source), _path(target), bool(force), _policy(policy))
    if code != 0:
        failed = source if status in (2, 4) else target
        raise Error(code, messages, _os.fspath(failed), status)


def _policy(policy):
    if policy not in ("platform", "import"):
        raise ValueError(f"policy must be 'platform' or 'import', not {policy!r}")
    return policy == "import"
