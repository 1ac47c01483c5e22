// The registry file: machine-level settings needed before the database is
// open ("root", "listen_port", "listen_ip", "DB"), typed values in one text
// file rewritten atomically with mode 0600.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t REG_SZ = 1;     // text
constexpr uint32_t REG_DWORD = 4;  // 32-bit number
constexpr uint32_t REG_OTHER = 0;  // any other prefix: neither text nor number

// Reads a value. Returns true and fills type, data and size (bytes, text
// with its NUL) when the value exists and fits in capacity. The buffer is
// zero-filled first, so a short value leaves it zero-padded.
bool reg_get(const char* name, uint32_t* type, void* data, size_t capacity, size_t* size);
// Writes a value; size 0 removes it. Returns true on success. Texts stop at
// their first NUL; a text holding CR or LF, or a number whose size is not
// 4, is refused.
bool reg_set(const char* name, uint32_t type, const void* data, size_t size);
void reg_defaults();
const char* reg_root();
bool reg_delete_all();

// Convenience readers with the defaults the engine falls back to.
uint32_t reg_listen_port();                      // 8080 when absent, not a number or not a port
void reg_listen_ip(char* out, size_t capacity);  // "127.0.0.1" when absent

// Forgets the cached "root" token (tests that rewrite the file in-process).
void reg_root_forget();
