// Families that processes declare (zelnor_client): what their declaration lines say, and the
// running state their records fold into, served as prometheus_client's multiprocess collector
// serves the same metrics (its single-process form for info and stateset).
//
// Each producer process appends lines to its declaration file (docs/file-format.md has the
// format); a record of such a process names a series by the id the process gave it. Everything in
// a declaration file is untrusted: lines are parsed with bounds, and a line that does not hold
// up is refused with a reason, as a record would be.
//
// Families are global, by name: the first declaration of a name wins, and a process that declares
// the name otherwise has its records refused (kDeclarationConflict). A family belongs to the user
// whose process declared it first: a process of another user declaring it the same way is refused
// too, unless it is root's, or its parent (a live producer that declared the family, of the
// exporter's pid namespace) is of a user the family belongs to, which it then belongs to as well
// (a prefork master as root, its workers dropped to a service user). Series are global by family
// and label values, so processes add into one series; gauges keep one value per process and
// combine them by the family's mode, after the process has ended too unless the mode is a live one.
//
// What is kept of the files is bounded per user and in all (limitPerUser); what is beyond is
// refused (kUserBudget). Refused series ids are kept as ranges, at no cost per id.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "exporter/declaration_parser.h"
#include "exporter/names.h"
#include "metrics/process_state.h"
#include "platform/process.h"

namespace zelnor::exporter {

// Who wrote a declaration file: its process (pid and start time, as its file's name says) and the
// user who owns the file.
struct ProducerOrigin {
  std::uint32_t pid = 0;
  std::uint64_t start_ticks = 0;
  std::uint32_t uid = 0;
};

// One process's value of a gauge series.
struct GaugeHolding {
  std::uint64_t producer = 0;
  std::uint32_t pid = 0;
  double value = 0;
  std::uint64_t key = 0;  // the key of the write it holds; 0: declared, never written
  bool live = true;
};

// What one sample of a declared family is, for the exposition.
struct DeclaredSample {
  std::string suffix;  // appended to the family name
  Labels labels;       // sorted by name
  double value = 0;
};

// A series' samples as last served: never changed once made, shared by every snapshot that
// serves them until the series changes.
using ServedSamples = std::shared_ptr<const std::vector<DeclaredSample>>;

struct DeclaredSeries {
  std::uint32_t family = 0;
  std::vector<std::string> label_values;
  bool present = true;          // false once removed, until declared or recorded again
  double sum = 0;               // counter: its total; histogram and summary: the sum observed
  double count = 0;             // summary: the observations
  std::vector<double> buckets;  // histogram: observations per bucket, not cumulative
  std::vector<GaugeHolding> holdings;  // gauge
  std::uint64_t state_key = 0;         // stateset and info: the key of the state held
  double state = 0;                    // stateset: the state's index
  Labels info;                         // info: its labels
  ServedSamples served;                // what samples() made of it last
  bool changed = true;                 // since `served` was made
};

// Where a record of a declared series goes: the lanes only tell how its value travelled.
enum class Lane : std::uint8_t { kInteger, kDouble, kKeyed };

struct DeclaredFamilySamples {
  const DeclaredFamily* family = nullptr;
  std::vector<ServedSamples> series;  // of each series served, in the order they were declared
};

class DeclaredFamilies {
 public:
  // Bounds on what one process may declare.
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;
  static constexpr std::size_t kMaxFamiliesPerProcess = 100000;
  static constexpr std::size_t kMaxFamilies = 100000;
  // What the declarations of one user's processes may keep by default (about, in bytes; all
  // users' four times that), and what one id kept counts as; a family or series new to the
  // exporter counts for good.
  static constexpr std::size_t kDefaultKeptPerUser = 256 * 1024 * 1024;
  static constexpr std::size_t kIdCost = 64;
  // How far ahead of the exporter's real-time clock a keyed write's key may be, in nanoseconds.
  static constexpr std::uint64_t kKeyMargin = 60'000'000'000;

  // `claim` is asked before a new family takes its name (with the names its samples occupy); it
  // returns kCount when they are free, else the reason they are not. `series_room` is asked before
  // a new series is made, and says whether the series limit allows it.
  // `refused` hears of a family declaration that is not taken, once per process and family: its
  // entries are then counted one by one as they come.
  struct Namespace {
    virtual ~Namespace() = default;
    virtual Reason claim(const DeclaredFamily& family) = 0;
    virtual bool seriesRoom() = 0;
    virtual void refused(const DeclaredFamily& family, Reason reason) = 0;
  };

  explicit DeclaredFamilies(Namespace& names) : names_(names) {}

