#pragma once
// The window speaks one language at a time: Chinese, as it is laid out (the source texts), or
// English through the translation built into the program. Qt's own texts (the buttons of the
// message boxes, the file dialogs) follow the same choice.

#include <QString>

#include <optional>

class QLocale;

namespace kestrix::app {

enum class Language { Chinese, English };

// "en" or "zh" (any case, with or without a region: "en_US", "zh-CN"); nullopt for anything else.
std::optional<Language> parseLanguage(const QString& name);

// The language asked for (--lang, else $KESTRIX_LANG; "" for none), else the system's: English
// for an English system, Chinese for every other.
Language chooseLanguage(const QString& asked, const QLocale& system);

// Makes `language` the application's: removes the translators an earlier call installed and
// installs the ones of `language`. Returns false when a translation that should exist could not
// be loaded (the window then shows its Chinese source texts); Qt's own Chinese texts are
// optional (Debian package qt6-translations-l10n), their absence is no failure.
bool useLanguage(Language language);

// The language the last useLanguage() made the application's; Chinese before any call.
Language currentLanguage();

// The file name of the manual written in `language`: help.html (Chinese) or help-en.html.
const char* manualFile(Language language);

}  // namespace kestrix::app
