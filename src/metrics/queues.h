// The three queue kinds: what the producer and the consumer agree on beside the file format
// itself and the directory (metrics_directory.h).
#pragma once

#include <cstdint>

#include "metrics/entries.h"
#include "metrics/metrics_directory.h"
#include "metrics/shared_queue.h"

namespace zelnor {

inline constexpr std::uint32_t kQueueCapacity = 1000;

using CounterQueue = SharedQueue<CounterEntry, kQueueCapacity>;
using HistogramQueue = SharedQueue<HistogramEntry, kQueueCapacity>;
using GaugeQueue = SharedQueue<GaugeEntry, kQueueCapacity>;

}  // namespace zelnor
