#include <gtest/gtest.h>

#include "io/size_text.h"

using kestrix::sources::SizeToText;

TEST(SizeToText, UnitsAndHundredths) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 B"},           {1023, "1023 B"},          {1024, "1 KB"},
      {1034, "1 KB"},       {1035, "1.01 KB"},         {1536, "1.50 KB"},
      {1048575, "1023.99 KB"}, {1048576, "1 MB"},      {123456789, "117.73 MB"},
      {500105249280, "465.75 GB"}, {13984768, "13.33 MB"}, {1ull << 40, "1 TB"},
      {1ull << 50, "1024 TB"}, {(1ull << 56) - 1, "65535.99 TB"}, {1ull << 56, "0 TB"},
      {std::uint64_t(-1), "65535.99 TB"}, {1034 * 1024, "1 MB"}, {1035 * 1024, "1.01 MB"}};
  for (auto [count, text] : cases) EXPECT_EQ(SizeToText(count), text) << count;
}

TEST(SizeToText, PathConstants) {
  using namespace kestrix::sources;
  EXPECT_EQ(std::string(DevicePrefix) + PhysicalDriveName + "0", "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(std::string(DevicePrefix) + "C" + DriveSuffix, "\\\\.\\C:");
  EXPECT_EQ(std::string("C") + RootSuffix, "C:\\");
}
