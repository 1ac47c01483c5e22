// The scrambling file layer under SQLite: a file-system module that wraps
// the platform's own one and XORs every byte SQLite reads or writes with a
// key stream that depends only on the byte's position in the file. SQLite
// sees plain pages; the disk holds only scrambled bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// One byte of the key stream: position p gives k = p mod 256 and the low
// eight bits of k * (k XOR 0x3B).
constexpr uint8_t scramble_key(uint64_t position) {
  uint8_t k = static_cast<uint8_t>(position & 0xFF);
  return static_cast<uint8_t>(k * (k ^ 0x3B));
}

// XORs `length` bytes in place, byte i with scramble_key(start + i).
void file_scramble(void* buffer, size_t length, uint64_t start);

// Name of the scrambling module as SQLite knows it.
constexpr const char* SCRAMBLE_VFS_NAME = "merovane-scramble";

// Registers the scrambling module as SQLite's default (once; later calls do
// nothing). Returns false when the platform module cannot be found.
bool scramble_vfs_register();
