// The /metrics page: the host's figures, the process's, and the module's (through its
// figures export, when it has one) in the Prometheus text format.
#pragma once

#include <memory>
#include <string>

#include "host/access_log.h"
#include "host/action_table.h"
#include "host/request_figures.h"
#include "host/server_state.h"
#include "isapi/figures_export.h"

namespace tallyhand::host {

// What the page reads; every part outlives the page.
struct FigureSources {
  const ServerState& state;
  const ActionTable& actions;
  const AccessLog* accessLog;                 // null: no access log
  const TALLYHAND_FIGURES_EXPORT* extension;  // null: the module keeps no figures
};

class MetricsPage {
 public:
  explicit MetricsPage(const FigureSources& sources);
  ~MetricsPage();
  MetricsPage(const MetricsPage&) = delete;
  MetricsPage& operator=(const MetricsPage&) = delete;

  // The page as it stands now. One thread at a time.
  std::string Render();

 private:
  struct Gauges;
  const FigureSources sources_;
  std::unique_ptr<Gauges> gauges_;
};

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace tallyhand::host
