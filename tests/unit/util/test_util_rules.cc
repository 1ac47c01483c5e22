// Destination rules: the lines the parser takes and refuses (with the line
// and why), the first match over every MATCH form, the rule written back,
// and the auto-configuration script.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "util/rules.h"

namespace {

std::unique_ptr<rule_set> parsed(const std::string& text) {
  auto set = std::make_unique<rule_set>();
  rule_error error;
  EXPECT_TRUE(rules_parse(text, *set, error))
      << text << ": line " << error.line << " " << error.why;
  return set;
}

std::string text_of(const rule_set& set, int i) {
  char out[RULE_TEXT_SIZE];
  rule_text(set, i, out, sizeof out);
  return out;
}

TEST(UtilRules, GoodLinesAreWrittenBackTheSame) {
  const struct {
    const char* line;
    const char* written;
  } cases[] = {
      {"intranet.example direct", "intranet.example direct"},
      {"  Intranet.Example.   DIRECT  ", "intranet.example direct"},
      {".corp.example chain", ".corp.example chain"},
      {"*.corp.example block", ".corp.example block"},
      {"192.168.0.0/16 direct", "192.168.0.0/16 direct"},
      {"192.168.7.9/16 direct", "192.168.0.0/16 direct"},
      {"10.1.2.3 block", "10.1.2.3 block"},
      {"fd00::/8 direct", "fd00::/8 direct"},
      {"[fd00::/8]:443 direct", "[fd00::/8]:443 direct"},
      {"[::1]:80-90 block", "[::1]:80-90 block"},
      {"host1:8080 direct", "host1:8080 direct"},
      {"10.0.0.0/8:1-1024 chain", "10.0.0.0/8:1-1024 chain"},
      {"* block", "* block"},
      {"*:25 block", "*:25 block"},
      {"a_b-c.example:65535 chain", "a_b-c.example:65535 chain"},
  };
  for (const auto& c : cases) {
    auto set = parsed(c.line);
    ASSERT_EQ(set->count, 1) << c.line;
    EXPECT_EQ(text_of(*set, 0), c.written) << c.line;
  }
}

TEST(UtilRules, BadLinesAreRefusedWithTheLineAndWhy) {
  const struct {
    std::string text;
    uint32_t line;
    const char* why;  // a part of the reason
  } cases[] = {
      {"intranet.example", 1, "MATCH ACTION"},
      {"# comment\n\nhost.example go", 3, "direct, chain or block"},
      {"ok.example direct\nbad..example direct", 2, "host name"},
      {"a.example:0 direct", 1, "port"},
      {"a.example:70000 direct", 1, "port"},
      {"a.example:90-80 direct", 1, "port"},
      {"a.example: direct", 1, "port"},
      {"10.0.0.0/33 direct", 1, "address"},
      {"300.1.1.1 direct", 1, "address"},
      {"192.168.0. direct", 1, "address"},
      {".10.0 direct", 1, "address"},
      {"fd00::/129 block", 1, "address"},
      {"[fd00::1 block", 1, "']'"},
      {"[fd00::1]x block", 1, "]:PORT"},
      {"ho$t.example block", 1, "host name"},
      {"a.example direct extra", 1, "direct, chain or block"},
      {std::string(RULE_LINE_MAX + 1, 'a') + " direct", 1, "300"},
  };
  for (const auto& c : cases) {
    auto set = std::make_unique<rule_set>();
    rule_error error;
    EXPECT_FALSE(rules_parse(c.text, *set, error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_NE(std::string(error.why).find(c.why), std::string::npos) << c.text << ": " << error.why;
  }
  std::string many;
  for (int i = 0; i <= RULES_MAX; ++i) many += "h" + std::to_string(i) + ".example direct\n";
  auto set = std::make_unique<rule_set>();
  rule_error error;
  EXPECT_FALSE(rules_parse(many, *set, error));
  EXPECT_EQ(error.line, static_cast<uint32_t>(RULES_MAX + 1));
}

TEST(UtilRules, FirstMatchWins) {
  auto set = parsed(
      "# office\n"
      "printer.lan:631 direct\n"
      ".ads.example block\n"
      "intranet.example direct\n"
      "192.168.0.0/16 direct\n"
      "[fd00::/8]:443 direct\n"
      "10.0.0.0/8:8000-8999 block\n"
      "*.corp.example direct\n"
      "*:25 block\n");
  const struct {
    const char* host;
    uint16_t port;
    const char* looked_up;  // what the name was looked up to, or ""
    int rule;               // index, -1: none
  } cases[] = {
      {"printer.lan", 631, "", 0},
      {"printer.lan", 80, "", -1},
      {"ADS.example", 443, "", 1},
      {"x.y.ads.example", 443, "", 1},
      {"xads.example", 443, "", -1},
      {"intranet.example", 80, "", 2},
      {"intranet.example.", 80, "", 2},
      {"www.intranet.example", 80, "", -1},
      {"192.168.3.4", 80, "", 3},
      {"::ffff:192.168.3.4", 80, "", 3},
      {"192.169.0.1", 80, "", -1},
      {"[fd12::1]", 443, "", 4},
      {"fd12::1", 443, "", 4},
      {"fd12::1", 80, "", -1},
      {"10.2.3.4", 8080, "", 5},
      {"10.2.3.4", 9000, "", -1},
      {"corp.example", 80, "", 6},
      {"a.corp.example", 80, "", 6},
      {"mail.example", 25, "", 7},
      {"nas.home", 80, "192.168.1.2", 3},  // a name matches an address rule only once looked up
      {"nas.home", 80, "", -1},
  };
  for (const auto& c : cases) {
    rule_destination d{c.host, c.port, net_address_parse(c.looked_up)};
    EXPECT_EQ(rules_match(*set, d), c.rule) << c.host << ":" << c.port;
  }
  EXPECT_EQ(set->rules[3].line, 5);
}

TEST(UtilRules, EmptyListMatchesNothing) {
  auto set = parsed("\n# nothing yet\n   \n");
  EXPECT_EQ(set->count, 0);
  EXPECT_EQ(rules_match(*set, rule_destination{"a.example", 80, {}}), -1);
}

TEST(UtilRules, PacScriptHoldsEveryRuleInOrder) {
  auto set = parsed(
      "intranet.example direct\n.ads.example block\n192.168.0.0/16:80 direct\nfd00::/8 direct\n");
  std::string script(RULES_PAC_SIZE, '\0');
  const size_t n = rules_pac(*set, "127.0.0.1", 8081, script.data(), script.size());
  ASSERT_GT(n, 0u);
  script.resize(n);
  const char* in_order[] = {"function FindProxyForURL(url, host)",
                            "var proxy = \"SOCKS5 127.0.0.1:8081; PROXY 127.0.0.1:8081\"",
                            "if (ports(1, 65535) && name(\"intranet.example\")) return \"DIRECT\";",
                            "if (ports(1, 65535) && domain(\"ads.example\")) return proxy;",
                            "if (ports(80, 80) && net4(3232235520, 4294901760)) return \"DIRECT\";",
                            "if (ports(1, 65535) && net6(\"fd00::/8\")) return \"DIRECT\";",
                            "return proxy;\n}"};
  size_t at = 0;
  for (const char* part : in_order) {
    const size_t found = script.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << "\n" << script;
    at = found;
  }
  EXPECT_EQ(script.find("dnsResolve"), std::string::npos);
  char small[64];
  EXPECT_EQ(rules_pac(*set, "127.0.0.1", 8081, small, sizeof small), 0u);
}

}  // namespace
