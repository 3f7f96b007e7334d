#include "metrics/entries.h"

#include <gtest/gtest.h>

#include <string>

namespace zelnor {
namespace {

std::string field(const char (&name)[kNameSize]) {
  return std::string(name, kNameSize);
}

TEST(NameField, KeepsUpTo63BytesAndZeroFillsTheRest) {
  CounterEntry entry{};
  fillName(entry.name, std::string(63, 'x'));
  EXPECT_EQ(readName(entry.name), std::string(63, 'x'));
  EXPECT_EQ(entry.name[63], '\0');

  std::memset(entry.name, 'Z', kNameSize);
  fillName(entry.name, std::string(200, 'y'));
  EXPECT_EQ(field(entry.name), std::string(63, 'y') + '\0');

  fillName(entry.name, "");
  EXPECT_EQ(field(entry.name), std::string(64, '\0'));
}

TEST(NameField, EndsAtTheFirstZeroByte) {
  HistogramEntry entry{};
  std::memset(entry.name, 'Z', kNameSize);
  fillName(entry.name, std::string("a\0b", 3));
  EXPECT_EQ(field(entry.name), "a" + std::string(63, '\0'));
}

TEST(NameField, CutsByBytesInsideAMultiByteCharacter) {
  GaugeEntry entry{};
  std::string name;
  for (int i = 0; i < 40; ++i) {
    name += "\xc3\xa9";  // U+00E9, two bytes in UTF-8
  }
  fillName(entry.name, name);
  EXPECT_EQ(readName(entry.name), name.substr(0, 63));
  EXPECT_EQ(readName(entry.name).back(), '\xc3');
}

TEST(NameField, ReaderStopsAtTheFieldEndWithoutAZeroByte) {
  CounterEntry entry{};
  std::memset(entry.name, 'q', kNameSize);
  entry.value = 7;
  EXPECT_EQ(readName(entry.name), std::string(64, 'q'));
}

TEST(Records, DefaultConstructedIsAllZeroBytes) {
  GaugeEntry entry{};
  const auto* bytes = reinterpret_cast<const unsigned char*>(&entry);
  for (std::size_t i = 0; i < sizeof entry; ++i) {
    ASSERT_EQ(bytes[i], 0u) << "byte " << i;
  }
}

}  // namespace
}  // namespace zelnor
