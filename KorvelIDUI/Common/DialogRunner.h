#pragma once
// Runs modal dialogs. Every modal dialog of the program (password prompts, file choosers, warnings,
// the application chooser) is run through here so that tests can answer it without a person.
#include <functional>

class QDialog;

class DialogRunner {
public:
    // Given the dialog, fully set up and about to be shown; returns what exec() would have returned
    // (QDialog::Accepted/Rejected, or a QMessageBox::StandardButton). It may fill in the dialog's
    // fields (selectFile, setText) before returning.
    using Responder = std::function<int(QDialog&)>;

    DialogRunner() = delete;

    // Runs `dialog` modally, or hands it to the installed responder.
    static int exec(QDialog& dialog);

    // Tests: answer every following dialog with `responder`; an empty one restores the real loop.
    static void setResponder(Responder responder);
};
