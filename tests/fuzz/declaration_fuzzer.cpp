// Feeds two producers' declaration files to the exporter's declared families as the files grow,
// with records and state entries between the chunks, and checks what samples() then serves: every
// line of those files and every record of those processes is another user's to write.
//
// Input: declaration file A, a 0xff byte, declaration file B, a 0xff byte, then commands, one a
// line. A file is read in chunks split at its 0xfe bytes (no byte of UTF-8), a chunk per `d`:
//
//   p<n>                      the commands that follow are of producer n % 2 (A's, B's)
//   d                         the producer reads the next chunk of its file
//   f<lane><value> <name>     fold(lane % 3, "\x01" name, value) (value as strtod reads it)
//   s<op><id> <key> <value>   a state entry (id and key in hex) for the next `r`
//   r                         restore() the state entries given since the last `r`
//   n  passEnded()    e  producerEnded()    o  samples()
//
// At the end each producer reads the rest of its file, and samples() is checked: sample names
// and label names that both exposition formats read, no label twice in a sample, UTF-8 values,
// no sample twice in a family.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "exporter/declared.h"

namespace {

using zelnor::exporter::DeclaredFamilies;
using zelnor::exporter::DeclaredFamily;
using zelnor::exporter::Lane;
using zelnor::exporter::Reason;

// Takes every free name but the exporter's own, and a bounded number of series.
struct Names : DeclaredFamilies::Namespace {
  std::size_t series = 0;
  Reason claim(const DeclaredFamily& family) override {
    return family.name.compare(0, 7, "zelnor_") == 0 ? Reason::kReservedName : Reason::kCount;
  }
  bool seriesRoom() override { return ++series <= 4096; }
  void refused(const DeclaredFamily&, Reason) override {}
};

struct File {
  std::string_view rest;  // what the producer has not read yet
  bool more = true;

  std::string_view nextChunk() {
    const std::size_t end = rest.find('\xfe');
    const std::string_view chunk = rest.substr(0, end);
    more = end != std::string_view::npos;
    rest = more ? rest.substr(end + 1) : std::string_view();
    return chunk;
  }
};

std::string_view take(std::string_view& input, char separator) {
  const std::size_t end = input.find(separator);
  const std::string_view head = input.substr(0, end);
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return head;
}

std::uint64_t hex(std::string_view text) {
  return std::strtoull(std::string(text).c_str(), nullptr, 16);
}

double number(std::string_view text) {
  return std::strtod(std::string(text).c_str(), nullptr);
}

void check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "served samples broken: %s\n", what);
    std::abort();
  }
}

void append(std::string& key, const std::string& part) {
  key += std::to_string(part.size());
  key.push_back(':');
  key += part;
}

// No two samples of a family alike: a scrape that repeats one is refused.
void checkSamples(DeclaredFamilies& families) {
  for (const auto& family : families.samples()) {
    std::set<std::string> seen;
    for (const auto& series : family.series) {
      for (const auto& sample : *series) {
        check(zelnor::exporter::isMetricName(family.family->name + sample.suffix), "sample name");
        std::string key = sample.suffix;
        for (std::size_t i = 0; i < sample.labels.size(); ++i) {
          check(zelnor::exporter::isLabelName(sample.labels[i].first), "label name");
          check(zelnor::exporter::isValidUtf8(sample.labels[i].second), "label value");
          check(i == 0 || sample.labels[i - 1].first < sample.labels[i].first,
                "labels in order, once");
          append(key, sample.labels[i].first);
          append(key, sample.labels[i].second);
        }
        check(seen.insert(key).second, "a sample twice");
      }
    }
  }
}

struct Run {
  Names names;
  DeclaredFamilies families{names};
  std::uint64_t rejected[static_cast<int>(Reason::kCount)] = {};
  File files[2];
  std::vector<zelnor::StateEntry> entries;
  unsigned producer = 0;

  void read(unsigned which) {
    families.declare(
        which + 1, zelnor::exporter::ProducerOrigin{static_cast<std::uint32_t>(100 + which), 0, 0},
        files[which].nextChunk(), rejected);
  }

  void command(std::string_view line) {
    if (line.empty()) {
      return;
    }
    const std::string_view args = line.substr(1);
    switch (line[0]) {
      case 'p':
        producer = args.empty() ? 0 : static_cast<unsigned>(args[0]) % 2;
        break;
      case 'd':
        if (files[producer].more) {
          read(producer);
        }
        break;
      case 'f': {
        if (args.empty()) {
          return;
        }
        std::string_view rest = args.substr(1);
        const double value = number(take(rest, ' '));
        const std::string name = "\x01" + std::string(rest);
        Reason reason = Reason::kCount;
        if (!families.fold(static_cast<Lane>(static_cast<unsigned char>(args[0]) % 3), name, value,
                           producer + 1, reason)) {
          check(reason < Reason::kCount, "a refusal without its reason");
        }
        break;
      }
      case 's': {
        if (args.empty()) {
          return;
        }
        std::string_view rest = args.substr(1);
        zelnor::StateEntry entry;
        entry.op = args[0];
        entry.id = hex(take(rest, ' '));
        entry.key = hex(take(rest, ' '));
        entry.value = number(rest);
        entries.push_back(entry);
        break;
      }
      case 'r':
        families.restore(producer + 1, entries);
        entries.clear();
        break;
      case 'n':
        families.passEnded();
        break;
      case 'e':
        families.producerEnded(producer + 1);
        break;
      case 'o':
        checkSamples(families);
        break;
      default:
        break;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Run run;
  run.files[0].rest = take(input, '\xff');
  run.files[1].rest = take(input, '\xff');
  while (!input.empty()) {
    run.command(take(input, '\n'));
  }
  for (unsigned which = 0; which < 2; ++which) {
    while (run.files[which].more) {
      run.read(which);
    }
  }
  checkSamples(run.families);
  return 0;
}