  // What one user's processes may keep from now on (all users', four times that).
  void limitPerUser(std::size_t bytes) {
    max_kept_per_user_ = std::min(bytes, std::numeric_limits<std::size_t>::max() / 4);
  }

  // Reads more of the declaration file of `producer`, written by `origin`: `bytes` continue what
  // was handed before. A line that does not hold up counts under `rejected` as
  // invalid_declaration (an info value's labels that do not, as invalid_labels); a family that is
  // refused (its name taken otherwise, say) counts there entry by entry instead.
  void declare(std::uint64_t producer, const ProducerOrigin& origin, std::string_view bytes,
               std::uint64_t rejected[]);

  // Folds a record whose name begins with 0x01. False with `reason` when it cannot be folded;
  // kUndeclaredSeries means that the process's declarations read so far do not name its series
  // (reading more of its file may); kKeyAhead, a key past the real time now and kKeyMargin.
  bool fold(Lane lane, std::string_view name, double value, std::uint64_t producer, Reason& reason);

  // What the producer's state file keeps (each series' and family's last keyed write), folded
  // as its records would be, in the order of their keys: the writes a restarted exporter never
  // saw in the rings. A write the rings bring again folds by the same key comparisons; a removal
  // takes away only what other processes had not written since (restoreRemoval).
  void restore(std::uint64_t producer, const std::vector<StateEntry>& entries);

  // The process has ended: its gauge values leave the live modes and stay in the others; its
  // declarations are forgotten.
  void producerEnded(std::uint64_t producer);

  // A drain of every queue has ended. A removal travels in the keyed lane, folded after the other
  // two lanes of the same drain; what its thread recorded after it, through ids it declared after
  // it or series it made again after it (whose records carry a stamp above the removal's
  // watermark), was folded already in that drain and is folded again after the removal. Such ids
  // were read, or such stamps first seen, in that drain or the one before, so what is kept to fold
  // again is what those ids recorded in the current drain.
  void passEnded();

  // How many bytes of the producer's file were handed so far (0 for one never seen).
  std::uint64_t bytesRead(std::uint64_t producer) const;

  // The samples of every family, as the exposition serves them. Only the series that changed
  // since the last call are made again; the others are shared with what that call returned.
  std::vector<DeclaredFamilySamples> samples();

  // True when anything changed since the last call.
  bool takeChanged() {
    const bool changed = changed_;
    changed_ = false;
    return changed;
  }

  std::size_t seriesCount() const noexcept { return series_.size(); }

 private:
  // Series ids refused for one reason, from `first` to `last`.
  struct Refused {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    Reason reason = Reason::kInvalidDeclaration;
  };
  struct Parent {
    std::uint32_t pid = 0;
    ProcessLineage lineage;
  };
  struct Producer {
    ProducerOrigin origin;
    std::size_t kept = 0;        // what it holds of its user's budget
    bool out_of_budget = false;  // something was refused for the budget
    bool lineage_read = false;
    std::optional<Parent> parent;  // its process's, when it is the process its file's name says
    std::unordered_set<std::uint32_t> inherited;  // the families its parent had, when last looked
    std::size_t inherited_of = 0;                 // how many the parent had declared then
    std::unordered_map<std::uint64_t, std::int64_t> families;      // its id -> ours, or -1 - reason
    std::unordered_map<std::uint64_t, std::int64_t> series;        // its id -> ours
    std::vector<Refused> refused;                                  // by first id
    std::unordered_map<std::uint64_t, Labels> info_values;         // its id -> the labels
    std::unordered_map<std::uint64_t, std::uint64_t> info_series;  // value id -> its series id
    std::unordered_map<std::uint64_t, std::uint64_t> young;   // series id -> drain it was read in
    std::unordered_map<std::uint64_t, std::uint64_t> stamps;  // series id -> newest stamp seen
    std::string partial;                                      // a line not ended yet
    bool skipping = false;  // the line not ended yet was refused as too long already
    std::uint64_t bytes = 0;
    bool header_seen = false;
  };

