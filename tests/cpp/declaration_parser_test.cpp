// The declaration file's parser and the records that name declared series, field by field: what
// each field of an F, S or V line takes and what it refuses, under which reason, and the same for
// a record's operation, lane, id, stamp and key. The files are another user's to write.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "exporter/declaration_parser.h"
#include "exporter/declared.h"

namespace zelnor::exporter {

void PrintTo(Reason reason, std::ostream* out) {
  *out << (reason == Reason::kCount ? "none" : reasonText(reason));
}

namespace {

constexpr std::uint64_t kProducer = 7;
constexpr std::uint64_t kOther = 8;

// Takes every name but those beginning with "taken_", and as many series as `room` says.
struct RecordingNamespace : DeclaredFamilies::Namespace {
  std::vector<Reason> refusals;
  std::size_t room = 1000;
  Reason claim(const DeclaredFamily& family) override {
    return family.name.compare(0, 6, "taken_") == 0 ? Reason::kNameClash : Reason::kCount;
  }
  bool seriesRoom() override { return room > 0 && room-- > 0; }
  void refused(const DeclaredFamily&, Reason reason) override { refusals.push_back(reason); }
};

// One exporter's declared families and what they counted, for a test to drive.
struct Declarations {
  void declare(const std::string& bytes, std::uint64_t producer = kProducer) {
    families_.declare(producer, ProducerOrigin{1000 + static_cast<std::uint32_t>(producer), 0, 0},
                      bytes, rejected_);
  }
  void declareLines(const std::string& lines, std::uint64_t producer = kProducer) {
    declare("zelnor-process 1\n" + lines, producer);
  }
  // The record's reason, or kCount when it folds.
  Reason fold(Lane lane, const std::string& name, double value = 1,
              std::uint64_t producer = kProducer) {
    Reason reason = Reason::kCount;
    return families_.fold(lane, "\x01" + name, value, producer, reason) ? Reason::kCount : reason;
  }
  std::uint64_t counted(Reason reason) const { return rejected_[static_cast<int>(reason)]; }
  std::uint64_t countedInAll() const {
    std::uint64_t all = 0;
    for (std::uint64_t n : rejected_) {
      all += n;
    }
    return all;
  }
  // The family of that name as served, or null.
  const DeclaredFamilySamples* served(const std::string& name) {
    snapshot_ = families_.samples();
    for (const DeclaredFamilySamples& family : snapshot_) {
      if (family.family->name == name) {
        return &family;
      }
    }
    return nullptr;
  }

