#include "vell/posinstr/lcdmi.h"

#include <array>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string_view>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/fields.h"
#include "vell/platform/log.h"

namespace {

using file_ptr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The integer fields of a Channel line after the ID, in file order.
struct int_field {
    const char* desc;
    int32_t lo;
    int32_t hi;
    int32_t lcdmi_channel::*member;
};
constexpr int_field channel_fields[] = {
    {"disabled", 0, 1, &lcdmi_channel::disabled},
    {"output type", 0, 1, &lcdmi_channel::output_type},
    {"polarity", 0, 1, &lcdmi_channel::polarity},
    {"resolution", 0, 3, &lcdmi_channel::resolution},
    {"filter cutoff frequency", 0, 7, &lcdmi_channel::filter_cutoff},
    {"nominal data rate", 0, 3, &lcdmi_channel::data_rate},
};

constexpr int version_low = 2;
constexpr int version_high = 3;
constexpr int max_line_with_lf = 100;

std::string formatted(const char* format, ...) VP_PRINTF(1, 2);
std::string formatted(const char* format, ...)
{
    char buf[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

// Reads the fields of a Channel line into the entry of its ID. The entry's average flag, set by
// an AvgChannels line, stays.
bool read_channel(u_words& words, lcdmi_config& config, int& index, std::string& detail)
{
    lcdmi_channel ch;
    if (!u_field_int(words, U_FIELD_DELIMS, "channel ID", 1, LCDMI_NUM_CHANNELS, ch.id, &detail))
        return false;
    for (const int_field& f : channel_fields)
        if (!u_field_int(words, U_FIELD_DELIMS, f.desc, f.lo, f.hi, ch.*(f.member), &detail))
            return false;
    if (!u_field_real(words, U_FIELD_DELIMS, "scale factor", -99.0, 99.0, ch.scale_factor, &detail))
        return false;
    std::string label;
    if (!u_field_string(words, U_FIELD_DELIMS, "label", LCDMI_LABEL_MAX, label, &detail))
        return false;
    std::memcpy(ch.label, label.data(), label.size());
    index = ch.id - 1;
    ch.average = config.chan[index].average;
    config.chan[index] = ch;
    return true;
}

class lcdmi_parser {
public:
    explicit lcdmi_parser(lcdmi_config& config) : config_(config) {}

    // One non-comment line. False with `detail` on an error.
    bool line(std::string_view text, std::string& detail)
    {
        u_words words(text);
        std::string_view keyword;
        words.next(keyword);
        if (strxcmp(keyword, "Version") == 0) {
            int32_t v = 0;
            if (!u_field_int(words, U_FIELD_DELIMS, "version number", 0, 99, v, &detail))
                return false;
            if (v != version_low && v != version_high) {
                detail = formatted("This program requires a version %d or %d configuration file.\r\n", version_low,
                                   version_high);
                return false;
            }
            version_seen_ = true;
            return true;
        }
        if (!version_seen_) {
            detail = "The first non-comment line must be a Version statement.\r\n";
            return false;
        }
        if (strxcmp(keyword, "Channel") == 0) {
            int index = 0;
            if (!read_channel(words, config_, index, detail))
                return false;
            // Primary channel: the first channel enabled and still enabled at the end.
            if (config_.chan[index].disabled != 0)
                enabled_order_[index] = 0;
            else if (enabled_order_[index] == 0)
                enabled_order_[index] = ++enable_count_;
            return true;
        }
        if (strxcmp(keyword, "DiagOpts") == 0) {
            int32_t v = 0;
            while (u_field_int(words, U_FIELD_DELIMS, "diagnostic option", 0, 256, v, nullptr))
                if (v >= 1 && v <= 32)  // options above 32 have no bit
                    config_.diag_opts |= uint32_t{1} << (v - 1);
            return true;
        }
        if (strxcmp(keyword, "AvgChannels") == 0) {
            config_.avg_given = 1;
            int32_t v = 0;
            while (u_field_int(words, U_FIELD_DELIMS, "average input option", 0, 256, v, nullptr)) {
                if (v < 1 || v > LCDMI_NUM_CHANNELS) {
                    detail = formatted("Invalid channel number %d.\r\n", static_cast<int>(v));
                    return false;
                }
                config_.chan[v - 1].average = 1;
            }
            return true;
        }
        detail = formatted("Unrecognized token \"%.40s\"\r\n", std::string(keyword).c_str());
        return false;
    }

    void finish()
    {
        int best = 0;
        for (int i = 0; i < LCDMI_NUM_CHANNELS; ++i)
            if (enabled_order_[i] != 0 && (best == 0 || enabled_order_[i] < enabled_order_[best - 1]))
                best = i + 1;
        config_.prim_chan = best;
    }

private:
    lcdmi_config& config_;
    bool version_seen_ = false;
    int enabled_order_[LCDMI_NUM_CHANNELS] = {};
    int enable_count_ = 0;
};

// Appends printf pieces to a bounded buffer; the first piece that does not fit (with the
// terminator) stops the writing for good.
class piece_writer {
public:
    piece_writer(char* buffer, std::size_t size) : buf_(buffer), size_(size)
    {
        if (size_ > 0)
            buf_[0] = '\0';
        else
            full_ = true;
    }
    void add(const char* format, ...) VP_PRINTF(2, 3)
    {
        if (full_)
            return;
        char piece[160];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(piece, sizeof piece, format, args);
        va_end(args);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof piece || static_cast<std::size_t>(n) >= size_ - len_) {
            full_ = true;
            return;
        }
        std::memcpy(buf_ + len_, piece, static_cast<std::size_t>(n) + 1);
        len_ += static_cast<std::size_t>(n);
    }
    std::size_t length() const { return len_; }

private:
    char* buf_;
    std::size_t size_;
    std::size_t len_ = 0;
    bool full_ = false;
};

constexpr int dump_width = 13;

// What an instrument record keeps of its LCDMI, in its run-time part.
struct lcdmi_run_state {
    bool loaded = false;
    pi_lcdmi_state state;
};

int32_t load(int slot)
{
    SysInfo* info = sysinfo_slot(slot);
    if (info == nullptr || info->posInstrType != POS_LCDMI)
        return ERR_INVALID_PARAM;
    lcdmi_run_state& mine = info->services.get<lcdmi_run_state>();
    mine = lcdmi_run_state{};
    const char* device = info->posInstrName[0].c_str();
    const std::size_t n = device != nullptr ? std::strlen(device) : 0;
    if (n == 0 || device[n - 1] < '0' || device[n - 1] > '9') {
        u_log_sink("\"%s\" does not end with a digit\r\n", device != nullptr ? device : "");
        return ERR_INVALID_PARAM;
    }
    pi_lcdmi_state st;
    st.board = device[n - 1] - '0';
    const char* name = info->posInstrName[1].c_str();
    if (name != nullptr && name[0] != '\0') {
        const char* found = nullptr;
        int32_t rc = u_find_config_file(name, &found);
        if (rc != NO_ERROR)
            return rc;
        const std::string path = found != nullptr ? found : "";
        std::string report;
        rc = lcdmi_read_config(path.c_str(), &st.config, &report);
        if (rc != NO_ERROR) {
            if (!report.empty())
                u_log_sink("%s", report.c_str());
            return rc;
        }
        st.has_config = true;
    }
    mine = lcdmi_run_state{true, st};
    return NO_ERROR;
}

}  // namespace

int32_t lcdmi_read_config(const char* path, lcdmi_config* config, std::string* report)
{
    std::string local;
    std::string& rep = report != nullptr ? *report : local;
    rep.clear();
    if (path == nullptr || path[0] == '\0' || config == nullptr)
        return ERR_INVALID_PARAM;
    *config = lcdmi_config{};
    file_ptr file(u_open_config_file(path), &std::fclose);
    if (!file) {
        rep = std::string("Cannot open LCDMI configuration file \"") + path + "\"\r\n";
        return ERR_CANT_OPEN_FILE;
    }

    u_line_reader lines(file.get());
    lcdmi_parser parser(*config);
    std::string detail;
    bool show_line = true;
    for (;;) {
        u_line_reader::result r = lines.next();
        if (r == u_line_reader::end)
            break;
        if (r == u_line_reader::read_error) {
            rep = std::string("Cannot read LCDMI configuration file \"") + path + "\"\r\n";
            return ERR_CANT_READ_FILE;
        }
        if (r == u_line_reader::too_long) {
            detail = formatted("Line longer than %d characters\r\n", max_line_with_lf);
            show_line = false;
            break;
        }
        if (u_config_comment(lines.text()))
            continue;
        if (!parser.line(lines.text(), detail))
            break;
    }
    if (detail.empty()) {
        parser.finish();
        return NO_ERROR;
    }
    rep = std::string("Error reading LCDMI configuration file \"") + path + "\"\r\n";
    rep += detail;
    if (show_line)
        rep += formatted("Error in line %d:\r\n  ", lines.number()) + lines.shown() + "\r\n";
    else
        rep += formatted("Error in line %d\r\n", lines.number());
    return ERR_LCDMI_CONFIG;
}

std::size_t lcdmi_dump_config(const lcdmi_config& c, char* buffer, std::size_t size)
{
    if (buffer == nullptr)
        return 0;
    piece_writer w(buffer, size);
    w.add("LCDMI configuration:\r\n");
    w.add("  %-*s =", dump_width, "Diag Opts");
    if (c.diag_opts == 0)
        w.add(" 0\r\n");
    else {
        for (int n = 1; n <= 32; ++n)
            if (c.diag_opts & (uint32_t{1} << (n - 1)))
                w.add(" %d", n);
        w.add("\r\n");
    }
    w.add("  %-*s = %d\r\n", dump_width, "Prim Chan ID", static_cast<int>(c.prim_chan));
    for (int i = 0; i < LCDMI_NUM_CHANNELS; ++i) {
        const lcdmi_channel& ch = c.chan[i];
        w.add("Channel %d:\r\n", i + 1);
        w.add("  %-*s = %d\r\n", dump_width, "Chan ID", static_cast<int>(ch.id));
        w.add("  %-*s = %d\r\n", dump_width, "Disabled", static_cast<int>(ch.disabled));
        w.add("  %-*s = %d\r\n", dump_width, "Output Type", static_cast<int>(ch.output_type));
        w.add("  %-*s = %d\r\n", dump_width, "Polarity", static_cast<int>(ch.polarity));
        w.add("  %-*s = %d\r\n", dump_width, "Resolution", static_cast<int>(ch.resolution));
        w.add("  %-*s = %d\r\n", dump_width, "Filt Cut Freq", static_cast<int>(ch.filter_cutoff));
        w.add("  %-*s = %d\r\n", dump_width, "Nom Data Rate", static_cast<int>(ch.data_rate));
        w.add("  %-*s = %g\r\n", dump_width, "Scale Factor", ch.scale_factor);
        w.add("  %-*s = \"%.*s\"\r\n", dump_width, "Label", LCDMI_LABEL_MAX, ch.label);
    }
    return w.length();
}

void lcdmi_print_config(const lcdmi_config& config, std::FILE* stream)
{
    char buf[1024];
    lcdmi_dump_config(config, buf, 1000);
    if (stream != nullptr) {
        std::fputs(buf, stream);
        std::fflush(stream);
    }
}

int32_t pi_lcdmi_load_config(int slot)
{
    int32_t rc = load(slot);
    if (rc != NO_ERROR)
        u_log_sink("Error opening LCDMI: %s\r\n", u_err_name(rc));
    return rc;
}

const pi_lcdmi_state* pi_lcdmi_slot(int slot)
{
    const SysInfo* info = sysinfo_slot(slot);
    const lcdmi_run_state* mine = info != nullptr ? info->services.find<lcdmi_run_state>() : nullptr;
    return mine != nullptr && mine->loaded ? &mine->state : nullptr;
}
