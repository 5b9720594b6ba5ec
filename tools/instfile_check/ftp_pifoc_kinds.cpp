// instfile_check kinds "ftp" (FTP materials file) and "pifoc" (PIFOC info file).
#include <charconv>
#include <cmath>
#include <string>

#include "vell/instrument/ftp_materials.h"
#include "vell/instrument/pifoc.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "tools/instfile_check/kinds.h"

namespace {

// A value as the materials file writes it: "?" when not given, else the shortest text that
// reads back as the same number.
void put_value(std::string& out, double v)
{
    out += ' ';
    if (std::isinf(v) && v > 0) {
        out += '?';
        return;
    }
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, ec == std::errc() ? end : buf);
}

// One line per record: the index, then a material line in the file's own form, or the comment
// of a comment record.
int32_t check_ftp(const char* path, std::string& shown)
{
    ftp_material* table = nullptr;
    int32_t rc = ftp_read_materials(path, &table);
    if (rc != NO_ERROR)
        return rc;
    const int n = ftp_material_count(table);
    for (int i = 0; i < n; ++i) {
        const ftp_material& m = table[i];
        shown += std::to_string(m.index);
        if (m.index >= 0) {
            shown += " \"";
            shown += m.name;
            shown += '"';
            for (double v : {m.n, m.k, m.pcor, m.disper[0], m.disper[1], m.disper[2], m.disper[3]})
                put_value(shown, v);
        }
        if (m.comment[0] != '\0') {
            shown += ' ';
            shown += m.comment;
        }
        shown += '\n';
    }
    ftp_free_materials(table);
    return NO_ERROR;
}

// The values read, checked against the wall clock, in the form the platform saves them.
int32_t check_pifoc(const char* path, std::string& shown)
{
    xr_pifoc_values values;
    int32_t rc = xr_read_pifoc_info_file(path, u_wall_s(), &values);
    if (rc == NO_ERROR)
        shown = xr_format_pifoc_info(values);
    return rc;
}

const instfile_kind ftp_kind{"ftp", "FTP materials file", &check_ftp};
const instfile_kind pifoc_kind{"pifoc", "PIFOC info file", &check_pifoc};

}  // namespace
