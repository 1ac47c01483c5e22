#include "panel/usercmd.h"

#include <cstdlib>
#include <cstring>

#include "db/accounts.h"
#include "front/signin.h"
#include "panel/textbuf.h"
#include "util/passhash.h"
#include "util/text.h"

namespace {

char* reply(const char* object) {
  return text_append_format(nullptr, "%s", object);
}

char* user_add(const param_spans& spans) {
  char name[ACCOUNT_NAME_MAX + 2] = "";
  char hash[PASS_HASH_SIZE + 2] = "";
  if (!param_text("name", sizeof name, spans, name) || !account_name_valid(name))
    return reply("{refused:\"not a valid account name\"}");
  if (!param_text("hash", sizeof hash, spans, hash) || !pass_hash_well_formed(hash))
    return reply("{refused:\"not a password hash\"}");
  if (!account_store(name, hash)) return reply("{refused:\"not stored (database)\"}");
  signin_accounts_changed();
  return reply("{stored:1}");
}

char* user_del(const param_spans& spans) {
  char name[ACCOUNT_NAME_MAX + 2] = "";
  if (!param_text("name", sizeof name, spans, name) || !account_name_valid(name))
    return reply("{removed:0}");
  const bool removed = account_remove(name);
  signin_accounts_changed();
  return reply(removed ? "{removed:1}" : "{removed:0}");
}

// {names:["a","b"]}: names hold no quote or backslash.
char* user_list() {
  char* names = account_names();
  if (names == nullptr) return reply("{names:[]}");
  textbuf out{};
  textbuf_add(out, "{names:[");
  bool first = true;
  for (char* line = names; *line != 0;) {
    char* end = std::strchr(line, '\n');
    const size_t n = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    if (n > 0) {
      textbuf_addf(out, "%s\"%.*s\"", first ? "" : ",", static_cast<int>(n), line);
      first = false;
    }
    line += n + (end != nullptr ? 1 : 0);
  }
  textbuf_add(out, "]}");
  free(names);
  return textbuf_take(out);
}

}  // namespace

char* user_command(const char* type, const param_spans& spans) {
  if (std::strcmp(type, "user_add") == 0) return user_add(spans);
  if (std::strcmp(type, "user_del") == 0) return user_del(spans);
  if (std::strcmp(type, "user_list") == 0) return user_list();
  return nullptr;
}
