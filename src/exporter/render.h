// The exposition of a snapshot, in the text format 0.0.4 and in OpenMetrics, written byte for byte
// as prometheus_client writes the same families: the series (counters, then gauges, then
// histograms, each family by name and its series by labels), the families processes declared, and
// the exporter's own health. A scrape renders from a snapshot it holds, and waits for no pass.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "exporter/aggregator.h"

namespace zelnor::exporter {

enum class Format { kText, kOpenMetrics };

// How names outside the legacy character set are written, as prometheus_client's `escaping`
// says; names within it are written as they are by all but kDots.
enum class Escaping { kUnderscores, kDots, kValues, kAllowUtf8 };

struct RenderOptions {
  Format format = Format::kText;
  Escaping escaping = Escaping::kUnderscores;
  // Only samples of these names, and only families that keep one (prometheus_client's `name[]`);
  // null: every sample.
  const std::unordered_set<std::string>* names = nullptr;
};

// Appends the exposition of `snapshot` to `out`; OpenMetrics without its closing "# EOF" line,
// so that the caller may append families of its own before it.
void render(const Snapshot& snapshot, const std::vector<double>& bounds, GaugeMode mode,
            const RenderOptions& options, std::string& out);

// A value as prometheus_client writes it (floatToGoString): Python's shortest repr, with an
// exponent from 1e+06 on.
void appendValue(std::string& out, double value);

}  // namespace zelnor::exporter
