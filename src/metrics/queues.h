// The three queue kinds and where they live: what the producer and the consumer agree on beside
// the file format itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "metrics/entries.h"
#include "metrics/shared_queue.h"

namespace zelnor {

inline constexpr std::string_view kMetricsDirectory = "/tmp/metrics_collector";
inline constexpr std::uint32_t kQueueCapacity = 1000;

using CounterQueue = SharedQueue<CounterEntry, kQueueCapacity>;
using HistogramQueue = SharedQueue<HistogramEntry, kQueueCapacity>;
using GaugeQueue = SharedQueue<GaugeEntry, kQueueCapacity>;

}  // namespace zelnor
