#pragma once
// Failed face scans in a row, and the lockout they lead to. After `maxFailures` scans in a row
// that compared a face and did not approve, face unlock refuses to scan until the master password
// is accepted (MasterPassword clears the count whenever it accepts one). The count lives in
// "face-attempts.json" in the data folder, beside "enrollment.json", so that quitting the program
// (or using the command line instead) does not give a new round of attempts.
//
// A file rather than the keyring: every scan writes it, also where no keyring answers (the command
// line over SSH), and a file that cannot be written must not turn into unlimited attempts silently.
// The user could edit the file, but that user can also read the password store; what matters is
// that nobody at the keyboard can reset it through our screens without the password. Anything but a
// well-formed record (damaged, a link, a pipe, too big) counts as locked out until the password is
// accepted, which writes a fresh record.
//
// Thread-safe within the process; the data folder's lock keeps other processes out.
#include <filesystem>

#include "Support/FileIO.h"

class FaceAttemptLimit {
public:
    static constexpr const char* fileName = "face-attempts.json";
    static constexpr int maxFailures = 5;

    // `folder`: the data folder (the one holding "enrollment.json").
    explicit FaceAttemptLimit(std::filesystem::path folder, FileWriter& writer = FileWriter::system());

    // Failed scans in a row as recorded; maxFailures for a record that cannot be read.
    int failures() const;
    bool lockedOut() const { return failures() >= maxFailures; }
    // A scan compared a face and did not approve.
    void recordFailure();
    // A scan approved: the run of failures is broken.
    void recordSuccess();
    // The master password was accepted: face unlock may be tried again.
    void passwordAccepted();

    // Where MasterPassword clears the count: the process's data folder unless set otherwise (the
    // identity controller sets its own data folder, which tests point elsewhere).
    static void setDataFolder(std::filesystem::path folder);
    static std::filesystem::path dataFolder();

    const std::filesystem::path& file() const { return file_; }

private:
    int read() const;  // with the record lock held
    void write(int failures) const;

    std::filesystem::path file_;
    FileWriter& writer_;
};
