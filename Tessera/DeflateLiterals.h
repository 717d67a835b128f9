#pragma once
// Deflate blocks that hold bytes as literals only, with Huffman codes made for
// those bytes: what photo-like pictures come down to after PNG filtering, where a
// search for repeated strings finds little yet costs most of the time (zlib's own
// Huffman-only mode does the same at a fraction of the speed). Any thread.

#include <cstddef>
#include <cstdint>

namespace overlook {

// Room `deflateLiterals` may need for `size` bytes (8 bytes of slack included).
std::size_t deflateLiteralsBound(std::size_t size);

// Appends `size` bytes to a raw deflate stream at `out`, which must start on a byte
// boundary, as one block with dynamic Huffman codes (or stored blocks where those
// would be larger), followed by an empty stored block so that the output ends on a
// byte boundary too, final when `last`: the result can be laid after a zlib sync
// flush, and more deflate data after it. Returns the bytes written. The bytes go
// into the decoder's window, so deflate data that follows must not reach back past
// them to data the encoder saw before (reset it).
std::size_t deflateLiterals(const std::uint8_t* bytes, std::size_t size, bool last, std::uint8_t* out);

} // namespace overlook
