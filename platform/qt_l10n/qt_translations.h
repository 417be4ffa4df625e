#pragma once

class QCoreApplication;

namespace qt_l10n {

// The programs speak Simplified Chinese; so do the dialogs, buttons and menus that Qt draws
// itself ("是"/"否", the file dialog's overwrite question, ...).
inline constexpr char kProgramLocale[] = "zh_CN";

// Loads Qt's own translations for the programs' language (Debian's qt6-translations-l10n, in
// Qt's translations folder) into app. The translators belong to app. False when they are not
// installed, in which case Qt's texts stay English.
bool InstallQtTranslations(QCoreApplication& app);

}  // namespace qt_l10n
