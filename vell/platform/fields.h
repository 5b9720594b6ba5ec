// Readers of small hand-edited configuration files: keyword comparison, the line reader and the
// integer, real and string field readers with their "Expected ..." reports.
//
// A configuration file is read one line at a time (u_line_reader); each line is split into
// words (u_words) and its fields are taken one word after another by the field readers. A field
// reader that fails leaves the value untouched and, when given a report, replaces the report
// with two lines: what was wrong ("Number out of range.\n") and what was expected
// ("Expected 'coord x' an integer value in the range [0,639]\n").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

// Keyword comparison: case-insensitive, colons count as blanks, blanks and tabs around the
// texts are ignored ("VERSION:" equals "Version"). Negative, zero or positive like strcmp.
// A null text compares as an empty one.
int strxcmp(std::string_view a, std::string_view b);
int strxcmp(const char* a, const char* b);

// The word separators of the configuration files.
inline constexpr char U_FIELD_DELIMS[] = " \t\r\n";

// The words of one line, taken from the front.
class u_words {
public:
    explicit u_words(std::string_view text) : rest_(text) {}

    // The next word separated by any of `delims`; false (and an empty word) when none is left.
    bool next(std::string_view& word, std::string_view delims = U_FIELD_DELIMS);
    // What has not been taken yet.
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

// No lower or upper limit for the integer reader.
inline constexpr int32_t U_FIELD_NO_MIN = std::numeric_limits<int32_t>::min();
inline constexpr int32_t U_FIELD_NO_MAX = std::numeric_limits<int32_t>::max();

// The field readers. Each takes the next word of `words`; `desc` (may be null) names the field
// in the report (at most 40 characters of it are shown); `report` (may be null) receives the
// report of a failure. True on success, with the value stored.
//
// Integers: an optional sign and decimal digits, between lo and hi (U_FIELD_NO_MIN / NO_MAX
// mean no limit on that side). Reals: the decimal forms of C (digits, point, exponent), between
// lo and hi (an infinite limit means none). "nan", "inf" and hexadecimal forms are not numbers.
bool u_field_int(u_words& words, std::string_view delims, const char* desc, int32_t lo, int32_t hi,
                 int32_t& value, std::string* report);
bool u_field_real(u_words& words, std::string_view delims, const char* desc, double lo, double hi,
                  double& value, std::string* report);
// A word of at most max_len characters.
bool u_field_string(u_words& words, std::string_view delims, const char* desc, int max_len, std::string& value,
                    std::string* report);

// Longest line of a configuration file, not counting its CR LF or LF.
inline constexpr std::size_t U_CONFIG_LINE_MAX = 99;

// Reads a configuration file line by line. Lines end with LF or CR LF; the line handed out is
// the line as read without them. A line longer than the limit is consumed whole (so the count
// stays right) and reported as too long. One line can be pushed back: the next read hands it
// out again without counting it twice.
class u_line_reader {
public:
    enum result { line, too_long, end, read_error };

    explicit u_line_reader(std::FILE* file, std::size_t max_chars = U_CONFIG_LINE_MAX)
        : file_(file), max_(max_chars) {}

    result next();
    // The line last read is handed out again by the next call of next().
    void push_back() { pushed_ = true; }

    // The line last read, as it is in the file (CR LF or LF removed), and its number (from 1).
    const std::string& text() const { return text_; }
    int number() const { return number_; }
    // The line's text for a report: up to its first NUL byte.
    std::string shown() const { return text_.substr(0, text_.find('\0')); }

private:
    std::FILE* file_;
    std::size_t max_;
    std::string text_;
    int number_ = 0;
    bool pushed_ = false;
    result last_ = end;
};

// True for an empty line or one whose first word begins with "#".
bool u_config_comment(std::string_view line);

// Opens a file of the platform path convention for reading in binary mode; null when it
// cannot be opened (or the path is null or ill-formed).
std::FILE* u_open_config_file(const char* path);
