// The native half of the Python package vell: data files and SDF files to and from numpy arrays.
//
// Every operation returns (code, messages, result): the platform error code, the lines the
// library wrote through its diagnostic sink during the call, and the result (None after a
// failure). The package's Python half turns a non-zero code into vell.Error. The file work runs
// without the interpreter lock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vell/datafile/datafile.h"
#include "vell/datafile/dataset.h"
#include "vell/datafile/phase_stats.h"
#include "vell/datafile/reader.h"
#include "vell/platform/errors.h"
#include "vell/platform/files.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/sdf/sdf.h"

namespace py = pybind11;

namespace {

// ---- diagnostics --------------------------------------------------------------------------------
// The sink is process-wide; the messages of a call are collected per thread, so that calls on
// several threads keep their own. A message from a thread without a call in progress goes to
// the sink that was there before the module was loaded.

u_log_fn previous_sink = nullptr;
thread_local std::vector<std::string>* captured = nullptr;

void capture_sink(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = u_vformat(format, args);
    va_end(args);
    if (captured != nullptr) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        captured->push_back(std::move(text));
    } else if (previous_sink != nullptr) {
        previous_sink("%s", text.c_str());
    }
}

// Collects the messages of one call on this thread.
class capture {
public:
    capture() : outer_(captured) { captured = &lines_; }
    ~capture() { captured = outer_; }
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;
    void add(std::string line) { lines_.push_back(std::move(line)); }
    py::list lines() const
    {
        py::list out;
        for (const std::string& l : lines_)
            out.append(py::str(py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(l.data(), static_cast<Py_ssize_t>(l.size()), "backslashreplace"))));
        return out;
    }

private:
    std::vector<std::string>* outer_;
    std::vector<std::string> lines_;
};

py::tuple outcome(int32_t rc, const capture& log, py::object result)
{
    return py::make_tuple(rc, log.lines(), rc == NO_ERROR ? std::move(result) : py::none());
}

// ---- header record <-> dict ------------------------------------------------------------------

py::bytes packed_record(const dat_header& h)
{
    std::vector<uint8_t> buf(DAT_HEADER_PACKED_SIZE);
    dat_header_pack(h, std::span<uint8_t, DAT_HEADER_PACKED_SIZE>(buf.data(), DAT_HEADER_PACKED_SIZE));
    return py::bytes(reinterpret_cast<const char*>(buf.data()), buf.size());
}

