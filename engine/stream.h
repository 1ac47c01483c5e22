// Byte streams of a slot: a growable block with bytes consumed from the
// front without moving the rest. Owned by the engine; handlers read `data`
// and `len` and change a stream only through these functions.
#pragma once

#include <cstdint>

// A byte buffer of a slot: bytes waiting (len) and the running total moved
// over the slot's life. `cap` is the allocated size of `data` (malloc'd).
// Change a stream only through the functions below, never by assigning
// `data` directly. A stream holds a block only while bytes wait in it: the
// block is given back as soon as the stream is empty. Bytes just read are
// lent to the input stream from the engine's one read buffer (cap 0) while
// its handler hears 'R'; what the handler leaves there is copied into a
// block of the stream's own afterwards.
struct stream {
  uint8_t* data;
  uint32_t len;
  uint32_t total;
  uint32_t cap;   // size of the block data lies in
  uint32_t head;  // bytes consumed at the block's start (data = block + head)
};

// Appends n bytes; false (nothing appended) when memory cannot be had.
bool stream_append(stream& s, const void* bytes, uint32_t n);
// Drops n bytes from the front; n >= len empties the stream and frees the block.
void stream_consume(stream& s, uint32_t n);
void stream_free(stream& s);
// Replaces the whole content by n bytes (copied); false when memory cannot be had.
bool stream_assign(stream& s, const void* bytes, uint32_t n);
// Makes room for `needed` bytes in the stream's block.
bool stream_reserve(stream& s, uint32_t needed);

// Engine only: shows n bytes of a buffer the stream does not own (the
// stream must be empty), and copies lent bytes into a block of its own
// (false when memory cannot be had; the bytes are then dropped).
void stream_lend(stream& s, uint8_t* bytes, uint32_t n);
bool stream_own(stream& s);
bool stream_lent(const stream& s);
