#include "server/metrics.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/util/string_format.h"

namespace {

const char* const kInterfaceNames[trindle::kInterfaceCount] = {"binary", "http"};
const char* const kOutcomeNames[trindle::kOutcomeCount] = {"ok",     "bad_request", "unavailable",
                                                           "failed", "probe",       "timed_out"};

}  // namespace

const double CServerMetrics::kBucketBounds[kBucketCount] = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 1.0};

CServerMetrics::CServerMetrics() = default;
CServerMetrics::~CServerMetrics() = default;

void CServerMetrics::CountQuery(trindle::Interface where, trindle::Outcome outcome,
                                double seconds) {
  tPerInterface& counters = m_interfaces[static_cast<int>(where)];
  counters.queries[static_cast<int>(outcome)].fetch_add(1, std::memory_order_relaxed);
  if (outcome == trindle::Outcome::kProbe) return;
  int bucket = 0;
  while (bucket < kBucketCount && seconds > kBucketBounds[bucket]) ++bucket;
  counters.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  counters.latencyMicros.fetch_add(static_cast<int64_t>(seconds * 1e6), std::memory_order_relaxed);
}

void CServerMetrics::ConnectionStarted(trindle::Interface where) {
  m_interfaces[static_cast<int>(where)].inProgress.fetch_add(1, std::memory_order_relaxed);
}

void CServerMetrics::ConnectionEnded(trindle::Interface where) {
  m_interfaces[static_cast<int>(where)].inProgress.fetch_sub(1, std::memory_order_relaxed);
}

void CServerMetrics::ConnectionRefused(trindle::Interface where) {
  m_interfaces[static_cast<int>(where)].refused.fetch_add(1, std::memory_order_relaxed);
}

void CServerMetrics::DataSetLoaded(bool reload, bool loaded, int records, double seconds) {
  if (reload) (loaded ? m_reloadsSucceeded : m_reloadsFailed).fetch_add(1);
  if (!loaded) return;
  m_records.store(records);
  m_loadMicros.store(static_cast<int64_t>(seconds * 1e6));
}

int64_t CServerMetrics::Queries(trindle::Interface where, trindle::Outcome outcome) const {
  return m_interfaces[static_cast<int>(where)].queries[static_cast<int>(outcome)].load();
}

int64_t CServerMetrics::ConnectionsInProgress(trindle::Interface where) const {
  return m_interfaces[static_cast<int>(where)].inProgress.load();
}

int64_t CServerMetrics::ConnectionsRefused(trindle::Interface where) const {
  return m_interfaces[static_cast<int>(where)].refused.load();
}

std::string CServerMetrics::Render() const {
  std::string text;
  text +=
      "# HELP trindle_queries_total Query requests answered, by interface and outcome (probe: a "
      "binary connection closed before its first byte, not in the duration histogram).\n"
      "# TYPE trindle_queries_total counter\n";
  for (int i = 0; i < trindle::kInterfaceCount; ++i) {
    for (int o = 0; o < trindle::kOutcomeCount; ++o) {
      AppendFormat(&text, "trindle_queries_total{interface=\"%s\",outcome=\"%s\"} %" PRId64 "\n",
                   kInterfaceNames[i], kOutcomeNames[o], m_interfaces[i].queries[o].load());
    }
  }
  text +=
      "# HELP trindle_query_duration_seconds Time from a parsed query request to its answer.\n"
      "# TYPE trindle_query_duration_seconds histogram\n";
  for (int i = 0; i < trindle::kInterfaceCount; ++i) {
    int64_t cumulative = 0;
    for (int b = 0; b <= kBucketCount; ++b) {
      cumulative += m_interfaces[i].buckets[b].load();
      if (b < kBucketCount) {
        AppendFormat(&text,
                     "trindle_query_duration_seconds_bucket{interface=\"%s\",le=\"%g\"} %" PRId64
                     "\n",
                     kInterfaceNames[i], kBucketBounds[b], cumulative);
      } else {
        AppendFormat(&text,
                     "trindle_query_duration_seconds_bucket{interface=\"%s\",le=\"+Inf\"} %" PRId64
                     "\n",
                     kInterfaceNames[i], cumulative);
      }
    }
    AppendFormat(&text, "trindle_query_duration_seconds_sum{interface=\"%s\"} %.6f\n",
                 kInterfaceNames[i],
                 static_cast<double>(m_interfaces[i].latencyMicros.load()) / 1e6);
    AppendFormat(&text, "trindle_query_duration_seconds_count{interface=\"%s\"} %" PRId64 "\n",
                 kInterfaceNames[i], cumulative);
  }
  text +=
      "# HELP trindle_connections_in_progress Connections being served.\n"
      "# TYPE trindle_connections_in_progress gauge\n";
  for (int i = 0; i < trindle::kInterfaceCount; ++i) {
    AppendFormat(&text, "trindle_connections_in_progress{interface=\"%s\"} %" PRId64 "\n",
                 kInterfaceNames[i], m_interfaces[i].inProgress.load());
  }
  text +=
      "# HELP trindle_connections_refused_total Connections closed unserved at the connection "
      "bound (the binary port queues them instead).\n"
      "# TYPE trindle_connections_refused_total counter\n";
  for (int i = 0; i < trindle::kInterfaceCount; ++i) {
    AppendFormat(&text, "trindle_connections_refused_total{interface=\"%s\"} %" PRId64 "\n",
                 kInterfaceNames[i], m_interfaces[i].refused.load());
  }
  AppendFormat(&text,
               "# HELP trindle_reloads_total Data set reloads, by outcome.\n"
               "# TYPE trindle_reloads_total counter\n"
               "trindle_reloads_total{outcome=\"succeeded\"} %" PRId64
               "\n"
               "trindle_reloads_total{outcome=\"failed\"} %" PRId64 "\n",
               m_reloadsSucceeded.load(), m_reloadsFailed.load());
  AppendFormat(&text,
               "# HELP trindle_data_set_records Records in the served data set.\n"
               "# TYPE trindle_data_set_records gauge\n"
               "trindle_data_set_records %" PRId64 "\n",
               m_records.load());
  AppendFormat(&text,
               "# HELP trindle_data_set_load_seconds Time the served data set took to load.\n"
               "# TYPE trindle_data_set_load_seconds gauge\n"
               "trindle_data_set_load_seconds %.6f\n",
               static_cast<double>(m_loadMicros.load()) / 1e6);
  if (m_extra) text += m_extra();
  return text;
}
