// The monitoring counters and their Prometheus text: every family with its
// HELP and TYPE lines, labelled series, the sampled gauges, and a buffer too
// small giving nothing rather than a cut text.
#include <gtest/gtest.h>

#include <string>

#include "log/metrics.h"

namespace {

TEST(Metrics, CountersAndSampleRenderInTheTextFormat) {
  metrics_reset();
  metrics_chain_closed(true, 100, 2000);
  metrics_chain_closed(false, 7, 0);
  metrics_chain_closed(true, 1, 3);
  metrics_chain_retried();
  metrics_chain_race(true);
  metrics_rule_matched(3);
  metrics_rule_matched(1);
  metrics_rule_matched(3);
  metrics_check_done(true);
  metrics_check_done(false);
  metrics_check_done(false);
  metrics_check_queue(120, 64);
  metrics_client_refused(client_refusal::address);
  metrics_client_refused(client_refusal::address);
  metrics_client_refused(client_refusal::sign_in);
  const metrics_gauge slots[] = {{"listen", 1}, {"relay", 4}};
  const metrics_gauge proxies[] = {{"working", 3}, {"dead", 2}, {"unchecked", 0}, {"blocked", 1}};
  const metrics_sample sample{slots, 2, proxies, 4, true};
  char text[4096];
  size_t n = metrics_render(sample, text, sizeof text);
  ASSERT_GT(n, 0u);
  const std::string t(text, n);
  for (const char* line : {"# TYPE merovane_chains_total counter\n",
                           "merovane_chains_total{result=\"ok\"} 2\n",
                           "merovane_chains_total{result=\"failed\"} 1\n",
                           "merovane_chain_retries_total 1\n",
                           "merovane_chain_races_total{winner=\"second\"} 1\n",
                           "merovane_chain_races_total{winner=\"first\"} 0\n",
                           "merovane_relay_bytes_total{direction=\"up\"} 108\n",
                           "merovane_relay_bytes_total{direction=\"down\"} 2003\n",
                           "# TYPE merovane_slots gauge\n",
                           "merovane_slots{kind=\"relay\"} 4\n",
                           "merovane_proxies{state=\"blocked\"} 1\n",
                           "merovane_proxies{state=\"unchecked\"} 0\n",
                           "merovane_checks_total{result=\"ok\"} 1\n",
                           "merovane_checks_total{result=\"failed\"} 2\n",
                           "merovane_public_address_known 1\n",
                           "merovane_check_queue 120\n",
                           "merovane_checks_running 64\n",
                           "merovane_clients_refused_total{reason=\"address\"} 2\n",
                           "merovane_clients_refused_total{reason=\"sign-in\"} 1\n",
                           "merovane_rule_matches_total{action=\"direct\"} 1\n",
                           "merovane_rule_matches_total{action=\"chain\"} 0\n",
                           "merovane_rule_matches_total{action=\"block\"} 2\n"})
    EXPECT_NE(t.find(line), std::string::npos) << line << t;
  // Every family is introduced by its HELP and TYPE lines.
  size_t families = 0;
  for (size_t at = t.find("# HELP "); at != std::string::npos; at = t.find("# HELP ", at + 1))
    ++families;
  EXPECT_EQ(families, 12u);
  EXPECT_EQ(t.back(), '\n');

  char small[64];
  EXPECT_EQ(metrics_render(sample, small, sizeof small), 0u);
  EXPECT_STREQ(small, "");
  metrics_reset();
  n = metrics_render(sample, text, sizeof text);
  EXPECT_NE(std::string(text, n).find("merovane_chains_total{result=\"ok\"} 0\n"),
            std::string::npos);
}

}  // namespace
