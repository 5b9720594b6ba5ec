// Scanner of calibration file text: words, vocabulary keywords, look-ahead and range-checked
// numbers, and the message reporting that the reader and writer share.
//
// Every scanner operation takes the current status and returns the new one; when a status is
// already set it does nothing and returns it unchanged. So a line's arguments can be read one
// after another and checked once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vell/calfile/vocab.h"
#include "vell/platform/log.h"

// Longest word: a longer run of characters is cut here and its rest is read as the next word.
constexpr std::size_t CALFILE_MAX_WORD = 81;

// Process-wide reporting state of the calibration file reader and writer.
struct calfile_report_state {
    int msg_count = 0;        // messages reported since the current read began
    std::string header_name;  // path of the file being read (empty: none)
    std::string plus_text;    // text of the one-line update being read (empty: none)
    int line = 0;             // number of the line being read
};
calfile_report_state& calfile_reporting();

// Formats a reader message and sends it to the log sink as one line, preceded by the
// "Error(s) reading system calibration ..." header when it is the first message of the read.
// Counts the message.
void calfile_report_read(const char* format, ...) VP_PRINTF(1, 2);

// Formats a writer message and sends it to the log sink as one line. It counts in the reader's
// message count (which the writer does not reset); when that count is 0 the message is preceded
// by "Error writing system calibration file" and the name of the file most recently read.
void calfile_report_write(const char* format, ...) VP_PRINTF(1, 2);

// The text being scanned. Carriage returns are dropped when the text is taken in; NUL bytes
// count as blanks. Line feeds passed so far are counted, so the scanner always knows the line
// it is on.
class calfile_stream {
public:
    explicit calfile_stream(std::string text);

    bool at_end() const noexcept { return pos_ >= text_.size(); }
    // Next character as unsigned char, or -1 at the end.
    int peek_char() const noexcept
    {
        return at_end() ? -1 : static_cast<unsigned char>(text_[pos_]);
    }
    void advance() noexcept;
    // Skips blanks, tabs and NUL bytes.
    void skip_blanks() noexcept;
    // Skips blanks, tabs, NUL bytes and line feeds.
    void skip_space() noexcept;
    // Skips the rest of the current line and its line feed. True when the end of the text was
    // reached without a line feed.
    bool skip_line() noexcept;

    std::size_t pos() const noexcept { return pos_; }
    void seek(std::size_t pos) noexcept { pos_ = pos; }
    std::string_view text() const noexcept { return text_; }
    // Number of the line the next character is on (1 for the first line).
    int line() const noexcept { return line_feeds_ + 1; }

private:
    std::string text_;
    std::size_t pos_ = 0;
    int line_feeds_ = 0;
};

// What follows, as seen by calfile_peek.
enum class cal_peek { eol, number, word, lbracket, colon, other };

// Interval ends of calfile_real.
enum class cal_ends { closed, open_low, open_high, open };

// Next word into `word`. ERR_EOL at "#" or a line end, ERR_EOF at the end of the text; a line
// end inside a quoted word gives ERR_EOL, the end of the text ERR_EOF.
int32_t calfile_word(calfile_stream& in, int32_t status, std::string& word);

// Next word looked up in the vocabulary (in lower case). `token` is TOK_UNKNOWN for a word that
// is not in it; the word as read is stored in `word` when given.
int32_t calfile_keyword(calfile_stream& in, int32_t status, cal_token& token,
                        std::string* word = nullptr);

// Skips blanks and tabs and classifies the next character without consuming it. Gives
// cal_peek::eol when a status is set.
cal_peek calfile_peek(calfile_stream& in, int32_t status);

// Integer lo <= n <= hi. Blanks, tabs and line ends before it are skipped. Out of range:
// "%d out of range [%d,%d]" and ERR_SB_CALFILE_VALUE_RANGE; no number: ERR_SB_CALFILE_SYNTAX;
// end of text: ERR_EOF. A number beyond 32 bits is taken as the nearest 32-bit value.
int32_t calfile_int(calfile_stream& in, int32_t status, int32_t lo, int32_t hi, int32_t& value);

// Real number in decimal or exponent notation within the interval; as calfile_int, with the
// messages "%g out of range [%g,%g]", "(%g,%g]", "[%g,%g)" or "(%g,%g)".
int32_t calfile_real(calfile_stream& in, int32_t status, double lo, double hi, double& value,
                     cal_ends ends = cal_ends::closed);
