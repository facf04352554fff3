// The sliding byte window that the XML reader scans, fed by a byte source.
//
// Generic over the source so that C++ tests feed it from memory; the engine
// itself always uses the host file object source (binding/xml/pysource.hpp).
#pragma once

#include <xml/error.hpp>

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace brindle {

// A growable byte array that never zero-fills what it is about to overwrite.
class ByteBuf {
public:
    explicit ByteBuf(std::size_t cap = 0) { reserve(cap); }
    ByteBuf(const ByteBuf&) = delete;
    ByteBuf& operator=(const ByteBuf&) = delete;
    ~ByteBuf() { std::free(data_); }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return cap_; }

    void reserve(std::size_t cap) {
        if (cap <= cap_) return;
        auto* p = static_cast<std::uint8_t*>(std::realloc(data_, cap));
        if (!p) throw std::bad_alloc();
        data_ = p;
        cap_ = cap;
    }
    void append(const void* src, std::size_t n) {
        if (cap_ - size_ < n) reserve(std::max(cap_ * 2, size_ + n));
        if (n) std::memcpy(data_ + size_, src, n);
        size_ += n;
    }
    // Drops the first n bytes.
    void erase_front(std::size_t n) noexcept {
        std::memmove(data_, data_ + n, size_ - n);
        size_ -= n;
    }
    void clear() noexcept { size_ = 0; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// A byte source appends the next chunk of the stream to `out` and answers
// whether it appended anything; false means end of data. A failure of the host
// object is an XmlError of kind Source, whose exception the source holds.
template <class S>
concept ByteSource = requires(S& s, ByteBuf& out) {
    { s.read_chunk(out) } -> std::same_as<XmlResult<bool>>;
};

inline constexpr std::size_t kChunk = 65536;

template <ByteSource Src>
struct Window {
    Src source;
    ByteBuf buf{kChunk};
    std::size_t pos = 0;
    std::uint64_t base = 0;
    bool capture_on = false;
    std::size_t capture_start = 0;
    std::size_t tag_start = 0;
    std::size_t tag_end = 0;
    bool eof = false;
    bool started = false;

    template <class... A>
    explicit Window(A&&... a) : source(std::forward<A>(a)...) {}

    std::size_t filled() const noexcept { return buf.size(); }
    std::uint64_t abs_pos() const noexcept { return base + pos; }

    // Pulls one chunk; true when bytes were appended. Every index into `buf`
    // taken before the call must be re-read after it (compaction).
    [[nodiscard]] XmlResult<bool> more() {
        if (eof) return false;
        compact();
        bool got = BR_TRY(source.read_chunk(buf));
        if (!got) eof = true;
        return got;
    }

    // Pulls until at least `n` bytes lie at or after `pos`, or end of data.
    [[nodiscard]] XmlResult<bool> ensure(std::size_t n) {
        while (filled() - pos < n) {
            bool got = BR_TRY(more());
            if (!got) return false;
        }
        return true;
    }

    // The byte-order checks at the very start of the stream.
    [[nodiscard]] XmlResult<void> check_prolog_bytes() {
        started = true;
        BR_TRY(ensure(4));
        const std::size_t avail = filled() - pos;
        const std::uint8_t* p = buf.data() + pos;
        if (avail >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
            pos += 3;
            return {};
        }
        if (avail >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF)))
            return unsupported("utf-16");
        if ((avail >= 1 && p[0] == 0) || (avail >= 2 && p[1] == 0)) return unsupported("utf-16");
        return {};
    }

private:
    // Discards the consumed prefix once it is at least a chunk and at least
    // half the window: moving bytes then costs at most as much as reading them.
    void compact() noexcept {
        std::size_t keep = capture_on ? std::min(capture_start, pos) : pos;
        if (keep < kChunk || 2 * keep < filled()) return;
        buf.erase_front(keep);
        pos -= keep;
        if (capture_on) capture_start -= keep;
        base += keep;
        tag_start = tag_start > keep ? tag_start - keep : 0;
        tag_end = tag_end > keep ? tag_end - keep : 0;
    }
};

// A source over bytes in memory, handing them out in chunks of a fixed size
// (tests use 1 to exercise every chunk boundary).
class MemorySource {
public:
    MemorySource(const void* data, std::size_t size, std::size_t chunk = kChunk)
        : data_(static_cast<const std::uint8_t*>(data)), size_(size), chunk_(chunk ? chunk : 1) {}

    [[nodiscard]] XmlResult<bool> read_chunk(ByteBuf& out) {
        if (at_ >= size_) return false;
        std::size_t n = std::min(chunk_, size_ - at_);
        out.append(data_ + at_, n);
        at_ += n;
        ++calls_;
        return true;
    }
    std::size_t calls() const noexcept { return calls_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t chunk_;
    std::size_t at_ = 0;
    std::size_t calls_ = 0;
};

}  // namespace brindle
