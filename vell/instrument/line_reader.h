// Reading a small text file line by line with a bound on the line length, for the instrument
// files that engineers edit by hand.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace instr {

class line_reader {
public:
    // Lines longer than max_len characters (line end not counted) are reported as too long.
    line_reader(std::FILE* file, std::size_t max_len) : file_(file), max_len_(max_len) {}

    // Reads the next line into text without its line feed and without the carriage returns
    // before it. False at the end of the file or after a read error (see failed()). A line
    // longer than max_len characters sets too_long; text then holds its first max_len
    // characters and the rest of the line is skipped.
    bool next(std::string& text, bool& too_long);

    // Number of the line last read, counted from 1.
    int line_number() const { return line_; }
    bool failed() const { return failed_; }

private:
    std::FILE* file_;
    std::size_t max_len_;
    int line_ = 0;
    bool failed_ = false;
};

// True for the separators of the words of a line.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace instr