py::object field_value(const dat_header& h, const dat_field& f)
{
    switch (f.type) {
    case dat_type::i16:
    case dat_type::i32:
    case dat_type::u32:
        return py::int_(dat_field_get_int(&h, f));
    case dat_type::f32:
        return py::float_(dat_field_get_float(&h, f));
    case dat_type::text: {
        std::string_view t = dat_field_get_text(&h, f);
        return py::reinterpret_steal<py::object>(
            PyUnicode_DecodeLatin1(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
    }
    case dat_type::reserved:
        break;
    }
    return py::bytes(static_cast<const char*>(dat_field_ptr(&h, f)), f.size);
}

py::dict header_dict(const dat_header& h)
{
    py::dict d;
    for (const dat_field& f : dat_layout())
        d[py::str(f.name)] = field_value(h, f);
    return d;
}

// Stores the dict's entries into the record; a value equal to the record's is left alone, so a
// record read from a file keeps every byte (text after a terminator included). Unknown names
// and values of the wrong kind raise KeyError / TypeError / ValueError.
void apply_fields(dat_header& h, const py::dict& fields)
{
    for (auto item : fields) {
        std::string name = py::cast<std::string>(item.first);
        const dat_field* field = nullptr;
        for (const dat_field& f : dat_layout())
            if (name == f.name)
                field = &f;
        if (field == nullptr)
            throw py::key_error("no header field named '" + name + "'");
        py::handle v = item.second;
        if (field_value(h, *field).equal(v))
            continue;
        switch (field->type) {
        case dat_type::i16:
        case dat_type::i32:
        case dat_type::u32: {
            int64_t x = py::cast<int64_t>(v);
            int64_t lo = field->type == dat_type::i16 ? INT16_MIN : field->type == dat_type::i32 ? INT32_MIN : 0;
            int64_t hi = field->type == dat_type::i16 ? INT16_MAX : field->type == dat_type::i32 ? INT32_MAX : UINT32_MAX;
            if (x < lo || x > hi)
                throw py::value_error("header field '" + name + "': " + std::to_string(x) + " is out of range");
            dat_field_set_int(&h, *field, x);
            break;
        }
        case dat_type::f32:
            dat_field_set_float(&h, *field, static_cast<float>(py::cast<double>(v)));
            break;
        case dat_type::text: {
            py::object raw = py::reinterpret_steal<py::object>(PyUnicode_AsLatin1String(py::str(v).ptr()));
            if (!raw)
                throw py::error_already_set();
            std::string text = py::cast<std::string>(raw);
            if (text.size() > field->size)
                throw py::value_error("header field '" + name + "' holds at most " + std::to_string(field->size) +
                                      " characters");
            dat_field_set_text(&h, *field, text);
            break;
        }
        case dat_type::reserved: {
            if (!PyBytes_Check(v.ptr()))
                throw py::type_error("header field '" + name + "' takes bytes");
            std::string bytes = py::cast<std::string>(v);
            if (bytes.size() != field->size)
                throw py::value_error("header field '" + name + "' is " + std::to_string(field->size) + " bytes");
            std::memcpy(dat_field_ptr(&h, *field), bytes.data(), bytes.size());
            break;
        }
        }
    }
}

// The header record to write: the dataset's record as read (every byte kept) or a new one, with
// the fields applied; a new record takes its format from its contents unless magic_number is
// given.
dat_header header_of(const py::object& record, const py::dict& fields)
{
    dat_header h{};
    bool fresh = record.is_none();
    if (fresh) {
        dat_header_create(&h);
    } else {
        std::string bytes = py::cast<std::string>(py::bytes(record));
        if (bytes.size() != DAT_HEADER_PACKED_SIZE)
            throw py::value_error("the dataset's record is not a header record");
        dat_header_unpack(std::span<const uint8_t, DAT_HEADER_PACKED_SIZE>(
                              reinterpret_cast<const uint8_t*>(bytes.data()), DAT_HEADER_PACKED_SIZE),
                          h);
    }
    apply_fields(h, fields);
    if (fresh && !fields.contains("magic_number")) {
        h.magic_number = static_cast<uint32_t>(dat_header_magic(&h));
        dat_header_set_format(&h, h.magic_number);
    }
    return h;
}

// ---- maps ------------------------------------------------------------------------------------

// An array over a block from u_malloc, which numpy releases with u_free.
template <typename T>
py::array_t<T> adopt(T* data, std::vector<py::ssize_t> shape)
{
    py::capsule owner(data, [](void* p) { u_free(p); });
    return py::array_t<T>(shape, data, owner);
}

// Heights in metres from counts: count x unit, NaN for an invalid count.
py::array_t<double> heights_of(const phase_map& cn, double unit)
{
    py::array_t<double> out({py::ssize_t(cn.height), py::ssize_t(cn.width)});
    double* dst = out.mutable_data();
    const int32_t* src = cn.data;
    std::size_t n = std::size_t(cn.width) * std::size_t(cn.height);
    {
        py::gil_scoped_release unlocked;
        const double nan = std::nan("");
        for (std::size_t i = 0; i < n; ++i)
            dst[i] = src[i] > DAT_PHASE_MAX_VALID ? nan : double(src[i]) * unit;
    }
    return out;
}

// The dataset as the Python half builds its Dataset from: record, header, heights, counts,
// intensity.
py::dict dataset_dict(const dat_header& h, intensity_map& in, phase_map& cn, bool counts)
{
    py::dict d;
    d["record"] = packed_record(h);
    d["header"] = header_dict(h);
    d["phase"] = py::none();
    d["counts"] = py::none();
    d["intensity"] = py::none();
    if (cn.data != nullptr) {
        d["phase"] = heights_of(cn, dat_phase_unit(h));
        if (counts) {
            d["counts"] = adopt(cn.data, {cn.height, cn.width});
            cn.data = nullptr;
        }
    }
    if (in.data != nullptr) {
        d["intensity"] = adopt(in.data, {in.n_frames, in.height, in.width});
        in.data = nullptr;
    }
    return d;
}

std::string path_of(const py::bytes& path) { return py::cast<std::string>(path); }

// ---- operations ------------------------------------------------------------------------------

py::tuple read_dat(const py::bytes& path_bytes, bool counts)
{
    std::string path = path_of(path_bytes);
    capture log;
    dat_header h{};
    intensity_map in{};
    phase_map cn{};
    int32_t rc;
    {
        py::gil_scoped_release unlocked;
        rc = dat_read_file(path.c_str(), &h, &in, &cn);
    }
    py::object result = py::none();
    if (rc == NO_ERROR) {
        try {
            result = dataset_dict(h, in, cn, counts);
        } catch (...) {
            dat_release_maps(&in, &cn);
            throw;
        }
    }
    dat_release_maps(&in, &cn);
    return outcome(rc, log, result);
}

py::tuple read_sdf(const py::bytes& path_bytes, bool import_policy, bool counts)
{
    std::string path = path_of(path_bytes);
    capture log;
    dat_header h{};
    intensity_map in{};
    phase_map cn{};
    sdf_header sdf{};
    int32_t rc;
    {
        py::gil_scoped_release unlocked;
        sdf_read_options options;
        options.policy = import_policy ? SDF_POLICY_IMPORT : SDF_POLICY_PLATFORM;
        rc = sdf_read_file_ex(path.c_str(), &h, &in, &cn, &sdf, options);
    }
    py::object result = py::none();
    if (rc == NO_ERROR) {
        try {
            py::dict d = dataset_dict(h, in, cn, counts);
            py::dict s;
            s["banner"] = py::bytes(sdf.banner, sizeof sdf.banner);
            s["ManufacID"] = py::str(sdf.ManufacID);
            s["CreateDate"] = py::str(sdf.CreateDate);
            s["ModDate"] = py::str(sdf.ModDate);
            s["NumPoints"] = sdf.NumPoints;
            s["NumProfiles"] = sdf.NumProfiles;
            s["Xscale"] = sdf.Xscale;
            s["Yscale"] = sdf.Yscale;
            s["Zscale"] = sdf.Zscale;
            s["Zresolution"] = sdf.Zresolution;
            s["Compression"] = sdf.Compression;
            s["DataType"] = sdf.DataType;
            s["CheckType"] = sdf.CheckType;
            d["sdf"] = s;
            result = d;
        } catch (...) {
            dat_release_maps(&in, &cn);
            throw;
        }
    }
    dat_release_maps(&in, &cn);
    return outcome(rc, log, result);
}

// Counts from heights: round(height / unit), NaN an invalid point. False (with a message) when
// a height has no count: the unit is not positive, or the count is beyond the valid range.
bool counts_of(const double* heights, std::size_t n, double unit, int32_t* out, std::string& why)
{
    if (!(unit > 0) || !std::isfinite(unit)) {
        why = "write_dat: the header's phase unit is not positive (intf_scale_factor x wavelength_in x "
              "obliquity_factor)";
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double h = heights[i];
        if (std::isnan(h)) {
            out[i] = DAT_INVALID_PHASE;
            continue;
        }
        double c = std::nearbyint(h / unit);
        if (!(c >= double(INT32_MIN) && c <= double(DAT_PHASE_MAX_VALID))) {
            why = u_format("write_dat: the height %g m at point %zu is beyond the phase map's range", h, i);
            return false;
        }
        out[i] = static_cast<int32_t>(c);
    }
    return true;
}

// True when the counts give exactly these heights (NaN for NaN): then the counts are written as
// they are, invalid values included.
bool counts_match(const int32_t* counts, const double* heights, std::size_t n, double unit)
{
    for (std::size_t i = 0; i < n; ++i) {
        double expected = counts[i] > DAT_PHASE_MAX_VALID ? std::nan("") : double(counts[i]) * unit;
        if (std::isnan(expected) ? !std::isnan(heights[i]) : expected != heights[i])
            return false;
    }
    return true;
}

int16_t dimension(py::ssize_t n, const char* what)
{
    if (n < 0 || n > INT16_MAX)
        throw py::value_error(std::string(what) + " has " + std::to_string(n) + " points on a side; at most 32767 fit");
    return static_cast<int16_t>(n);
}

using heights_array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using counts_array = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
using intensity_array = py::array_t<uint16_t, py::array::c_style | py::array::forcecast>;

py::tuple write_dat(const py::bytes& path_bytes, const py::object& record, const py::dict& fields,
                    const py::object& phase_obj, const py::object& counts_obj, const py::object& intensity_obj)
{
    std::string path = path_of(path_bytes);
    capture log;
    dat_header h = header_of(record, fields);

    phase_map cn{};
    std::vector<int32_t> counts;
    heights_array heights;
    counts_array given;
    if (!phase_obj.is_none()) {
        heights = heights_array::ensure(phase_obj);
        if (!heights || heights.ndim() != 2)
            throw py::value_error("phase must be a two-dimensional array of heights in metres");
        cn.height = dimension(heights.shape(0), "phase");
        cn.width = dimension(heights.shape(1), "phase");
        if (!counts_obj.is_none())
            given = counts_array::ensure(counts_obj);
    }
    intensity_map in{};
    intensity_array frames;
    if (!intensity_obj.is_none()) {
        frames = intensity_array::ensure(intensity_obj);
        if (!frames || (frames.ndim() != 2 && frames.ndim() != 3))
            throw py::value_error("intensity must be an array of frames x height x width (or height x width)");
        int d = frames.ndim();
        in.n_frames = d == 3 ? dimension(frames.shape(0), "intensity") : 1;
        in.height = dimension(frames.shape(d - 2), "intensity");
        in.width = dimension(frames.shape(d - 1), "intensity");
    }

    int32_t rc = NO_ERROR;
    {
        py::gil_scoped_release unlocked;
        if (heights) {
            std::size_t n = std::size_t(cn.width) * std::size_t(cn.height);
            double unit = dat_phase_unit(h);
            counts.resize(n);
            if (given && given.ndim() == 2 && given.shape(0) == cn.height && given.shape(1) == cn.width &&
                counts_match(given.data(), heights.data(), n, unit)) {
                std::memcpy(counts.data(), given.data(), n * sizeof(int32_t));
            } else {
                std::string why;
                if (!counts_of(heights.data(), n, unit, counts.data(), why)) {
                    log.add(why);
                    rc = ERR_PARAM_OUT_OF_RANGE;
                }
            }
            cn.count = static_cast<uint32_t>(n);
            cn.org_x = h.cn_org_x;
            cn.org_y = h.cn_org_y;
            cn.data = n ? counts.data() : nullptr;
        }
        if (frames) {
            in.count = static_cast<uint32_t>(frames.size());
            in.org_x = h.in_org_x;
            in.org_y = h.in_org_y;
            in.aux = h.in_aux;
            in.data = in.count ? const_cast<uint16_t*>(frames.data()) : nullptr;
        }
        if (rc == NO_ERROR) {
            dat_header_set_geometry(&h, &in, &cn);
            rc = dat_write_file(path.c_str(), &h, &in, &cn);
        }
    }
    return outcome(rc, log, py::none());
}

// sdf_to_dat (and sdf_import with the import policy) without the command line: the same
// checks in the same order. Returns (code, messages, exit status of the command).
py::tuple convert(const py::bytes& source_bytes, const py::bytes& target_bytes, bool force, bool import_policy)
{
    std::string source = path_of(source_bytes);
    std::string target = path_of(target_bytes);
    capture log;
    int32_t rc = NO_ERROR;
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        if (!u_file_exists(source.c_str())) {
            log.add("\"" + source + "\" does not exist");
            rc = ERR_CANT_OPEN_FILE;
            status = 2;
        } else if (!force && u_file_exists(target.c_str())) {
            log.add("\"" + target + "\" already exists");
            rc = ERR_CANT_CREATE_FILE;
            status = 3;
        } else {
            dat_header h{};
            intensity_map in{};
            phase_map cn{};
            sdf_read_options options;
            options.policy = import_policy ? SDF_POLICY_IMPORT : SDF_POLICY_PLATFORM;
            rc = sdf_read_file_ex(source.c_str(), &h, &in, &cn, nullptr, options);
            if (rc != NO_ERROR) {
                log.add("there was an error reading the file \"" + source + "\"");
                status = 4;
            } else {
                rc = dat_write_file(target.c_str(), &h, &in, &cn);
                if (rc != NO_ERROR) {
                    log.add("there was an error writing to the file \"" + target + "\"");
                    status = 5;
                }
            }
            dat_release_maps(&in, &cn);
        }
    }
    py::tuple t = outcome(rc, log, py::none());
    return py::make_tuple(t[0], t[1], status);
}

}  // namespace

