#include "host/metrics_page.h"

#include <prometheus/gauge.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "host/process_figures.h"

namespace tallyhand::host {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily Family(std::string name, std::string help, MetricType type) {
  MetricFamily family;
  family.name = std::move(name);
  family.help = std::move(help);
  family.type = type;
  return family;
}

ClientMetric CounterSample(double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric metric;
  metric.label = std::move(labels);
  metric.counter.value = value;
  return metric;
}

ClientMetric GaugeSample(double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric metric;
  metric.label = std::move(labels);
  metric.gauge.value = value;
  return metric;
}

// A histogram sample from counts per bucket (not cumulative); the last count is the
// one above every bound.
template <std::size_t N>
ClientMetric HistogramSample(const std::array<double, N>& bounds, const uint64_t* counts, double sum,
                             std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric metric;
  metric.label = std::move(labels);
  uint64_t cumulative = 0;
  for (std::size_t i = 0; i < N; ++i) {
    cumulative += counts[i];
    metric.histogram.bucket.push_back({cumulative, bounds[i]});
  }
  cumulative += counts[N];
  metric.histogram.bucket.push_back({cumulative, std::numeric_limits<double>::infinity()});
  metric.histogram.sample_count = cumulative;
  metric.histogram.sample_sum = sum;
  return metric;
}

std::string StatusLabel(std::size_t slot) {
  if (slot == RequestFigures::kStatusSlots - 1) return "other";
  return std::to_string(RequestFigures::kLowestStatus + slot);
}

void AddRequestFamilies(const FigureSources& sources, std::vector<MetricFamily>& families) {
  const RequestFigures::Totals totals = sources.state.Figures().Read();
  MetricFamily requests = Family("tallyhand_http_requests_total",
                                 "Requests answered, by the action that serves the path and the status",
                                 MetricType::Counter);
  MetricFamily durations = Family("tallyhand_http_request_duration_seconds",
                                  "Time from a request's first byte to its answer", MetricType::Histogram);
  for (std::size_t a = 0; a < totals.actions.size(); ++a) {
    const RequestFigures::ActionTotals& action = totals.actions[a];
    const std::string& name = sources.actions.Name(a);
    for (std::size_t slot = 0; slot < action.answersByStatusSlot.size(); ++slot) {
      if (action.answersByStatusSlot[slot] == 0) continue;
      requests.metric.push_back(CounterSample(static_cast<double>(action.answersByStatusSlot[slot]),
                                              {{"action", name}, {"code", StatusLabel(slot)}}));
    }
    durations.metric.push_back(HistogramSample(RequestFigures::kDurationBounds, action.durationBuckets.data(),
                                               action.durationSecondsSum, {{"action", name}}));
  }
  if (!requests.metric.empty()) families.push_back(std::move(requests));
  families.push_back(std::move(durations));

  MetricFamily refused = Family("tallyhand_http_rejected_total",
                                "Requests and connections the host refused, by reason", MetricType::Counter);
  for (std::size_t r = 0; r < kRefusalCount; ++r) {
    refused.metric.push_back(CounterSample(static_cast<double>(totals.refusals[r]),
                                           {{"reason", RefusalName(static_cast<Refusal>(r))}}));
  }
  families.push_back(std::move(refused));

  if (sources.accessLog != nullptr) {
    MetricFamily errors = Family("tallyhand_access_log_write_errors_total",
                                 "Access log lines that could not be written whole", MetricType::Counter);
    errors.metric.push_back(CounterSample(static_cast<double>(sources.accessLog->WriteErrors())));
    families.push_back(std::move(errors));
  }
}

void AddExtensionFamilies(const TALLYHAND_FIGURES_EXPORT& extension, std::vector<MetricFamily>& families) {
  TALLYHAND_EXTENSION_FIGURES figures{};
  if (!extension.ReadFigures(&figures)) return;
  auto gauge = [&](const char* name, const char* help, uint64_t value) {
    MetricFamily family = Family(name, help, MetricType::Gauge);
    family.metric.push_back(GaugeSample(static_cast<double>(value)));
    families.push_back(std::move(family));
  };
  auto counter = [&](const char* name, const char* help, uint64_t value) {
    MetricFamily family = Family(name, help, MetricType::Counter);
    family.metric.push_back(CounterSample(static_cast<double>(value)));
    families.push_back(std::move(family));
  };
  gauge("tallyhand_workers_busy", "Extension workers serving a request", figures.workersBusy);
  gauge("tallyhand_worker_queue_depth", "Requests waiting for an extension worker", figures.workerQueueDepth);
  gauge("tallyhand_session_keys_live", "Session keys held", figures.sessionKeysLive);
  MetricFamily connections = Family("tallyhand_db_connections", "Database connections, by state", MetricType::Gauge);
  connections.metric.push_back(GaugeSample(static_cast<double>(figures.dbConnectionsIdle), {{"state", "idle"}}));
  connections.metric.push_back(GaugeSample(static_cast<double>(figures.dbConnectionsBusy), {{"state", "busy"}}));
  families.push_back(std::move(connections));
  counter("tallyhand_db_reconnects_total", "Database connections found dropped and replaced",
          figures.dbReconnects);
  counter("tallyhand_db_statement_errors_total", "Statements that failed", figures.dbStatementErrors);
  MetricFamily statements = Family("tallyhand_db_statement_duration_seconds", "Time statements took",
                                   MetricType::Histogram);
  constexpr std::array<double, TALLYHAND_STATEMENT_BUCKETS> kBounds = TALLYHAND_STATEMENT_BUCKET_BOUNDS;
  statements.metric.push_back(HistogramSample(kBounds, figures.statementBuckets, figures.statementSecondsSum));
  families.push_back(std::move(statements));
  counter("tallyhand_uploads_stored_total", "Uploaded pictures stored", figures.uploadsStored);
  counter("tallyhand_upload_bytes_total", "Bytes of the uploaded pictures stored", figures.uploadBytes);
  counter("tallyhand_event_log_write_errors_total", "Event log lines that could not be written",
          figures.eventLogWriteErrors);
}

}  // namespace

