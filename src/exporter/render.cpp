#include "exporter/render.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>

namespace zelnor::exporter {
namespace {

using Label = std::pair<std::string_view, std::string_view>;

constexpr const char* kDeclaredTypes[] = {"counter", "gauge", "histogram",
                                          "summary", "info",  "stateset"};

// --- names ---------------------------------------------------------------------------------

bool isLegacyLabelName(std::string_view name) {
  return isLabelName(name) && name.compare(0, 2, "__") != 0;
}

// One code point of UTF-8 at `at`, and its length; a byte that begins none counts as itself.
std::pair<std::uint32_t, std::size_t> codePoint(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : 4;
  if (lead < 0x80 || lead >> 6 == 2 || at + length > text.size()) {
    return {lead, 1};
  }
  std::uint32_t point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    point = point << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  }
  return {point, length};
}

bool isLegacyRune(std::uint32_t point, std::size_t index, bool metric) {
  return (point >= 'a' && point <= 'z') || (point >= 'A' && point <= 'Z') || point == '_' ||
         (point >= '0' && point <= '9' && index > 0) || (metric && point == ':');
}

// Backslash, newline and double quote escaped, as in a label value.
void appendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

// A metric or label name as prometheus_client's escape_metric_name and escape_label_name write it.
void appendName(std::string& out, std::string_view name, Escaping escaping, bool metric) {
  const bool legacy = metric ? isMetricName(name) : isLegacyLabelName(name);
  if (name.empty() || (legacy && escaping != Escaping::kDots)) {
    out += name;
    return;
  }
  if (escaping == Escaping::kAllowUtf8) {
    out += '"';
    appendEscaped(out, name);
    out += '"';
    return;
  }
  if (escaping == Escaping::kValues) {
    out += "U__";
  }
  std::size_t index = 0;
  for (std::size_t at = 0; at < name.size(); ++index) {
    const auto [point, length] = codePoint(name, at);
    const std::string_view rune = name.substr(at, length);
    at += length;
    if (escaping != Escaping::kUnderscores && point == '_') {
      out += "__";
    } else if (escaping == Escaping::kDots && point == '.') {
      out += "_dot_";
    } else if (isLegacyRune(point, index, metric)) {
      out += rune;
    } else if (escaping == Escaping::kUnderscores) {
      out += '_';
    } else if (escaping == Escaping::kDots) {
      out += "__";
    } else if ((point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
      out += "_FFFD_";
    } else {
      char hex[16];
      const auto end = std::to_chars(hex, hex + sizeof hex, point, 16).ptr;
      out += '_';
      out.append(hex, end);
      out += '_';
    }
  }
}

// --- families ------------------------------------------------------------------------------

// Writes one family at a time: its HELP, TYPE (and UNIT) lines once it is known to show, then
// its samples.
class Writer {
 public:
  Writer(const RenderOptions& options, std::string& out)
      : options_(options),
        escaping_(options.format == Format::kText ? options.escaping : Escaping::kAllowUtf8),
        out_(out) {}

  // Begins a family. Shown without samples only when `shown_empty` and no names are asked for
  // (prometheus_client writes an empty family, but leaves it out of a restricted registry's).
  void begin(std::string_view name, std::string_view type, std::string_view help,
             std::string_view unit = {}, bool shown_empty = false) {
    name_ = name;
    type_ = type;
    help_ = help;
    unit_ = unit;
    headed_ = false;
    if (shown_empty && options_.names == nullptr) {
      head();
    }
  }

  // A sample named `base` + `suffix`, with `labels` (sorted by name) and `extra` among them.
  void sample(std::string_view base, std::string_view suffix, const Labels& labels,
              const Label* extra, double value) {
    if (options_.names != nullptr) {
      wanted_.assign(base);
      wanted_ += suffix;
      if (options_.names->count(wanted_) == 0) {
        return;
      }
    }
    if (!headed_) {
      head();
    }
    name_buffer_.assign(base);
    name_buffer_ += suffix;
    const bool quoted = escaping_ == Escaping::kAllowUtf8 && !isMetricName(name_buffer_);
    const bool labelled = !labels.empty() || extra != nullptr;
    if (quoted) {
      out_ += '{';
      appendName(out_, name_buffer_, escaping_, true);
      if (labelled) {
        out_ += ',';
      }
    } else {
      appendName(out_, name_buffer_, escaping_, true);
      if (labelled) {
        out_ += '{';
      }
    }
    bool first = true;
    const auto label = [&](std::string_view name, std::string_view value) {
      if (!first) {
        out_ += ',';
      }
      first = false;
      appendName(out_, name, escaping_, false);
      out_ += "=\"";
      appendEscaped(out_, value);
      out_ += '"';
    };
    bool extra_written = extra == nullptr;
    for (const auto& [name, value] : labels) {
      if (!extra_written && extra->first < name) {
        label(extra->first, extra->second);
        extra_written = true;
      }
      label(name, value);
    }
    if (!extra_written) {
      label(extra->first, extra->second);
    }
    if (quoted || labelled) {
      out_ += '}';
    }
    out_ += ' ';
    appendValue(out_, value);
    out_ += '\n';
  }

  void sample(std::string_view base, std::string_view suffix, double value) {
    sample(base, suffix, kNoLabels, nullptr, value);
  }

 private:
  void head() {
    headed_ = true;
    std::string_view type = type_;
    std::string name(name_);
    if (options_.format == Format::kText) {
      // prometheus_client's munging of OpenMetrics types into the text format's.
      if (type == "counter") {
        name += "_total";
      } else if (type == "info") {
        name += "_info";
        type = "gauge";
      } else if (type == "stateset") {
        type = "gauge";
      }
    }
    out_ += "# HELP ";
    appendName(out_, name, escaping_, true);
    out_ += ' ';
    for (const char c : help_) {
      if (c == '\\') {
        out_ += "\\\\";
      } else if (c == '\n') {
        out_ += "\\n";
      } else if (c == '"' && options_.format == Format::kOpenMetrics) {
        out_ += "\\\"";
      } else {
        out_ += c;
      }
    }
    out_ += "\n# TYPE ";
    appendName(out_, name, escaping_, true);
    out_ += ' ';
    out_ += type;
    out_ += '\n';
    if (options_.format == Format::kOpenMetrics && !unit_.empty()) {
      out_ += "# UNIT ";
      appendName(out_, name, escaping_, true);
      out_ += ' ';
      out_ += unit_;
      out_ += '\n';
    }
  }

  static inline const Labels kNoLabels;
  const RenderOptions& options_;
  const Escaping escaping_;
  std::string& out_;
  std::string_view name_, type_, help_, unit_;
  bool headed_ = false;
  std::string wanted_, name_buffer_;
};

// --- the series ----------------------------------------------------------------------------

// A gauge's sample in the modes that combine producers' values, as zelnor_exporter's reference
// combines them: a sum from 0.0 in order of arrival (one value as it is), a maximum or minimum
// that a NaN held so far gives way to.
bool combined(const std::vector<ProducerValue>& held, GaugeMode mode, double& value) {
  if (held.empty()) {
    return false;
  }
  value = held.front().value;
  if (held.size() == 1) {
    return true;
  }
  if (mode == GaugeMode::kSum) {
    value = 0.0;
    for (const ProducerValue& producer : held) {
      value += producer.value;
    }
    return true;
  }
  for (std::size_t i = 1; i < held.size(); ++i) {
    const double next = held[i].value;
    const bool higher = mode == GaugeMode::kMax ? next > value : next < value;
    if (higher || std::isnan(value)) {
      value = next;
    }
  }
  return true;
}

struct SeriesRenderer {
  const Snapshot& snapshot;
  const std::vector<double>& bounds;
  GaugeMode mode;
  Writer& writer;
  std::vector<std::string> le;  // each bound as `le` spells it
  std::string help;

  void family(const SeriesInfo& first, const std::int32_t* begin, const std::int32_t* end) {
    static constexpr const char* kTypes[] = {"counter", "histogram", "gauge"};
    help.assign("zelnor metric ");
    help += first.name;
    writer.begin(first.name, kTypes[static_cast<int>(first.kind)], help);
    for (const std::int32_t* at = begin; at != end; ++at) {
      const auto series = static_cast<std::size_t>(*at);
      const SeriesInfo& info = snapshot.infoOf(series);
      const SeriesValue& value = snapshot.valueOf(series);
      switch (info.kind) {
        case Kind::kCounter:
          writer.sample(info.name, "_total", info.labels, nullptr,
                        static_cast<double>(value.total));
          break;
        case Kind::kHistogram:
          histogram(info, value);
          break;
        case Kind::kGauge:
          gauge(info, value);
          break;
      }
    }
  }

  void histogram(const SeriesInfo& info, const SeriesValue& value) {
    // OpenMetrics counts _sum as a counter (never negative, never NaN), forbids it where a bucket
    // bound is negative, and wants _count and _sum together or neither; the +Inf bucket holds the
    // count either way.
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b < bounds.size() && b < value.buckets.size(); ++b) {
      cumulative += value.buckets[b];
      const Label bound{"le", le[b]};
      writer.sample(info.name, "_bucket", info.labels, &bound, static_cast<double>(cumulative));
    }
    if (bounds.front() >= 0 && value.sum >= 0) {
      writer.sample(info.name, "_count", info.labels, nullptr, static_cast<double>(value.total));
      writer.sample(info.name, "_sum", info.labels, nullptr, value.sum);
    }
  }

  void gauge(const SeriesInfo& info, const SeriesValue& value) {
    if (mode == GaugeMode::kLast) {
      writer.sample(info.name, "", info.labels, nullptr, value.sum);
      return;
    }
    if (mode != GaugeMode::kAll) {
      double shown = 0;
      if (combined(value.producers, mode, shown)) {
        writer.sample(info.name, "", info.labels, nullptr, shown);
      }
      return;
    }
    // One sample per live producer, in the order of their labels.
    std::vector<std::pair<std::string_view, double>> held;
    for (const ProducerValue& producer : value.producers) {
      if (snapshot.producer_labels) {
        if (const auto found = snapshot.producer_labels->find(producer.producer);
            found != snapshot.producer_labels->end()) {
          held.emplace_back(found->second, producer.value);
        }
      }
    }
    std::stable_sort(held.begin(), held.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [pid, shown] : held) {
      const Label label{"pid", pid};
      writer.sample(info.name, "", info.labels, &label, shown);
    }
  }

  void all() {
    if (!snapshot.order) {
      return;
    }
    for (const double bound : bounds) {
      le.emplace_back();
      appendValue(le.back(), bound);
    }
    const std::vector<std::int32_t>& order = *snapshot.order;
    const std::int32_t* const end = order.data() + order.size();
    for (const std::int32_t* begin = order.data(); begin != end;) {
      const SeriesInfo& first = snapshot.infoOf(static_cast<std::size_t>(*begin));
      const std::int32_t* next = begin + 1;
      while (next != end) {
        const SeriesInfo& info = snapshot.infoOf(static_cast<std::size_t>(*next));
        if (info.kind != first.kind || info.name != first.name) {
          break;
        }
        ++next;
      }
      family(first, begin, next);
      begin = next;
    }
  }
};

void renderDeclared(const std::vector<DeclaredSnapshot>& declared, Writer& writer) {
  std::string name;
  for (const DeclaredSnapshot& family : declared) {
    // prometheus_client's Metric puts the unit at the end of a name that lacks it.
    name = family.name;
    const std::string unit_suffix = "_" + family.unit;
    if (!family.unit.empty() &&
        (name.size() < unit_suffix.size() ||
         name.compare(name.size() - unit_suffix.size(), unit_suffix.size(), unit_suffix) != 0)) {
      name += unit_suffix;
    }
    writer.begin(name, kDeclaredTypes[static_cast<int>(family.type)], family.documentation,
                 family.unit, true);
    for (const ServedSamples& series : family.series) {
      for (const DeclaredSample& sample : *series) {
        writer.sample(family.name, sample.suffix, sample.labels, nullptr, sample.value);
      }
    }
  }
}

void renderHealth(const Snapshot& snapshot, Writer& writer) {
  const Health& health = snapshot.health;
  const auto byKind = [&](const char* name, const char* type, const char* help, auto value) {
    writer.begin(name, type, help, {}, true);
    for (int kind = 0; kind < kKinds; ++kind) {
      const Label label{"kind", kindText(static_cast<Kind>(kind))};
      writer.sample(name, type[0] == 'c' ? "_total" : "", {}, &label, value(kind));
    }
  };
  byKind("zelnor_exporter_entries", "counter", "Entries drained, by kind",
         [&](int kind) { return static_cast<double>(health.entries[kind]); });
  writer.begin("zelnor_exporter_rejected_entries", "counter",
               "Drained entries that could not become a series, by reason", {}, true);
  std::vector<std::pair<std::string_view, std::uint64_t>> rejected;
  for (int reason = 0; reason < static_cast<int>(Reason::kCount); ++reason) {
    if (health.rejected[reason] != 0) {
      rejected.emplace_back(reasonText(static_cast<Reason>(reason)), health.rejected[reason]);
    }
  }
  std::sort(rejected.begin(), rejected.end());
  for (const auto& [reason, count] : rejected) {
    const Label label{"reason", reason};
    writer.sample("zelnor_exporter_rejected_entries", "_total", {}, &label,
                  static_cast<double>(count));
  }
  byKind("zelnor_dropped_records", "counter",
         "Records the producers dropped because their ring was full (or its header corrupt), "
         "by kind",
         [&](int kind) { return static_cast<double>(health.dropped[kind]); });
  byKind("zelnor_exporter_queues", "gauge", "Queues attached, by kind",
         [&](int kind) { return static_cast<double>(health.queues[kind]); });
  byKind("zelnor_exporter_fullest_queue_ratio", "gauge",
         "How full the fullest ring of each kind was at the last drain, from 0 to 1",
         [&](int kind) { return health.fullest[kind]; });
  writer.begin("zelnor_exporter_drains", "counter", "Drain passes over all three kinds", {}, true);
  writer.sample("zelnor_exporter_drains", "_total", static_cast<double>(health.drains));
  writer.begin("zelnor_exporter_drain_seconds", "counter", "Time spent draining, in seconds", {},
               true);
  writer.sample("zelnor_exporter_drain_seconds", "_total", health.drain_seconds);
  writer.begin("zelnor_exporter_series", "gauge", "Series held", {}, true);
  writer.sample("zelnor_exporter_series", "",
                static_cast<double>(snapshot.series + snapshot.declared_series));
}

}  // namespace

