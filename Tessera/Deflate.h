#pragma once
// A deflate encoder built for PNG-filtered screen pictures, written block by block
// so that a picture can be compressed in parts on several threads and the parts
// laid end to end. Two kinds of block: literals only, with Huffman codes made for
// the block's bytes (photo-like content, where a search for repeated strings finds
// little yet costs most of the time), and greedy matches found through a one-entry
// hash table (screen content: long runs of zeros after filtering, and text whose
// glyphs repeat). Both fall back to stored blocks where codes would not pay. Any
// thread; one writer per thread.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace overlook {

class DeflateWriter {
public:
    // Room for `size` bytes of input written in at most `blocks` blocks, finish included.
    static std::size_t bound(std::size_t size, std::size_t blocks);

    // `out` has room for bound() bytes and starts on a byte boundary of the stream.
    explicit DeflateWriter(std::uint8_t* out);
    ~DeflateWriter();
    DeflateWriter(const DeflateWriter&) = delete;
    DeflateWriter& operator=(const DeflateWriter&) = delete;

    // One block of the `size` bytes at `data`, every byte a literal.
    void literals(const std::uint8_t* data, std::size_t size);
    // One block of the `size` bytes at `data`, with matches that may reach back into
    // the `history` bytes before `data` (the end of what this writer took before;
    // at most 32 KiB of it is looked at).
    void matches(const std::uint8_t* data, std::size_t size, std::size_t history);
    // Ends the data on a byte boundary with an empty stored block, final when
    // `last`; returns the bytes written since construction.
    std::size_t finish(bool last);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace overlook