PYBIND11_MODULE(_vell, m)
{
    m.doc() = "Native half of the vell package; use the functions of vell itself.";
    if (u_log_sink != capture_sink) {
        previous_sink = u_log_sink;
        u_log_sink = capture_sink;
    }
    m.def("read_dat", &read_dat, py::arg("path"), py::arg("counts"));
    m.def("read_sdf", &read_sdf, py::arg("path"), py::arg("import_policy"), py::arg("counts"));
    m.def("write_dat", &write_dat, py::arg("path"), py::arg("record"), py::arg("fields"), py::arg("phase"),
          py::arg("counts"), py::arg("intensity"));
    m.def("convert", &convert, py::arg("source"), py::arg("target"), py::arg("force"), py::arg("import_policy"));
    m.def("err_name", [](int32_t code) { return std::string(u_err_name(code)); });
    // Metres per count of a header: the record (or a new one) with the fields applied.
    m.def("phase_unit", [](const py::object& record, const py::dict& fields) {
        dat_header h = header_of(record, fields);
        return dat_phase_unit(h);
    });
    py::list names;
    for (const dat_field& f : dat_layout())
        names.append(py::str(f.name));
    m.attr("header_fields") = names;
    m.attr("INVALID_PHASE") = DAT_INVALID_PHASE;
    m.attr("PHASE_MAX_VALID") = DAT_PHASE_MAX_VALID;
}
