#include "vell/acquisition/bpix.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

using file_ptr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

constexpr int max_line_with_lf = 100;
constexpr int32_t pixel_step = 8192;  // the pixel list grows by this many entries

std::string line_report(const u_line_reader& in, bool show_line)
{
    char head[64];
    std::snprintf(head, sizeof head, show_line ? "Error in line %d:\r\n  " : "Error in line %d\r\n", in.number());
    return show_line ? head + in.shown() + "\n" : std::string(head);
}

std::string too_long_detail()
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "Line longer than %d characters\r\n", max_line_with_lf);
    return buf;
}

// The header fields after "[": grab mode, grab under, size x, size y, grab rate.
bool read_header(u_words& words, bpix_block& b, std::string& detail)
{
    int32_t mode = 0, under = 0, sx = 0, sy = 0;
    double rate = 0.0;
    if (!u_field_int(words, U_FIELD_DELIMS, "grab mode", 0, 10, mode, &detail) ||
        !u_field_int(words, U_FIELD_DELIMS, "grab under", 0, 10, under, &detail) ||
        !u_field_int(words, U_FIELD_DELIMS, "size x", 0, 32767, sx, &detail) ||
        !u_field_int(words, U_FIELD_DELIMS, "size y", 0, 32767, sy, &detail) ||
        !u_field_real(words, U_FIELD_DELIMS, "grab rate", 0.0, 500.0, rate, &detail))
        return false;
    b.grab_mode = static_cast<int16_t>(mode);
    b.grab_under = static_cast<int16_t>(under);
    b.size_x = static_cast<int16_t>(sx);
    b.size_y = static_cast<int16_t>(sy);
    b.grab_rate = rate;
    return true;
}

void release_table(bpix_block* blocks, int32_t count)
{
    if (blocks == nullptr)
        return;
    bpix_free_blocks(blocks, count);
    u_free(blocks);
}

// An instrument's bad pixel table, in its record's run-time part; destroying it (the record's
// run-time reset) releases the table.
struct bpix_table {
    bpix_table() = default;
    ~bpix_table() { release_table(blocks, count); }
    bpix_table(const bpix_table&) = delete;
    bpix_table& operator=(const bpix_table&) = delete;

    bpix_block* blocks = nullptr;
    int32_t count = 0;
};

void release_bpix_table(bpix_table& t)
{
    release_table(t.blocks, t.count);
    t.blocks = nullptr;
    t.count = 0;
}

}  // namespace

void bpix_free_block(bpix_block* block)
{
    if (block == nullptr)
        return;
    u_free(block->pixels);
    block->pixels = nullptr;
    block->num_pixels = 0;
}

void bpix_free_blocks(bpix_block* blocks, int32_t count)
{
    if (blocks == nullptr)
        return;
    for (int32_t i = 0; i < count; ++i)
        bpix_free_block(&blocks[i]);
}

int32_t bpix_read_block(u_line_reader* in, bpix_block* block, bool* at_end, std::string* report)
{
    std::string local;
    std::string& rep = report != nullptr ? *report : local;
    rep.clear();
    bool end_local = true;
    bool& end = at_end != nullptr ? *at_end : end_local;
    end = true;
    if (block != nullptr)
        *block = bpix_block{};
    if (in == nullptr) {
        rep = "Invalid camera bad file handle. \n";
        return ERR_INVALID_PARAM;
    }
    if (block == nullptr)
        return ERR_INVALID_PARAM;

    bool have_header = false;
    int32_t capacity = 0;
    std::string detail;
    bool show_line = true;
    for (;;) {
        u_line_reader::result r = in->next();
        if (r == u_line_reader::end)
            break;
        if (r == u_line_reader::read_error) {
            bpix_free_block(block);
            rep = "Cannot read camera bad file.\r\n";
            return ERR_CANT_READ_FILE;
        }
        if (r == u_line_reader::too_long) {
            detail = too_long_detail();
            show_line = false;
            break;
        }
        const std::string_view text = in->text();
        if (u_config_comment(text))
            continue;
        end = false;
        u_words words(text);
        std::string_view first;
        words.next(first);
        if (first.front() == '[') {
            if (have_header) {
                in->push_back();  // the next block's header
                break;
            }
            u_words fields(text.substr(static_cast<std::size_t>(first.data() - text.data()) + 1));
            if (!read_header(fields, *block, detail))
                break;
            have_header = true;
            continue;
        }
        if (!have_header) {
            detail = "Missing camera information.\r\n";
            break;
        }
        if (block->num_pixels == capacity) {
            void* grown = capacity <= std::numeric_limits<int32_t>::max() - pixel_step ? u_realloc(block->pixels, static_cast<std::size_t>(capacity + pixel_step) * sizeof(bpix_pixel))
                                                                                : nullptr;
            if (grown == nullptr) {
                bpix_free_block(block);
                rep = "Out of memory for the bad pixel list.\r\n";
                return ERR_NO_MEM;
            }
            block->pixels = static_cast<bpix_pixel*>(grown);
            capacity += pixel_step;
        }
        u_words coords(text);
        bpix_pixel p;
        if (!u_field_int(coords, U_FIELD_DELIMS, "coord x", 0, block->size_x - 1, p.x, &detail) ||
            !u_field_int(coords, U_FIELD_DELIMS, "coord y", 0, block->size_y - 1, p.y, &detail))
            break;
        block->pixels[block->num_pixels++] = p;
    }
    if (!detail.empty()) {
        bpix_free_block(block);
        rep = detail + line_report(*in, show_line);
        return ERR_CB_FILE_INVALID;
    }
    if (block->num_pixels == 0)
        bpix_free_block(block);
    else if (block->num_pixels < capacity) {
        void* fitted = u_realloc(block->pixels, static_cast<std::size_t>(block->num_pixels) * sizeof(bpix_pixel));
        if (fitted != nullptr)  // else the larger list stays, which is as good
            block->pixels = static_cast<bpix_pixel*>(fitted);
    }
    return NO_ERROR;
}

