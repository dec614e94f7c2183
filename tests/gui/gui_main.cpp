// GoogleTest with a QApplication on the offscreen platform (no display needed). On Windows,
// whose build has only the Windows platform, on that: under Wine it needs a display, and a
// QT_QPA_PLATFORM the caller set for the Linux tests must not stop it.

#include <QApplication>

#include <gtest/gtest.h>

#include <vector>

int main(int argc, char** argv) {
#ifdef _WIN32
  static char platformOption[] = "-platform", platform[] = "windows";
  std::vector<char*> args(argv, argv + argc);
  args.insert(args.begin() + 1, {platformOption, platform});
  int count = int(args.size());
  args.push_back(nullptr);
  QApplication app(count, args.data());
  ::testing::InitGoogleTest(&count, args.data());
#else
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
#endif
  return RUN_ALL_TESTS();
}
