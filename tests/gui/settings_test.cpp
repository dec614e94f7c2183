// cfg.ini, the remaining-time texts and the gauge's scale.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/remaining_time.h"
#include "build_info.h"
#include "app/settings.h"
#include "io/errors.h"
#include "support/test_support.h"

namespace kestrix::app {
namespace {

TEST(Settings, IniValuesAreReadAndWrittenInPlace) {
  test::TempDir dir;
  const std::string ini = dir.file("cfg.ini");
  EXPECT_FALSE(ReadIniValue(ini, "Settings", "Fix").has_value());  // no file

  WriteIniValue(ini, "Settings", "Fix", "");
  EXPECT_EQ(test::readText(ini), "[Settings]\nFix=\n");
  EXPECT_EQ(ReadIniValue(ini, "Settings", "Fix"), "");

  // A file as the earlier versions wrote it (CRLF) is read; other sections and keys stay;
  // values with blanks, '=' and ';' come back as they were.
  {
    std::ofstream out(ini, std::ios::binary);
    out << "[Other]\r\nFix=not this one\r\n[Settings]\r\nWidth=3\r\nFix=/opt/scanpst.exe\r\n";
  }
  EXPECT_EQ(ReadIniValue(ini, "Settings", "Fix"), "/opt/scanpst.exe");
  for (const std::string value : {"/opt/repair tool/bin=1", "a;b, c", "C:\\Program Files\\scanpst.exe", "修复.exe"}) {
    WriteIniValue(ini, "Settings", "Fix", value);
    EXPECT_EQ(ReadIniValue(ini, "Settings", "Fix"), value);
  }
  EXPECT_EQ(ReadIniValue(ini, "Other", "Fix"), "not this one");
  EXPECT_EQ(ReadIniValue(ini, "Settings", "Width"), "3");
  EXPECT_FALSE(ReadIniValue(ini, "Other", "Width").has_value());
}

TEST(Settings, UnwritableFileIsReportedWithItsPath) {
  test::TempDir dir;
  test::writeFile(dir.file("plain"), std::vector<std::byte>(3));
  const std::string ini = dir.file("plain") + "/cfg.ini";  // a file where the folder should be
  try {
    WriteIniValue(ini, "Settings", "Fix", "x");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.message().code, Message::Code::CannotWrite);
    EXPECT_EQ(std::string(e.what()).rfind("Cannot write file \"" + ini + "\". ", 0), 0u) << e.what();
  }
}

TEST(Settings, PathBesideTheProgramOrPerUser) {
  test::TempDir dir;
  EXPECT_EQ(SettingsPath(dir.path().string()), dir.file("cfg.ini"));
#ifdef _WIN32
  const char* const kUserFolder = "APPDATA";
  const std::string perUser = dir.file("config") + "\\Kestrix\\cfg.ini";
#else
  const char* const kUserFolder = "XDG_CONFIG_HOME";
  const std::string perUser = dir.file("config") + "/kestrix/cfg.ini";
#endif
  const QByteArray saved = qgetenv(kUserFolder);
  const bool had = qEnvironmentVariableIsSet(kUserFolder);
  qputenv(kUserFolder, QByteArray::fromStdString(dir.file("config")));
  EXPECT_EQ(SettingsPath(dir.file("no-such-folder")), perUser);
  // The per-user folder is made when the file is first written.
  WriteIniValue(SettingsPath(dir.file("no-such-folder")), "Settings", "Fix", "");
  EXPECT_EQ(ReadIniValue(perUser, "Settings", "Fix"), "");
#ifndef _WIN32
  // An installed program (PREFIX/bin beside PREFIX/share/kestrix) keeps to the per-user place
  // even where it may write beside itself, as root may in /usr/bin.
  std::filesystem::create_directories(std::filesystem::path(dir.file("usr/bin")) / kDataDirFromBin);
  EXPECT_EQ(SettingsPath(dir.file("usr/bin")), perUser);
#endif
  if (had) qputenv(kUserFolder, saved); else qunsetenv(kUserFolder);
}

TEST(RemainingTime, TextsAndEstimate) {
  EXPECT_EQ(SecondsToText(59), "0:59");
  EXPECT_EQ(SecondsToText(125), "2:05");
  EXPECT_EQ(SecondsToText(3599), "59:59");
  EXPECT_EQ(SecondsToText(3600), "1:00:00");
  EXPECT_EQ(SecondsToText(7325), "2:02:05");
  EXPECT_EQ(SecondsToText(-3), "0:00");
  EXPECT_EQ(RemainingSeconds(5000, 100000, 5), 95);
  EXPECT_EQ(RemainingSeconds(100000, 100000, 5), 0);
  EXPECT_FALSE(RemainingSeconds(3, 1000, 4).has_value());  // rate 0
  EXPECT_FALSE(RemainingSeconds(0, 0, 2).has_value());
}

TEST(RemainingTime, GaugeScaleKeepsLargeSourcesInRange) {
  const std::int64_t tenGiB = std::int64_t(10) << 30;
  EXPECT_EQ(GaugeShift(tenGiB), 0);
  EXPECT_EQ(GaugeUnits(tenGiB, 0), 10485760);
  EXPECT_EQ(GaugeUnits(0x40000, 0), 256);
  const std::int64_t twoTiB = std::int64_t(1) << 41;  // 2^31 KiB: one more than the gauge holds
  EXPECT_EQ(GaugeShift(twoTiB - 1024), 0);
  EXPECT_EQ(GaugeShift(twoTiB), 1);
  const std::int64_t huge = std::int64_t(1) << 62;
  const int shift = GaugeShift(huge);
  EXPECT_GT(GaugeUnits(huge, shift), 0);
  EXPECT_LE(GaugeUnits(huge, shift), INT32_MAX);
  // One scale for both values: half way stays half way.
  EXPECT_EQ(GaugeUnits(huge / 2, shift), GaugeUnits(huge, shift) / 2);
}

TEST(RemainingTime, StagedGaugeNeverRunsBack) {
  // 恢复文件 of 1000 bytes: written, checked (1000 bytes), repaired (a file of 1200 bytes).
  StageGauge gauge(1000);
  gauge.update(0, 400, 1000);
  EXPECT_EQ(gauge.done(), 400);
  EXPECT_EQ(gauge.total(), 2000);  // the check to come is counted from the start
  gauge.update(0, 1000, 1000);
  gauge.update(1, 0, 1000);        // the check starts where the writing ended
  EXPECT_EQ(gauge.done(), 1000);
  EXPECT_EQ(gauge.total(), 2000);
  gauge.update(1, 1000, 1000);
  gauge.update(2, 300, 1200);      // a repair: the total grows, the position stays ahead
  EXPECT_EQ(gauge.done(), 2300);
  EXPECT_EQ(gauge.total(), 3200);
  gauge.update(2, 1500, 1200);     // more than the stage's total counts as its end
  EXPECT_EQ(gauge.done(), gauge.total());
}

}  // namespace
}  // namespace kestrix::app
