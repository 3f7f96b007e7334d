// Declared families as the exporter folds them: what their samples are after declarations,
// records and removals, and which samples a snapshot shares with the one before it.
#include <gtest/gtest.h>

#include <string>

#include "exporter/declared.h"

namespace zelnor::exporter {
namespace {

struct OpenNamespace : DeclaredFamilies::Namespace {
  Reason claim(const DeclaredFamily&) override { return Reason::kCount; }
  bool seriesRoom() override { return true; }
  void refused(const DeclaredFamily&, Reason) override {}
};

constexpr std::uint64_t kProducer = 7;

class DeclaredFamiliesTest : public ::testing::Test {
 protected:
  void declare(const std::string& lines) {
    families_.declare(kProducer, ProducerOrigin{1234, 0, 0}, "zelnor-process 1\n" + lines,
                      rejected_);
  }
  bool fold(Lane lane, const std::string& name, double value) {
    Reason reason = Reason::kCount;
    return families_.fold(lane, name, value, kProducer, reason);
  }

  OpenNamespace names_;
  DeclaredFamilies families_{names_};
  std::uint64_t rejected_[static_cast<int>(Reason::kCount)] = {};
};

TEST_F(DeclaredFamiliesTest, OnlySeriesThatChangedAreMadeAgain) {
  declare(
      "F\t1\tcounter\trequests\tRequests.\t\t\t1\troute\t0\n"
      "S\t2\t1\t/a\n"
      "S\t3\t1\t/b\n");
  ASSERT_TRUE(fold(Lane::kInteger,
                   "\x01"
                   "c2",
                   5));
  const auto first = families_.samples();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(first[0].series.size(), 2u);
  EXPECT_EQ((*first[0].series[0])[0].value, 5);
  EXPECT_EQ((*first[0].series[1])[0].value, 0);

  ASSERT_TRUE(fold(Lane::kInteger,
                   "\x01"
                   "c3",
                   2));
  const auto second = families_.samples();
  EXPECT_EQ(second[0].series[0], first[0].series[0]);  // shared, unchanged
  EXPECT_NE(second[0].series[1], first[0].series[1]);
  EXPECT_EQ((*second[0].series[1])[0].value, 2);
  EXPECT_EQ((*first[0].series[1])[0].value, 0);  // what was served before stays as it was

  // Removed, the series is not served; recorded again, it is, from 0.
  ASSERT_TRUE(fold(Lane::kKeyed,
                   "\x01"
                   "r2:1",
                   3));
  const auto removed = families_.samples();
  ASSERT_EQ(removed[0].series.size(), 1u);
  EXPECT_EQ(removed[0].series[0], second[0].series[1]);
  ASSERT_TRUE(fold(Lane::kInteger,
                   "\x01"
                   "c2",
                   1));
  const auto again = families_.samples();
  ASSERT_EQ(again[0].series.size(), 2u);
  EXPECT_EQ((*again[0].series[0])[0].value, 1);
}

TEST_F(DeclaredFamiliesTest, AnEndedProcessChangesOnlyTheGaugesItHeld) {
  declare(
      "F\t1\tgauge\tinprogress\tIn progress.\t\tlivesum\t0\t0\n"
      "S\t2\t1\n"
      "F\t3\tcounter\tdone\tDone.\t\t\t0\t0\n"
      "S\t4\t3\n");
  ASSERT_TRUE(fold(Lane::kKeyed,
                   "\x01"
                   "g2:5",
                   3));
  ASSERT_TRUE(fold(Lane::kInteger,
                   "\x01"
                   "c4",
                   1));
  const auto live = families_.samples();
  ASSERT_EQ(live[0].series.size(), 1u);
  EXPECT_EQ((*live[0].series[0])[0].value, 3);

  families_.producerEnded(kProducer);
  const auto ended = families_.samples();
  EXPECT_TRUE(ended[0].series.empty());  // a live mode's value leaves with its process
  EXPECT_EQ(ended[1].series[0], live[1].series[0]);
}

}  // namespace
}  // namespace zelnor::exporter
