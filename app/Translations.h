#pragma once

class QCoreApplication;

// Loads Qt's own Czech translations (qtbase), so that the standard buttons of
// Qt's dialogs read "Ano", "Ne", "Zrušit" like the rest of the program. The
// program speaks Czech whatever the user's locale. False when the translations
// are not installed; the buttons then stay English.
bool InstallCzechTranslations(QCoreApplication& application);
