#pragma once
// The public switch of the blink requirement. Nothing is kept in memory: every read loads
// "settings.json", every write saves it and pushes the file's record into the running engine.
class KorvelIDSettings {
public:
    KorvelIDSettings() = delete;

    // True when the file is missing, does not decode or leaves the value out.
    static bool requireLiveness();
    // Keeps every other value of the file (the defaults when it does not decode). A failed save is
    // ignored; the engine then gets whatever the file holds.
    static void setRequireLiveness(bool required);
};