  // The end of what was handed, a line that goes on in what comes next.
  void keepPartial(Producer& producer, std::string_view bytes, std::uint64_t rejected[]);
  bool declareLine(Producer& producer, std::uint64_t key, std::string_view line,
                   std::uint64_t rejected[]);
  Reason declareFields(Producer& producer, std::uint64_t key, std::string_view line);
  // Takes `bytes` of the budget of the producer's user (for as long as it lives, or for good when
  // `lasting`); false, and nothing taken, when they do not fit.
  bool charge(Producer& producer, std::size_t bytes, bool lasting);
  bool fits(const Producer& producer, std::size_t bytes) const;
  void account(Producer& producer, std::size_t bytes, bool lasting);
  void release(Producer& producer, std::size_t bytes);
  // The live producer that is the parent of the producer's process, when there is one.
  const Producer* parentOf(Producer& producer);
  // Whether the producer's user may declare the family `index`, which it may then.
  bool mayDeclare(Producer& producer, std::uint32_t index);
  // What the producer's series id is: ours (0 or more), -1 - reason when refused, kUnknown.
  static constexpr std::int64_t kUnknown = std::numeric_limits<std::int64_t>::min();
  static std::int64_t seriesEntry(const Producer& producer, std::uint64_t id);
  // Returns `reason`.
  Reason refuseSeries(Producer& producer, std::uint64_t id, Reason reason);
  Reason declareFamily(Producer& producer, const std::vector<std::string>& fields);
  // The family that the producer declares as `id` is `family`, or the one of its name declared
  // before: kCount, else why it is refused. `family` is moved from when it is new.
  Reason takeFamily(Producer& producer, std::uint64_t id, DeclaredFamily& family);
  Reason declareSeries(Producer& producer, std::uint64_t key,
                       const std::vector<std::string>& fields);
  // The series of `family` with those label values, made when new; else why there is none.
  std::optional<std::uint32_t> seriesFor(Producer& producer, std::uint32_t family,
                                         std::vector<std::string> values, Reason& reason);
  Reason declareInfoValue(Producer& producer, const std::vector<std::string>& fields);
  // A record of a declared series' counter or histogram lane, kept for the drain it came in.
  struct Recent {
    std::uint64_t producer = 0;
    std::uint64_t stamp = 0;  // the series id, or the stamp of its series made again
    std::uint32_t series = 0;
    double value = 0;
  };

  // A record being folded: what its name says, and who recorded it.
  struct Record {
    Producer& producer;
    std::uint64_t producer_key;
    const RecordName& name;
    Lane lane;
    double value;
  };
  bool foldRecord(Lane lane, const RecordName& name, double value, std::uint64_t producer_key,
                  Reason& reason);
  // A record of the series `index`, by its operation.
  bool foldInto(const Record& record, std::uint32_t index, Reason& reason);
  bool clearFamily(const Record& record, Reason& reason);
  bool foldAdd(const Record& record, std::uint32_t index, Reason& reason);
  bool foldRevive(const Record& record, DeclaredSeries& series);
  bool foldGauge(const Record& record, DeclaredSeries& series, Reason& reason);
  bool foldEnum(const Record& record, DeclaredSeries& series, Reason& reason);
  bool foldInfo(const Record& record, DeclaredSeries& series, Reason& reason);
  bool foldRemove(const Record& record, DeclaredSeries& series);

  void restoreRemoval(Producer& producer, std::uint64_t producer_key, const StateEntry& entry);
  // Takes from `series` what declarations made and what `producer_key` wrote, and a state set
  // before `key`.
  void unwrite(DeclaredSeries& series, std::uint64_t producer_key, std::uint64_t key);
  static void holdDeclared(DeclaredSeries& series, std::uint64_t producer, std::uint32_t pid);
  void revived(Producer& producer, std::uint64_t producer_key, std::uint64_t id,
               std::uint64_t stamp);
  void touch(DeclaredSeries& series) {
    series.changed = true;
    changed_ = true;
  }
  void present(DeclaredSeries& series);
  void removeSeries(DeclaredSeries& series);
  bool add(DeclaredSeries& series, char op, Lane lane, double value, Reason& reason);
  bool observe(DeclaredSeries& series, Lane lane, double value);
  // Folds again what `producer` recorded in this drain through ids above `watermark` (declared
  // after its removal) into the series `removed` says.
  template <typename Removed>
  void refold(std::uint64_t producer, std::uint64_t watermark, Removed&& removed);

  Namespace& names_;
  std::vector<DeclaredFamily> families_;
  std::unordered_map<std::string, std::uint32_t> family_by_name_;
  std::vector<DeclaredSeries> series_;
  std::unordered_map<std::string, std::uint32_t> series_by_key_;
  std::unordered_map<std::uint64_t, Producer> producers_;
  std::multimap<std::pair<std::uint32_t, std::uint64_t>, std::uint64_t> by_process_;  // pid, start
  std::unordered_map<std::uint32_t, std::size_t> kept_by_user_;
  std::size_t kept_ = 0;
  std::size_t max_kept_per_user_ = kDefaultKeptPerUser;
  std::uint64_t pass_ = 0;
  std::vector<Recent> recent_;                    // of young ids, this drain
  std::unordered_set<std::uint64_t> with_young_;  // producers that have young ids
  bool changed_ = false;
};

}  // namespace zelnor::exporter
