#pragma once
// Qt's own texts (file dialogs, message-box buttons, context menus) in the language chosen for
// ours, from the translations Debian ships (qt6-translations-l10n); English when they are missing.

// Loads them for the current language and follows every later change. Idempotent.
void followLanguageInQtTexts();
