// libFuzzer target: the FTP materials file reader, ftp_read_materials on any file content.
//
// Properties: the result is one of the platform's error codes; a failed read leaves the
// caller's table exactly as it was; a successful one gives a table of terminated names and
// comments, material indexes counted from 0 in order, comment records at -1, values inside
// their ranges (or +infinity for "not given"), the closing all-zero record, and no block larger
// than the lines of the input justify.
// fuzz-run: corpus=ftp dict=ftp max_len=8192
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "vell/instrument/ftp_materials.h"
#include "vell/platform/errors.h"

namespace {

bool known_code(int32_t rc) { return rc == NO_ERROR || (rc >= U_ERR_FIRST && rc <= U_ERR_LAST); }

bool in_range(double v, double lo, double hi) { return (v >= lo && v <= hi) || (std::isinf(v) && v > 0); }

// A table the caller already has, from the allocation hooks: a failed read must leave it alone,
// a successful one releases it.
ftp_material* previous_table()
{
    auto* table = static_cast<ftp_material*>(u_calloc(2, sizeof(ftp_material)));
    if (table == nullptr)
        vpfuzz::fail("cannot allocate the previous table");
    std::strcpy(table[0].name, "Previous");
    table[0].n = 1.5;
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = vpfuzz::scratch().file("materials.txt");
    vpfuzz::put_file(path, data, size);
    ftp_material* const before = previous_table();

    // The shortest line that makes a record is "#" and its line feed.
    vpfuzz::alloc_limit() = (size / 2 + 6) * sizeof(ftp_material);
    u_hooks.alloc = &vpfuzz::guarded_alloc;
    u_hooks.calloc = &vpfuzz::guarded_calloc;
    u_hooks.realloc = &vpfuzz::guarded_realloc;

    ftp_material* table = before;
    int32_t rc = ftp_read_materials(path.c_str(), &table);
    u_hooks_reset();
    VP_FUZZ_CHECK(known_code(rc));
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(table == before);
        VP_FUZZ_CHECK(std::strcmp(table[0].name, "Previous") == 0 && table[0].n == 1.5);
        ftp_free_materials(table);
        return 0;
    }
    VP_FUZZ_CHECK(table != before && table != nullptr);
    const double two_pi = 6.283185307179586;
    const int n = ftp_material_count(table);
    int materials = 0;
    for (int i = 0; i < n; ++i) {
        const ftp_material& m = table[i];
        VP_FUZZ_CHECK(std::memchr(m.name, '\0', sizeof m.name) != nullptr);
        VP_FUZZ_CHECK(std::memchr(m.comment, '\0', sizeof m.comment) != nullptr);
        if (m.index < 0) {
            VP_FUZZ_CHECK(m.index == -1 && m.name[0] == '\0');
            continue;
        }
        VP_FUZZ_CHECK(m.index == materials);
        ++materials;
        VP_FUZZ_CHECK(m.name[0] != '\0');
        VP_FUZZ_CHECK(in_range(m.n, 0, 100) && in_range(m.k, 0, 100) && in_range(m.pcor, -two_pi, two_pi));
        for (double d : m.disper)
            VP_FUZZ_CHECK(in_range(d, -two_pi, two_pi));
    }
    VP_FUZZ_CHECK(materials > 0);
    const ftp_material& end = table[n];
    VP_FUZZ_CHECK(end.index == 0 && end.name[0] == '\0' && end.comment[0] == '\0' && end.n == 0 && end.k == 0 &&
                  end.pcor == 0);
    ftp_free_materials(table);
    return 0;
}
