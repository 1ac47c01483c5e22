// The chain test: negotiates a two-proxy chain to a well-known site,
// fetches a page and credits both proxies when the page holds its markers.
// Owns the built-in site list, the stored redirects and the recent hops.
#pragma once

#include <cstddef>
#include <cstdint>

void start_chain_test();

constexpr int SITE_REDIRECTS = 16;
constexpr int RECENT_CHAIN_HOPS = 64;
extern int32_t site_next;
extern uint32_t recent_chain_hops[RECENT_CHAIN_HOPS];

// Site accessors over the decoded list; null / 0 when out of range.
int site_count();
const char* site_url(int site);  // the stored redirect when there is one
bool site_host(int site, char* out, size_t capacity);
bool site_path(int site, char* out, size_t capacity);
bool site_markers(int site, char* out, size_t capacity);
void site_redirect_store(int site, const char* url, size_t length);

// Replaces the site list by another text of the same form (null: the
// built-in list again). Used by tests that stand a local site in.
void site_list_use(const char* text);

// Judges a complete answer of site `site`: stores a redirect, or returns
// true when the page passed its marker test.
bool chain_test_judge(int site, const uint8_t* bytes, size_t length);
// Marker test of a page body against a marker text ("a#b#c").
bool chain_test_markers_pass(const char* markers, const char* body);