// The gauges the host sets at each scrape, kept in the client library's registry.
struct MetricsPage::Gauges {
  prometheus::Registry registry;
  prometheus::Gauge& connectionsOpen = prometheus::BuildGauge()
                                           .Name("tallyhand_http_connections_open")
                                           .Help("Client connections open")
                                           .Register(registry)
                                           .Add({});
  prometheus::Gauge& residentMemory = prometheus::BuildGauge()
                                          .Name("process_resident_memory_bytes")
                                          .Help("Resident memory size in bytes")
                                          .Register(registry)
                                          .Add({});
  prometheus::Gauge& virtualMemory = prometheus::BuildGauge()
                                         .Name("process_virtual_memory_bytes")
                                         .Help("Virtual memory size in bytes")
                                         .Register(registry)
                                         .Add({});
  prometheus::Gauge& openFds = prometheus::BuildGauge()
                                   .Name("process_open_fds")
                                   .Help("Number of open file descriptors")
                                   .Register(registry)
                                   .Add({});
  prometheus::Gauge& maxFds = prometheus::BuildGauge()
                                  .Name("process_max_fds")
                                  .Help("Maximum number of open file descriptors")
                                  .Register(registry)
                                  .Add({});
  prometheus::Gauge& startTime = prometheus::BuildGauge()
                                     .Name("process_start_time_seconds")
                                     .Help("Start time of the process since unix epoch in seconds")
                                     .Register(registry)
                                     .Add({});
};

MetricsPage::MetricsPage(const FigureSources& sources)
    : sources_(sources), gauges_(std::make_unique<Gauges>()) {}

MetricsPage::~MetricsPage() = default;

std::string MetricsPage::Render() {
  gauges_->connectionsOpen.Set(static_cast<double>(sources_.state.ConnectionsOpen()));
  std::optional<ProcessFigures> process = ReadProcessFigures();
  if (process) {
    gauges_->residentMemory.Set(static_cast<double>(process->residentBytes));
    gauges_->virtualMemory.Set(static_cast<double>(process->virtualBytes));
    gauges_->openFds.Set(static_cast<double>(process->openDescriptors));
    gauges_->maxFds.Set(static_cast<double>(process->maxDescriptors));
    gauges_->startTime.Set(process->startTimeSeconds);
  }
  std::vector<MetricFamily> families = gauges_->registry.Collect();
  if (process) {
    MetricFamily cpu = Family("process_cpu_seconds_total", "Total user and system CPU time spent in seconds",
                              MetricType::Counter);
    cpu.metric.push_back(CounterSample(process->cpuSeconds));
    families.push_back(std::move(cpu));
  }
  AddRequestFamilies(sources_, families);
  if (sources_.extension != nullptr) AddExtensionFamilies(*sources_.extension, families);
  return prometheus::TextSerializer().Serialize(families);
}

}  // namespace tallyhand::host
