#include "app/language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <memory>
#include <vector>

namespace kestrix::app {

namespace {

// The translators installed by the last useLanguage(), owned here for as long as they are in use.
std::vector<std::unique_ptr<QTranslator>>& installed() {
  static std::vector<std::unique_ptr<QTranslator>> translators;
  return translators;
}

Language& current() {
  static Language language = Language::Chinese;
  return language;
}

bool install(const QString& file, const QString& dir) {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(file, dir)) return false;
  QCoreApplication::installTranslator(translator.get());
  installed().push_back(std::move(translator));
  return true;
}

}  // namespace

std::optional<Language> parseLanguage(const QString& name) {
  const QString code = name.trimmed().left(2).toLower();
  if (name.trimmed().size() > 2 && name.trimmed()[2] != '_' && name.trimmed()[2] != '-') return std::nullopt;
  if (code == "en") return Language::English;
  if (code == "zh") return Language::Chinese;
  return std::nullopt;
}

Language chooseLanguage(const QString& asked, const QLocale& system) {
  if (const auto language = parseLanguage(asked)) return *language;
  return system.language() == QLocale::English ? Language::English : Language::Chinese;
}

bool useLanguage(Language language) {
  for (const auto& translator : installed()) QCoreApplication::removeTranslator(translator.get());
  installed().clear();
  current() = language;
  const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (language == Language::Chinese) {
    // The dialogs' buttons; English where Qt's translations are missing. The Windows build
    // carries them in the program.
    if (!install("qtbase_zh_CN", qtDir)) install("qtbase_zh_CN", ":/i18n");
    return true;
  }
  // The window's English texts are built into the program (see translations/).
  return install("kestrix_en", ":/i18n");
}

Language currentLanguage() { return current(); }

const char* manualFile(Language language) { return language == Language::English ? "help-en.html" : "help.html"; }

}  // namespace kestrix::app
