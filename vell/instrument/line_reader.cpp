#include "vell/instrument/line_reader.h"

namespace instr {

bool line_reader::next(std::string& text, bool& too_long)
{
    text.clear();
    too_long = false;
    // Two characters more than the bound, so that carriage returns at the end can be told from
    // text beyond it.
    const std::size_t keep = max_len_ + 2;
    bool dropped = false;
    bool any = false;
    int c;
    while ((c = std::getc(file_)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (text.size() < keep)
            text.push_back(static_cast<char>(c));
        else
            dropped = true;
    }
    if (c == EOF && std::ferror(file_)) {
        failed_ = true;
        return false;
    }
    if (!any)
        return false;
    ++line_;
    if (!dropped) {
        while (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    if (dropped || text.size() > max_len_) {
        too_long = true;
        text.resize(max_len_);
    }
    return true;
}

}  // namespace instr
