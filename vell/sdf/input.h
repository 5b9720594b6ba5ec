// Block-buffered input for the SDF readers: one large buffer, lines handed out as views into
// it, raw bytes for the binary form, direct buffer access for the number scanners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace sdf {

class input {
public:
    static constexpr std::size_t default_block = std::size_t{1} << 20;

    // Reads from `stream` in blocks of `block` bytes. With `owned` the stream is closed by the
    // destructor. `positioned` is for a file read from its first byte on: each block is then
    // read from its place in the file (os::read_at), so that other threads may read other
    // parts of the file meanwhile (see stream()).
    input(std::FILE* stream, bool owned, std::size_t block = default_block, bool positioned = false);
    ~input();
    input(const input&) = delete;
    input& operator=(const input&) = delete;

    // The next line without its line end (a line feed, or a carriage return and a line feed).
    // `ended` tells whether a line feed ended it (false for a last line at the end of the
    // stream). False when nothing at all is left. Lines of any length come whole; the view
    // stays valid until the next call on this object.
    bool line(std::string_view& text, bool& ended);

    // Copies up to n bytes; returns how many were copied (fewer only at the end of the data).
    std::size_t read(void* dst, std::size_t n);

    // Buffered bytes not yet consumed: [begin(), end()).
    const char* begin() const { return buf_.get() + pos_; }
    const char* end() const { return buf_.get() + len_; }
    std::size_t available() const { return len_ - pos_; }
    void consume(std::size_t n) { pos_ += n; }
    void consume_to(const char* p) { pos_ = static_cast<std::size_t>(p - buf_.get()); }

    // Makes at least `want` bytes available when the stream still has them, moving the unread
    // bytes to the front of the buffer first. `want` is capped at the block size. False when
    // no byte is available afterwards.
    bool fill(std::size_t want = 1);

    bool positioned() const { return positioned_; }
    // A positioned input goes on from that byte of the file (the buffered bytes are dropped).
    void seek(uint64_t offset);
    std::FILE* stream() const { return stream_; }

    std::size_t block() const { return cap_; }
    // Bytes consumed so far from the start of the stream.
    uint64_t position() const { return base_ + pos_; }
    // True once a read from the stream failed (not merely reached its end).
    bool failed() const { return failed_; }

private:
    bool refill();

    std::FILE* stream_;
    bool owned_;
    bool positioned_;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    uint64_t base_ = 0;  // stream offset of buf_[0]
    bool eof_ = false;
    bool failed_ = false;
    std::string long_line_;  // holds a line that does not fit the buffer
};

}  // namespace sdf

struct dat_header;
struct intensity_map;
struct phase_map;
struct sdf_header;
struct sdf_read_options;

namespace sdf {

// sdf_read_file_ex with the input read in blocks of `block` bytes (0: input::default_block,
// or larger buffers for a large file read on several threads), so that tests can make lines,
// numbers and binary items cross block boundaries everywhere; and with the text data read on
// `threads` threads (0: one per core) once a buffer holds `parallel_least` bytes (0: 1 MiB), so
// that tests can split small files. `options` null is the platform policy.
int32_t read_file_in_blocks(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase,
                            sdf_header* sdf, std::size_t block, unsigned threads = 0, std::size_t parallel_least = 0,
                            const sdf_read_options* options = nullptr);

}  // namespace sdf
