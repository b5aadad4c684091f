#pragma once
// The public switch of the blink requirement. Nothing is kept in memory: every read loads
// "settings.json", every write saves it and pushes the file's record into the running engine.
class KorvelIDSettings {
public:
    KorvelIDSettings() = delete;

    // True when the file is missing, does not decode or leaves the value out.
    static bool requireLiveness();
    // Keeps every other value of the file. Never writes over a file that does not decode (its values
    // would be lost); false when nothing was saved, and the engine keeps what the file holds.
    static bool setRequireLiveness(bool required);
};
