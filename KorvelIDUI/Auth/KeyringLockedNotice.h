#pragma once
// Says that the keyring is locked where only the master password could allow what was asked
// (quitting, a change to who can unlock). A modal warning run through DialogRunner.
class QWidget;

namespace KeyringLockedNotice {
void show(QWidget* parent = nullptr);
}