void render(const Snapshot& snapshot, const std::vector<double>& bounds, GaugeMode mode,
            const RenderOptions& options, std::string& out) {
  Writer writer(options, out);
  SeriesRenderer{snapshot, bounds, mode, writer, {}, {}}.all();
  if (snapshot.declared) {
    renderDeclared(*snapshot.declared, writer);
  }
  renderHealth(snapshot, writer);
}

void appendValue(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
    return;
  }
  // The shortest digits that read back as the value, as Python's repr finds them.
  char shortest[32];
  const char* const end =
      std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr;
  const char* at = shortest;
  if (*at == '-') {
    out += '-';
    ++at;
  }
  std::string digits;
  for (; *at != 'e'; ++at) {
    if (*at != '.') {
      digits += *at;
    }
  }
  int exponent = 0;
  std::from_chars(at + (at[1] == '+' ? 2 : 1), end, exponent);
  const int point = exponent + 1;  // digits before the decimal point
  const auto size = static_cast<int>(digits.size());
  const auto withExponent = [&](std::string_view mantissa, int power) {
    out += mantissa.front();
    if (mantissa.size() > 1) {
      out += '.';
      out += mantissa.substr(1);
    }
    char text[8];
    const auto written = std::to_chars(text, text + sizeof text, power < 0 ? -power : power).ptr;
    out += power < 0 ? "e-" : "e+";
    if (written - text < 2) {
      out += '0';
    }
    out.append(text, written);
  };
  if (point <= -4 || point > 16) {
    withExponent(digits, exponent);  // as repr writes it
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (value > 0 && point > 6) {
    // floatToGoString: Go writes an exponent from 1e+06 on; trailing zeros go.
    digits.append(static_cast<std::size_t>(std::max(0, point - size)), '0');
    const auto kept = digits.find_last_not_of('0');
    withExponent(std::string_view(digits).substr(0, kept + 1), point - 1);
  } else if (point >= size) {
    out += digits;
    out.append(static_cast<std::size_t>(point - size), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
}

}  // namespace zelnor::exporter
