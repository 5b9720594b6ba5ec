#include "vell/sdf/input.h"

#include <algorithm>
#include <cstring>

#include "vell/platform/os.h"

namespace sdf {

input::input(std::FILE* stream, bool owned, std::size_t block, bool positioned)
    : stream_(stream), owned_(owned), positioned_(positioned && stream != nullptr),
      buf_(new char[std::max<std::size_t>(block, 16)]), cap_(std::max<std::size_t>(block, 16))
{
}

input::~input()
{
    if (owned_ && stream_ != nullptr)
        std::fclose(stream_);
}

bool input::refill()
{
    if (stream_ == nullptr)
        eof_ = true;
    if (eof_)
        return false;
    if (pos_ > 0) {
        std::memmove(buf_.get(), buf_.get() + pos_, len_ - pos_);
        base_ += pos_;
        len_ -= pos_;
        pos_ = 0;
    }
    if (len_ == cap_)
        return false;
    std::size_t n = 0;
    if (positioned_) {
        bool ok = os::read_at(stream_, base_ + len_, buf_.get() + len_, cap_ - len_, n);
        len_ += n;
        // A file read by position ends where a read comes back short.
        if (!ok)
            failed_ = true;
        if (!ok || len_ < cap_)
            eof_ = true;
        return n > 0;
    }
    n = std::fread(buf_.get() + len_, 1, cap_ - len_, stream_);
    len_ += n;
    if (n == 0) {
        eof_ = true;
        if (std::ferror(stream_))
            failed_ = true;
        return false;
    }
    return true;
}

void input::seek(uint64_t offset)
{
    base_ = offset;
    pos_ = 0;
    len_ = 0;
    eof_ = stream_ == nullptr;
}

bool input::fill(std::size_t want)
{
    want = std::min(want, cap_);
    while (available() < want && refill()) {
    }
    return available() > 0;
}

std::size_t input::read(void* dst, std::size_t n)
{
    auto* out = static_cast<char*>(dst);
    std::size_t done = 0;
    while (done < n) {
        if (available() == 0 && !fill())
            break;
        std::size_t k = std::min(n - done, available());
        std::memcpy(out + done, begin(), k);
        consume(k);
        done += k;
    }
    return done;
}

bool input::line(std::string_view& text, bool& ended)
{
    long_line_.clear();
    bool spilled = false;
    for (;;) {
        const char* b = begin();
        std::size_t n = available();
        const char* lf = n == 0 ? nullptr : static_cast<const char*>(std::memchr(b, '\n', n));
        if (lf != nullptr) {
            std::size_t k = static_cast<std::size_t>(lf - b);
            consume(k + 1);
            ended = true;
            if (spilled) {
                long_line_.append(b, k);
                if (!long_line_.empty() && long_line_.back() == '\r')
                    long_line_.pop_back();
                text = long_line_;
            } else {
                if (k > 0 && b[k - 1] == '\r')
                    --k;
                text = std::string_view(b, k);
            }
            return true;
        }
        if (!eof_) {
            if (n < cap_) {
                refill();
                continue;
            }
            // The buffer holds part of one long line: move it aside. A carriage return at the
            // end may be the first half of a line end, so it stays for the next round.
            std::size_t k = b[n - 1] == '\r' ? n - 1 : n;
            long_line_.append(b, k);
            consume(k);
            spilled = true;
            continue;
        }
        // End of the stream: a last line without a line feed, or nothing.
        if (n == 0 && !spilled)
            return false;
        ended = false;
        if (spilled) {
            long_line_.append(b, n);
            text = long_line_;
        } else {
            text = std::string_view(b, n);
        }
        consume(n);
        return true;
    }
}

}  // namespace sdf
