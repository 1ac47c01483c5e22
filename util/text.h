// Shared text, buffer and hashing helpers: case-insensitive search and
// replace, heap texts built by appending (malloc'd, freed by the holder with
// free()), whitespace squeezing, line lists, appending to a file, decimal
// parsing and MD5 in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>

// First case-insensitive (ASCII) occurrence of needle in haystack, or null.
const char* text_find(const char* haystack, const char* needle);
// Replaces every case-insensitive occurrence of pattern in place; writes at
// most capacity - 2 characters and a terminator.
void text_replace_all(char* buffer, size_t capacity, const char* pattern, const char* replacement);
// Heap text followed by at most count characters of source (old block freed).
char* text_append(char* heap_text, const char* source, int count);
char* text_append_all(char* heap_text, const char* source);
char* text_append_format(char* heap_text, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Trims blanks (space, TAB, CR, LF) and squeezes inner runs to one space.
// Does nothing unless capacity >= 64.
void text_squeeze(char* buffer, size_t capacity);
// Lines separated by CR/LF become a list of texts ended by an empty text.
void text_to_list(char* buffer);
// 1 when all bytes were appended to the file (created when missing), else 0.
int file_append(const char* path, uint32_t count, const void* bytes);
// Value of the leading decimal digits (no sign); 0 when none.
uint32_t parse_decimal(const char* text);
// Text for an HTML element or attribute: & < > " ' and @ become entities
// ('@' so that a client's text cannot bring in a page placeholder). Cut at
// a whole character to fit capacity (terminator included).
void text_escape_html(char* out, size_t capacity, const char* text);
// MD5 of the bytes as 32 lowercase hex digits and a NUL; 1 on success.
int md5_hex(const void* data, size_t length, char* output);