  RecordingNamespace names_;
  DeclaredFamilies families_{names_};
  std::uint64_t rejected_[static_cast<int>(Reason::kCount)] = {};
  std::vector<DeclaredFamilySamples> snapshot_;
};

class Parser : public ::testing::Test, public Declarations {};

// --- F lines -----------------------------------------------------------------------------------

struct FamilyCase {
  const char* what;
  std::string line;  // declares family 1, named "m" unless the case is about the name
  Reason reason;     // kCount: taken
};

class FamilyLine : public Parser, public ::testing::WithParamInterface<FamilyCase> {};

// A family refused for a line that does not hold up counts once under invalid_declaration; one
// refused for its name or labels is said once through the namespace, with that reason.
TEST_P(FamilyLine, TakesOrRefusesWithItsReason) {
  const FamilyCase& c = GetParam();
  declareLines(c.line + "\n");
  const bool taken = families_.samples().size() == 1;
  EXPECT_EQ(taken, c.reason == Reason::kCount);
  if (c.reason == Reason::kInvalidDeclaration) {
    EXPECT_EQ(counted(Reason::kInvalidDeclaration), 1u);
    EXPECT_TRUE(names_.refusals.empty());
  } else {
    EXPECT_EQ(countedInAll(), 0u);
    EXPECT_EQ(names_.refusals,
              c.reason == Reason::kCount ? std::vector<Reason>{} : std::vector<Reason>{c.reason});
  }
}

std::string familyLine(const std::string& type, const std::string& name, const std::string& unit,
                       const std::string& mode, const std::string& labels,
                       const std::string& extras) {
  return "F\t1\t" + type + "\t" + name + "\tHelp.\t" + unit + "\t" + mode + "\t" + labels + "\t" +
         extras;
}

std::string counter(const std::string& labels, const std::string& extras = "0") {
  return familyLine("counter", "m", "", "", labels, extras);
}

std::string histogram(const std::string& extras, const std::string& labels = "0") {
  return familyLine("histogram", "m", "", "", labels, extras);
}

const FamilyCase kFamilyFields[] = {
    // the line as a whole
    {"counter", counter("0"), Reason::kCount},
    {"nine_fields_at_least", "F\t1\tcounter\tm\tHelp.\t\t\t0", Reason::kInvalidDeclaration},
    {"kind_of_two_letters", "FF\t1\tcounter\tm\tHelp.\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"kind_in_lower_case", "f\t1\tcounter\tm\tHelp.\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"escaped_documentation", "F\t1\tcounter\tm\ta\\tb\\\\c\\nd\t\t\t0\t0", Reason::kCount},
    {"unknown_escape", "F\t1\tcounter\tm\ta\\rb\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"backslash_at_the_end", "F\t1\tcounter\tm\tHelp.\t\t\t0\t0\\", Reason::kInvalidDeclaration},
    {"documentation_not_utf8", "F\t1\tcounter\tm\t\xc3\x28\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"overlong_utf8", "F\t1\tcounter\tm\t\xc0\xaf\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"surrogate_in_utf8", "F\t1\tcounter\tm\t\xed\xa0\x80\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"field_of_16_kib", "F\t1\tcounter\tm\t" + std::string(16 * 1024, 'h') + "\t\t\t0\t0",
     Reason::kCount},
    {"field_over_16_kib", "F\t1\tcounter\tm\t" + std::string(16 * 1024 + 1, 'h') + "\t\t\t0\t0",
     Reason::kInvalidDeclaration},
    // id
    {"id_of_18_digits", "F\t999999999999999999\tcounter\tm\tH.\t\t\t0\t0", Reason::kCount},
    {"id_of_19_digits", "F\t1000000000000000000\tcounter\tm\tH.\t\t\t0\t0",
     Reason::kInvalidDeclaration},
    {"id_empty", "F\t\tcounter\tm\tH.\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"id_negative", "F\t-1\tcounter\tm\tH.\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"id_in_hex", "F\t0x1\tcounter\tm\tH.\t\t\t0\t0", Reason::kInvalidDeclaration},
    {"id_with_a_space", "F\t 1\tcounter\tm\tH.\t\t\t0\t0", Reason::kInvalidDeclaration},
    // type
    {"type_unknown", familyLine("untyped", "m", "", "", "0", "0"), Reason::kInvalidDeclaration},
    {"type_capitalised", familyLine("Counter", "m", "", "", "0", "0"), Reason::kInvalidDeclaration},
    {"summary", familyLine("summary", "m", "", "", "0", "0"), Reason::kCount},
    {"info", familyLine("info", "m", "", "", "0", "0"), Reason::kCount},
    // name and unit
    {"name_with_colon", familyLine("counter", "a:b", "", "", "0", "0"), Reason::kCount},
    {"name_empty", familyLine("counter", "", "", "", "0", "0"), Reason::kInvalidName},
    {"name_with_dash", familyLine("counter", "a-b", "", "", "0", "0"), Reason::kInvalidName},
    {"name_from_a_digit", familyLine("counter", "1m", "", "", "0", "0"), Reason::kInvalidName},
    {"name_taken", familyLine("counter", "taken_m", "", "", "0", "0"), Reason::kNameClash},
    {"unit_as_suffix", familyLine("counter", "size_bytes", "bytes", "", "0", "0"), Reason::kCount},
    {"unit_not_a_suffix", familyLine("counter", "size", "bytes", "", "0", "0"),
     Reason::kInvalidName},
    {"unit_without_underscore", familyLine("counter", "sizebytes", "bytes", "", "0", "0"),
     Reason::kInvalidName},
    {"unit_as_the_name", familyLine("counter", "bytes", "bytes", "", "0", "0"),
     Reason::kInvalidName},
    {"stateset_name_with_colon", familyLine("stateset", "a:b", "", "", "0", "1\tx"),
     Reason::kInvalidName},
    // label names and their count
    {"labels", counter("2\ta\tb"), Reason::kCount},
    {"label_count_too_high", counter("2\ta"), Reason::kInvalidDeclaration},
    {"label_count_too_low", counter("1\ta\tb"), Reason::kInvalidDeclaration},
    {"label_count_not_a_number", counter("x"), Reason::kInvalidDeclaration},
    {"labels_64",
     counter("64" +
             [] {
               std::string labels;
               for (int i = 0; i < 64; ++i) {
                 labels += "\tl" + std::to_string(i);
               }
               return labels;
             }()),
     Reason::kCount},
    {"labels_65",
     counter("65" +
             [] {
               std::string labels;
               for (int i = 0; i < 65; ++i) {
                 labels += "\tl" + std::to_string(i);
               }
               return labels;
             }()),
     Reason::kInvalidDeclaration},
    {"label_from_a_digit", counter("1\t1a"), Reason::kInvalidLabels},
    {"label_with_colon", counter("1\ta:b"), Reason::kInvalidLabels},
    {"label_empty", counter("1\t"), Reason::kInvalidLabels},
    {"label_reserved", counter("1\t__a"), Reason::kInvalidLabels},
    {"label_twice", counter("2\ta\ta"), Reason::kInvalidLabels},
    {"le_of_a_counter", counter("1\tle"), Reason::kCount},
    {"le_of_a_histogram", histogram("2\t1\t+Inf", "1\tle"), Reason::kInvalidLabels},
    {"quantile_of_a_summary", familyLine("summary", "m", "", "", "1\tquantile", "0"),
     Reason::kInvalidLabels},
    {"stateset_name_as_label", familyLine("stateset", "m", "", "", "1\tm", "1\tx"),
     Reason::kInvalidLabels},
    // gauge mode
    {"mode_of_a_counter", familyLine("counter", "m", "", "sum", "0", "0"),
     Reason::kInvalidDeclaration},
    {"gauge_without_mode", familyLine("gauge", "m", "", "", "0", "0"), Reason::kInvalidDeclaration},
    {"gauge_mode_unknown", familyLine("gauge", "m", "", "live", "0", "0"),
     Reason::kInvalidDeclaration},
    {"gauge_mode_capitalised", familyLine("gauge", "m", "", "Sum", "0", "0"),
     Reason::kInvalidDeclaration},
    {"pid_of_an_all_gauge", familyLine("gauge", "m", "", "all", "1\tpid", "0"),
     Reason::kReservedLabel},
    {"pid_of_a_liveall_gauge", familyLine("gauge", "m", "", "liveall", "2\ta\tpid", "0"),
     Reason::kReservedLabel},
    {"pid_of_a_sum_gauge", familyLine("gauge", "m", "", "sum", "1\tpid", "0"), Reason::kCount},
    // extras: a histogram's bounds, an enum's states
    {"extras_of_a_counter", counter("0", "1\tx"), Reason::kInvalidDeclaration},
    {"extra_count_too_low", histogram("1\t1\t+Inf"), Reason::kInvalidDeclaration},
    {"extra_count_too_high", histogram("3\t1\t+Inf"), Reason::kInvalidDeclaration},
    {"extras_1025",
     familyLine(
         "stateset", "m", "", "", "0",
         "1025" +
             [] {
               std::string states;
               for (int i = 0; i < 1025; ++i) {
                 states += "\ts" + std::to_string(i);
               }
               return states;
             }()),
     Reason::kInvalidDeclaration},
    {"stateset_state_twice", familyLine("stateset", "m", "", "", "0", "3\ta\tb\ta"),
     Reason::kInvalidDeclaration},
    {"stateset_without_states", familyLine("stateset", "m", "", "", "0", "0"),
     Reason::kInvalidDeclaration},
    {"bounds", histogram("4\t0.25\t1\t1e+06\t+Inf"), Reason::kCount},
    {"bounds_from_minus_inf", histogram("3\t-Inf\t0\t+Inf"), Reason::kCount},
    {"bounds_only_inf", histogram("1\t+Inf"), Reason::kInvalidDeclaration},
    {"bounds_not_ending_in_inf", histogram("2\t1\t2"), Reason::kInvalidDeclaration},
    {"bounds_unsorted", histogram("3\t2\t1\t+Inf"), Reason::kInvalidDeclaration},
    {"bounds_repeated", histogram("3\t1\t1\t+Inf"), Reason::kInvalidDeclaration},
    {"bound_nan", histogram("3\tNaN\t1\t+Inf"), Reason::kInvalidDeclaration},
    {"bound_empty", histogram("3\t\t1\t+Inf"), Reason::kInvalidDeclaration},
    {"bound_with_text_after", histogram("2\t1s\t+Inf"), Reason::kInvalidDeclaration},
    // `le` serves a bound as spelled: only a number prometheus_client could have written
    {"bound_with_a_space", histogram("2\t 1\t+Inf"), Reason::kInvalidDeclaration},
    {"bound_in_hex", histogram("2\t0x1p0\t+Inf"), Reason::kInvalidDeclaration},
    {"bound_inf_in_lower_case", histogram("2\t1\tinf"), Reason::kInvalidDeclaration},
    {"bound_overflowing_to_inf", histogram("2\t1\t1e999"), Reason::kInvalidDeclaration},
};

INSTANTIATE_TEST_SUITE_P(Fields, FamilyLine, ::testing::ValuesIn(kFamilyFields),
                         [](const auto& info) { return std::string(info.param.what); });

class GaugeModes : public Parser, public ::testing::WithParamInterface<const char*> {};

TEST_P(GaugeModes, IsTaken) {
  declareLines(familyLine("gauge", "m", "", GetParam(), "0", "0") + "\n");
  EXPECT_EQ(families_.samples().size(), 1u);
  EXPECT_EQ(countedInAll(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, GaugeModes,
                         ::testing::Values("all", "liveall", "min", "livemin", "max", "livemax",
                                           "sum", "livesum", "mostrecent", "livemostrecent"));

// An escape stands for its byte and nothing else; what the fields hold is what is served.
TEST_F(Parser, EscapesAreUndoneInEveryField) {
  declareLines(
      "F\t1\tcounter\tm\ta\\tb\\\\c\\nd\t\t\t1\troute\t0\n"
      "S\t2\t1\tx\\ty\\\\z\\n\n");
  const DeclaredFamilySamples* family = served("m");
  ASSERT_NE(family, nullptr);
  EXPECT_EQ(family->family->documentation, "a\tb\\c\nd");
  ASSERT_EQ(family->series.size(), 1u);
  EXPECT_EQ((*family->series[0])[0].labels, (Labels{{"route", "x\ty\\z\n"}}));
}

// The same family declared twice by one process, or otherwise by two.
TEST_F(Parser, AFamilyIdOrNameDeclaredAgain) {
  declareLines(counter("0") + "\n" + familyLine("gauge", "g", "", "sum", "0", "0") + "\n");
  EXPECT_EQ(counted(Reason::kInvalidDeclaration), 1u);  // id 1 twice in one process
  declareLines(familyLine("counter", "m", "", "", "0", "0") + "\n", kOther);  // same: shared
  declareLines("F\t2\tcounter\tm\tOther help.\t\t\t0\t0\nS\t3\t2\n", kOther);
  EXPECT_EQ(names_.refusals, std::vector<Reason>{Reason::kDeclarationConflict});
  EXPECT_EQ(fold(Lane::kInteger, "c3", 1, kOther), Reason::kDeclarationConflict);
  EXPECT_EQ(families_.samples().size(), 1u);
}

// --- S lines -----------------------------------------------------------------------------------

struct SeriesCase {
  const char* what;
  std::string line;           // of family 1 (one label), 3 (none) or 5 (refused)
  Reason reason;              // of the record through series 9; kCount: it folds
  std::uint64_t invalid = 0;  // lines counted as invalid_declaration
};

class SeriesLine : public Parser, public ::testing::WithParamInterface<SeriesCase> {};

TEST_P(SeriesLine, TakesOrRefusesWithItsReason) {
  const SeriesCase& c = GetParam();
  names_.room = 2;
  declareLines(
      "F\t1\tcounter\tm\tH.\t\t\t1\troute\t0\n"
      "F\t3\tcounter\tn\tH.\t\t\t0\t0\n"
      "F\t5\tcounter\t1bad\tH.\t\t\t0\t0\n"
      "S\t7\t1\ttaken\n" +
      c.line + "\n");
  EXPECT_EQ(fold(Lane::kInteger, "c9"), c.reason);
  EXPECT_EQ(counted(Reason::kInvalidDeclaration), c.invalid);
}

const SeriesCase kSeriesFields[] = {
    {"labelled", "S\t9\t1\t/a", Reason::kCount},
    {"unlabelled", "S\t9\t3", Reason::kCount},
    {"label_value_empty", "S\t9\t1\t", Reason::kCount},
    {"label_value_escaped", "S\t9\t1\ta\\tb", Reason::kCount},
    {"label_value_not_utf8", "S\t9\t1\t\xff", Reason::kUndeclaredSeries, 1},
    {"label_value_truncated_utf8", "S\t9\t1\t\xe2\x82", Reason::kUndeclaredSeries, 1},
    {"too_few_values", "S\t9\t1", Reason::kInvalidDeclaration, 1},
    {"too_many_values", "S\t9\t1\ta\tb", Reason::kInvalidDeclaration, 1},
    {"family_missing", "S\t9", Reason::kUndeclaredSeries, 1},
    {"family_undeclared", "S\t9\t4", Reason::kInvalidDeclaration, 1},
    {"family_not_a_number", "S\t9\tx", Reason::kUndeclaredSeries, 1},
    {"family_refused", "S\t9\t5", Reason::kInvalidName},  // said once, for the family
    {"id_not_a_number", "S\t9a\t3", Reason::kUndeclaredSeries, 1},
    {"id_declared_before", "S\t7\t3\nS\t9\t1\t/a", Reason::kCount, 1},
    {"no_room", "S\t8\t1\t/b\nS\t9\t1\t/c", Reason::kTooManySeries},
    {"no_room_needed_for_a_known_one", "S\t8\t1\t/b\nS\t9\t1\ttaken", Reason::kCount},
};

INSTANTIATE_TEST_SUITE_P(Fields, SeriesLine, ::testing::ValuesIn(kSeriesFields),
                         [](const auto& info) { return std::string(info.param.what); });

// --- V lines -----------------------------------------------------------------------------------

struct InfoCase {
  const char* what;
  std::string line;  // value 9 of info series 2 (label "env") or counter series 4
  Reason reason;     // of a record setting value 9 on series 2; kCount: it folds
  Reason counted;    // where the line is counted, kCount: nowhere
};

class InfoLine : public Parser, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(InfoLine, TakesOrRefusesWithItsReason) {
  const InfoCase& c = GetParam();
  declareLines(
      "F\t1\tinfo\tbuild\tH.\t\t\t1\tenv\t0\nS\t2\t1\tprod\n"
      "F\t3\tcounter\tc\tH.\t\t\t0\t0\nS\t4\t3\n" +
      c.line + "\n");
  EXPECT_EQ(fold(Lane::kKeyed, "i2:1", 9), c.reason);
  EXPECT_EQ(countedInAll(), c.counted == Reason::kCount ? 0u : 1u);
  if (c.counted != Reason::kCount) {
    EXPECT_EQ(counted(c.counted), 1u);
  }
}

const InfoCase kInfoFields[] = {
    {"labels", "V\t9\t2\t2\tversion\t1.0\trev\tabc", Reason::kCount, Reason::kCount},
    {"no_labels", "V\t9\t2\t0", Reason::kCount, Reason::kCount},
    {"count_too_high", "V\t9\t2\t2\tversion\t1.0", Reason::kUndeclaredSeries,
     Reason::kInvalidDeclaration},
    {"a_name_without_value", "V\t9\t2\t1\tversion", Reason::kUndeclaredSeries,
     Reason::kInvalidDeclaration},
    {"count_not_a_number", "V\t9\t2\tone\tversion\t1.0", Reason::kUndeclaredSeries,
     Reason::kInvalidDeclaration},
    {"series_undeclared", "V\t9\t5\t0", Reason::kUndeclaredSeries, Reason::kInvalidDeclaration},
    {"series_not_an_info", "V\t9\t4\t0", Reason::kUndeclaredSeries, Reason::kInvalidDeclaration},
    {"id_declared_before", "V\t9\t2\t0\nV\t9\t2\t1\ta\tb", Reason::kCount,
     Reason::kInvalidDeclaration},
    {"label_of_the_family", "V\t9\t2\t1\tenv\tx", Reason::kUndeclaredSeries,
     Reason::kInvalidLabels},
    {"label_reserved", "V\t9\t2\t1\t__a\tx", Reason::kUndeclaredSeries, Reason::kInvalidLabels},
    {"label_invalid", "V\t9\t2\t1\ta-b\tx", Reason::kUndeclaredSeries, Reason::kInvalidLabels},
    {"label_twice", "V\t9\t2\t2\ta\tx\ta\ty", Reason::kUndeclaredSeries, Reason::kInvalidLabels},
};

INSTANTIATE_TEST_SUITE_P(Fields, InfoLine, ::testing::ValuesIn(kInfoFields),
                         [](const auto& info) { return std::string(info.param.what); });

// --- the file's lines: header, chunks, lengths ------------------------------------------------

// The file's lines as a process appends them, read in whatever pieces the file had grown by.
TEST_F(Parser, LinesSplitAcrossChunksReadAsWhole) {
  const std::string file =
      "zelnor-process 1\nF\t1\tcounter\tm\tH\\t.\t\t\t1\tr\t0\nS\t2\t1\t\xc3\xa9t\xc3\xa9\n";
  for (std::size_t cut = 1; cut < file.size(); ++cut) {
    Declarations parser;
    parser.declare(file.substr(0, cut));
    parser.declare(file.substr(cut));
    EXPECT_EQ(parser.fold(Lane::kInteger, "c2"), Reason::kCount) << "cut at " << cut;
    EXPECT_EQ(parser.countedInAll(), 0u) << "cut at " << cut;
    EXPECT_EQ(parser.families_.bytesRead(kProducer), file.size());
  }
}

TEST_F(Parser, TheHeaderComesFirstAndOnce) {
  declare("zelnor-process 2\nF\t1\tcounter\tm\tH.\t\t\t0\t0\n");
  EXPECT_EQ(counted(Reason::kInvalidDeclaration), 2u);  // neither line is read
  EXPECT_TRUE(families_.samples().empty());

  declare("zelnor-process 1\nzelnor-process 1\nF\t1\tcounter\tm\tH.\t\t\t0\t0\n", kOther);
  EXPECT_EQ(counted(Reason::kInvalidDeclaration), 3u);  // the second header is no declaration
  EXPECT_EQ(families_.samples().size(), 1u);
}

// A line longer than 64 KiB is refused once, however many pieces it comes in, and the lines
// after it are read.
TEST_F(Parser, ALineTooLongIsRefusedOnceAndTheNextRead) {
  declareLines("F\t1\tcounter\tm\t");
  const std::string piece(20 * 1024, 'h');
  for (int i = 0; i < 10; ++i) {
    declare(piece);
  }
  declare("\t\t\t0\t0\nF\t2\tcounter\tn\tH.\t\t\t0\t0\n");
  EXPECT_EQ(counted(Reason::kInvalidDeclaration), 1u);
  EXPECT_EQ(families_.samples().size(), 1u);
  EXPECT_NE(served("n"), nullptr);
}

// A line whose first byte is 0x01 is refused as any other that does not hold up, whether it came
// in one piece or two.
TEST_F(Parser, ALineOfAnyBytesIsCountedOnce) {
  declareLines("\x01\tF\n\x01\t");
  declare("F\n\x01\n");
  EXPECT_EQ(counted(Reason::kInvalidDeclaration), 3u);
}

// --- records -----------------------------------------------------------------------------------

struct RecordCase {
  const char* what;
  Lane lane;
  std::string name;  // after 0x01
  double value;
  Reason reason;  // kCount: it folds
};

class Record : public Parser, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(Record, FoldsOrIsRefusedWithItsReason) {
  const RecordCase& c = GetParam();
  declareLines(
      "F\t1\tcounter\tc\tH.\t\t\t0\t0\nS\t2\t1\n"
      "F\t3\thistogram\th\tH.\t\t\t0\t2\t1\t+Inf\nS\t4\t3\n"
      "F\t5\tgauge\tg\tH.\t\tsum\t0\t0\nS\t6\t5\n"
      "F\t7\tstateset\te\tH.\t\t\t0\t2\ton\toff\nS\t8\t7\n"
      "F\t9\tinfo\ti\tH.\t\t\t0\t0\nS\t10\t9\nV\t11\t10\t0\n"
      "F\t12\tsummary\ts\tH.\t\t\t0\t0\nS\t13\t12\nS\t14\t12\n"
      "F\t15\tinfo\tj\tH.\t\t\t0\t0\nS\t16\t15\nV\t17\t16\t1\ta\tb\n");
  const auto before = families_.samples();
  EXPECT_EQ(fold(c.lane, c.name, c.value), c.reason);
  if (c.reason != Reason::kCount) {  // a refused record changes nothing served
    const auto after = families_.samples();
    for (std::size_t f = 0; f < after.size(); ++f) {
      EXPECT_EQ(after[f].series, before[f].series) << after[f].family->name;
    }
  }
}

constexpr Lane kI = Lane::kInteger;
constexpr Lane kD = Lane::kDouble;
constexpr Lane kK = Lane::kKeyed;

const RecordCase kRecords[] = {
    // each operation in its lanes
    {"c_integer", kI, "c2", 1, Reason::kCount},
    {"c_double", kD, "c2", 0.5, Reason::kCount},
    {"c_keyed", kK, "c2", 1, Reason::kInvalidDeclaration},
    {"c_keyed_with_key", kK, "c2:1", 1, Reason::kInvalidName},  // a key where none goes
    {"o_double", kD, "o4", 0.5, Reason::kCount},
    {"o_summary", kD, "od", 0.5, Reason::kCount},
    {"o_integer", kI, "o4", 1, Reason::kInvalidDeclaration},
    {"g_keyed", kK, "g6:1", 3, Reason::kCount},
    {"g_integer", kI, "g6:1", 3, Reason::kInvalidDeclaration},
    {"g_double", kD, "g6:1", 3, Reason::kInvalidDeclaration},
    {"e_keyed", kK, "e8:1", 1, Reason::kCount},
    {"e_double", kD, "e8:1", 1, Reason::kInvalidDeclaration},
    {"i_keyed", kK, "ia:1", 11, Reason::kCount},
    {"i_integer", kI, "ia:1", 11, Reason::kInvalidDeclaration},
    {"r_keyed", kK, "r2:1", 0, Reason::kCount},
    {"r_integer", kI, "r2:1", 0, Reason::kInvalidDeclaration},
    {"n_keyed", kK, "nd:1", 0, Reason::kCount},
    {"n_double", kD, "nd:1", 0, Reason::kInvalidDeclaration},
    {"x_keyed", kK, "x1:1", 0, Reason::kCount},
    {"x_integer", kI, "x1:1", 0, Reason::kInvalidDeclaration},
    {"x_double", kD, "xc:1", 0, Reason::kInvalidDeclaration},
    // each operation on a series of another type
    {"c_of_a_gauge", kI, "c6", 1, Reason::kInvalidDeclaration},
    {"o_of_a_counter", kD, "o2", 1, Reason::kInvalidDeclaration},
    {"g_of_a_counter", kK, "g2:1", 1, Reason::kInvalidDeclaration},
    {"e_of_a_gauge", kK, "e6:1", 0, Reason::kInvalidDeclaration},
    {"i_of_a_counter", kK, "i2:1", 11, Reason::kInvalidDeclaration},
    // values
    {"c_negative", kI, "c2", -1, Reason::kNegativeCounterIncrement},
    {"e_past_the_states", kK, "e8:1", 2, Reason::kInvalidDeclaration},
    {"e_between_states", kK, "e8:1", 0.5, Reason::kInvalidDeclaration},
    {"e_negative", kK, "e8:1", -1, Reason::kInvalidDeclaration},
    {"i_undeclared_value", kK, "ia:1", 12, Reason::kUndeclaredSeries},
    {"i_value_of_another_series", kK, "ia:1", 17, Reason::kUndeclaredSeries},
    {"i_value_negative", kK, "ia:1", -11, Reason::kInvalidDeclaration},
    // ids, stamps, keys: in hex, where the declarations' are decimal
    {"id_missing", kI, "c", 1, Reason::kInvalidName},
    {"id_upper_case_hex", kI, "cA", 1, Reason::kInvalidName},
    {"id_not_hex", kI, "cz", 1, Reason::kInvalidName},
    {"id_of_16_digits", kI, "c0000000000000002", 1, Reason::kCount},
    {"id_of_17_digits", kI, "c00000000000000002", 1, Reason::kInvalidName},
    {"id_undeclared", kI, "c99", 1, Reason::kUndeclaredSeries},
    {"id_of_a_family", kI, "c1", 1, Reason::kUndeclaredSeries},
    {"x_of_a_series", kK, "x2:1", 0, Reason::kUndeclaredSeries},
    {"stamp_after_the_id", kI, "c2.3", 1, Reason::kCount},
    {"stamp_equal_to_the_id", kI, "c2.2", 1, Reason::kInvalidName},
    {"stamp_before_the_id", kI, "c2.1", 1, Reason::kInvalidName},
    {"stamp_empty", kI, "c2.", 1, Reason::kInvalidName},
    {"stamp_on_a_keyed_operation", kK, "g6.7:1", 1, Reason::kInvalidName},
    {"key_missing", kK, "g6", 1, Reason::kInvalidName},
    {"key_empty", kK, "g6:", 1, Reason::kInvalidName},
    {"key_not_hex", kK, "g6:x", 1, Reason::kInvalidName},
    {"key_of_17_digits", kK, "g6:10000000000000000", 1, Reason::kInvalidName},
    {"operation_unknown", kI, "q2", 1, Reason::kInvalidName},
    {"operation_unknown_keyed", kK, "q2:1", 1, Reason::kInvalidName},
};

INSTANTIATE_TEST_SUITE_P(Names, Record, ::testing::ValuesIn(kRecords),
                         [](const auto& info) { return std::string(info.param.what); });

// A record of a process whose declarations were never read names nothing yet.
TEST_F(Parser, ARecordOfAnUnknownProcess) {
  EXPECT_EQ(fold(Lane::kInteger, "c2", 1, 99), Reason::kUndeclaredSeries);
}

// --- the parser on its own ---------------------------------------------------------------------

auto parsedFamily(const std::string& line) {
  std::vector<std::string> fields;
  EXPECT_TRUE(splitFields(line, fields));
  return parseFamilyLine(fields);
}

// A line whose id or counts do not hold up declares nothing under its id; one whose family does
// not hold up declares that id refused, with the reason.
TEST(DeclarationParser, AFamilyLineIsMalformedOrSaysWhyItsFamilyIsRefused) {
  EXPECT_FALSE(parsedFamily("F\t1\tcounter\tm\tH.\t\t\t1\t0"));
  EXPECT_FALSE(parsedFamily("F\tx\tcounter\tm\tH.\t\t\t0\t0"));
  const auto untyped = parsedFamily("F\t1\tuntyped\tm\tH.\t\t\t0\t0");
  ASSERT_TRUE(untyped);
  EXPECT_EQ(untyped->id, 1u);
  EXPECT_EQ(untyped->refused, Reason::kInvalidDeclaration);
  const auto le = parsedFamily("F\t2\thistogram\th\tH.\t\t\t1\tle\t2\t1\t+Inf");
  ASSERT_TRUE(le);
  EXPECT_EQ(le->refused, Reason::kInvalidLabels);
  EXPECT_EQ(le->family.type, DeclaredType::kHistogram);  // what the refusal is told of
  EXPECT_EQ(le->family.name, "h");
  const auto gauge = parsedFamily("F\t3\tgauge\tg_s\tH.\ts\tlivemax\t1\ta\t0");
  ASSERT_TRUE(gauge);
  EXPECT_EQ(gauge->refused, Reason::kCount);
  EXPECT_EQ(gauge->family.mode, GaugeMode::kMax);
  EXPECT_TRUE(gauge->family.live);
  EXPECT_EQ(gauge->family.label_names, std::vector<std::string>{"a"});
  EXPECT_EQ(gauge->family.definition, "gauge\tg_s\tH.\ts\tlivemax\t1\ta\t0");
}

TEST(DeclarationParser, ARecordNameSaysItsOperationIdStampAndKey) {
  const auto parsed = [](const std::string& name) { return parseRecordName("\x01" + name); };
  const auto counter = parsed("c1f.20");
  ASSERT_TRUE(counter);
  EXPECT_EQ(counter->op, 'c');
  EXPECT_EQ(counter->id, 0x1fu);
  EXPECT_EQ(counter->stamp, 0x20u);
  EXPECT_EQ(counter->key, 0u);
  const auto gauge = parsed("g2:00000000000000ff");
  ASSERT_TRUE(gauge);
  EXPECT_EQ(gauge->stamp, 2u);
  EXPECT_EQ(gauge->key, 0xffu);
  EXPECT_FALSE(parseRecordName("c1f"));  // without its mark
  EXPECT_FALSE(parseRecordName(std::string("\x02") + "c1f"));
}

}  // namespace
}  // namespace zelnor::exporter