int32_t bpix_read_file(const char* path, bpix_block* blocks, int32_t* count, std::string* report)
{
    std::string local;
    std::string& rep = report != nullptr ? *report : local;
    rep.clear();
    if (count != nullptr)
        *count = 0;
    if (path == nullptr || path[0] == '\0' || blocks == nullptr || count == nullptr)
        return ERR_INVALID_PARAM;
    file_ptr file(u_open_config_file(path), &std::fclose);
    if (!file) {
        rep = std::string("Cannot open camera bad file \"") + path + "\"\r\n";
        return ERR_CANT_OPEN_FILE;
    }
    const std::string heading = std::string("Error reading bad pixel file \"") + path + "\"\r\n";
    u_line_reader in(file.get());
    int32_t n = 0;
    auto fail = [&](int32_t rc, const std::string& why) {
        bpix_free_blocks(blocks, n);
        rep = heading + why;
        return rc;
    };
    while (n < BPIX_MAX_BLOCKS) {
        bool end = true;
        std::string why;
        int32_t rc = bpix_read_block(&in, &blocks[n], &end, &why);
        if (rc != NO_ERROR)
            return fail(rc, why);
        if (end) {
            *count = n;
            return NO_ERROR;
        }
        ++n;
    }
    // The table is full: anything but comments from here on is one block too many.
    for (;;) {
        u_line_reader::result r = in.next();
        if (r == u_line_reader::end)
            break;
        if (r == u_line_reader::read_error)
            return fail(ERR_CANT_READ_FILE, "Cannot read camera bad file.\r\n");
        if (r == u_line_reader::too_long)
            return fail(ERR_CB_FILE_INVALID, too_long_detail() + line_report(in, false));
        if (u_config_comment(in.text()))
            continue;
        char why[80];
        std::snprintf(why, sizeof why, "More than %d camera modes in the file.\r\n", BPIX_MAX_BLOCKS);
        return fail(ERR_CB_FILE_INVALID, why + line_report(in, true));
    }
    *count = n;
    return NO_ERROR;
}

int32_t bpix_clean(bpix_block* blocks, int32_t count)
{
    if (count < 0 || (blocks == nullptr && count > 0))
        return ERR_INVALID_PARAM;
    for (int32_t i = 0; i < count; ++i) {
        bpix_block& b = blocks[i];
        if (b.pixels == nullptr || b.num_pixels <= 0)
            continue;
        bpix_pixel* first = b.pixels;
        bpix_pixel* last = b.pixels + b.num_pixels;
        auto before = [](const bpix_pixel& a, const bpix_pixel& c) { return a.x != c.x ? a.x < c.x : a.y < c.y; };
        std::stable_sort(first, last, before);
        bpix_pixel* kept = std::unique(first, last, [](const bpix_pixel& a, const bpix_pixel& c) {
            return a.x == c.x && a.y == c.y;
        });
        b.num_pixels = static_cast<int32_t>(kept - first);
    }
    return NO_ERROR;
}

int32_t gen_cam_ped_filename(int slot)
{
    SysInfo* info = sysinfo_slot(slot);
    if (info == nullptr)
        return ERR_INVALID_PARAM;
    bpix_table& t = info->services.get<bpix_table>();

    void* room = u_malloc(sizeof(bpix_block) * BPIX_MAX_BLOCKS);
    release_bpix_table(t);
    if (room == nullptr)
        return ERR_NO_MEM;
    bpix_block* blocks = static_cast<bpix_block*>(room);
    for (int i = 0; i < BPIX_MAX_BLOCKS; ++i)
        new (&blocks[i]) bpix_block{};

    const bool named = info->bpixFileName.is_set() && !info->bpixFileName.view().empty();
    if (info->bpixFileFlag == 0 && !named) {
        // The calibration file's own list of bad pixels is not turned into a table here.
        u_free(blocks);
        return NO_ERROR;
    }
    std::string name;
    if (named)
        name.assign(info->bpixFileName.view());
    else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "bpix_%d.dat", static_cast<int>(info->serialNum));
        name = buf;
    }
    const char* dir = u_config_dir();
    if (dir == nullptr) {
        u_log_sink("gen_cam_ped_filename: invalid config directory.\n");
        u_free(blocks);
        return ERR_INVALID_PARAM;
    }
    const std::string path = std::string(dir) + os::path_separator + name;
    int32_t count = 0;
    std::string report;
    int32_t rc = bpix_read_file(path.c_str(), blocks, &count, &report);
    if (rc == NO_ERROR)
        rc = bpix_clean(blocks, count);
    if (rc != NO_ERROR) {
        if (!report.empty())
            u_log_sink("%s", report.c_str());
        release_table(blocks, count);
        return rc;
    }
    t.blocks = blocks;
    t.count = count;
    return NO_ERROR;
}

void bpix_slot_table(int slot, const bpix_block** blocks, int32_t* count)
{
    bpix_table_of(sysinfo_slot(slot), blocks, count);
}

void bpix_table_of(const SysInfo* info, const bpix_block** blocks, int32_t* count)
{
    const bpix_table* t = info != nullptr ? info->services.find<bpix_table>() : nullptr;
    if (blocks != nullptr)
        *blocks = t != nullptr ? t->blocks : nullptr;
    if (count != nullptr)
        *count = t != nullptr ? t->count : 0;
}
