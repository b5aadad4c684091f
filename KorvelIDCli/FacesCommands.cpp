// faces list | enroll | remove --all | test: the enrolled profiles and the face engine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "FaceEngine.h"
#include "Session.h"
#include "Support/Bytes.h"

namespace Cli {
namespace {

int list(const Arguments&) {
    FaceStore store(dataFolder() / FaceStore::fileName);
    if (store.damaged())
        throw Failure("The file of enrolled faces (" + store.fileURL().string() +
                      ") is damaged; no face can be read from it. Restore it, or remove every face to start again.");
    if (store.profiles.empty()) {
        std::cout << "No face is enrolled.\n";
        return Exit::ok;
    }
    for (const auto& p : store.profiles)
        std::cout << printable(p.name) << "\t" << p.embeddings.size() << " samples\t" << isoDate(p.createdAt) << "\n";
    return Exit::ok;
}

int removeAll(const Arguments& a) {
    if (!a.has("--all")) throw UsageError("say --all to remove every enrolled face");
    const auto lock = lockDataFolder();
    confirmChange(a, CredentialGate::Change::removeFaces);
    FaceStore store(dataFolder() / FaceStore::fileName);
    store.profiles.clear();
    if (!store.save() || !FaceStore(store.fileURL()).profiles.empty()) throw Failure("Could not remove the enrolled faces.");
    std::cout << "Removed every enrolled face.\n";
    return Exit::ok;
}

int enroll(const Arguments& a) {
    const std::string name = a.value("--name").value_or("");
    if (name.find_first_not_of(" \t") == std::string::npos) throw UsageError("--name needs a name");
    const auto lock = lockDataFolder();
    confirmChange(a, CredentialGate::Change::addFace);
    // As in the application, the password comes first: without one, nothing would guard the face's
    // removal, the blink or the protected apps.
    if (!masterPasswordIsSet()) throw Failure("Set a master password first: \"korvel-id-cli password set\".");
    auto face = makeFaceEngine(a, Settings::load());
    std::optional<ProgressBar> bar;
    std::string failure;
    bool finished = false;
    face.engine->enroll(name, [&](const EnrollmentEvent& e) {
        switch (e.kind) {
        case EnrollmentEvent::Kind::progress:
            if (!stdoutIsTerminal()) std::cout << "Captured " << e.captured << " of " << e.total << "\n" << std::flush;
            if (!bar) bar.emplace("Enrolling", e.total);
            bar->update(e.captured);
            break;
        case EnrollmentEvent::Kind::finished: finished = true; break;
        case EnrollmentEvent::Kind::failed: failure = e.message; break;
        case EnrollmentEvent::Kind::needBetterFace: break;
        }
    }, interruptToken());
    bar.reset();
    if (finished) {
        std::cout << "Enrolled " << name << ".\n";
        return Exit::ok;
    }
    throw Failure(failure.empty() ? "Cancelled." : failure);
}

}  // namespace

int facesTest(const Arguments& a);  // FaceTestCommand.cpp

std::vector<Command> facesCommands() {
    const char* sourceHelp =
        "  --camera N     use /dev/videoN instead of the first camera\n"
        "  --video FILE   play a recorded video in real time instead of a camera";
    return {
        {{"faces", "list"}, "", "List the enrolled faces with their sample counts.", "", {}, {}, 0, 0, list},
        {{"faces", "enroll"}, "--name NAME [--camera N | --video FILE] [--password-stdin]",
         "Enrol a face (a master password must be set): look at the camera until every sample is taken.",
         std::string(sourceHelp) + "\n" + passwordHelp, {"--password-stdin"}, {"--name", "--camera", "--video"}, 0, 0, enroll},
        {{"faces", "remove"}, "--all [--password-stdin]", "Remove every enrolled face.", passwordHelp,
         {"--all", "--password-stdin"}, {}, 0, 0, removeAll},
        {{"faces", "test"}, "[--camera N | --video FILE] [--no-liveness]",
         "Run one real scan and show, frame by frame, what the face engine sees.",
         std::string(sourceHelp) +
             "\n  --no-liveness  do not demand a blink for this scan\n"
             "Exit status: 0 matched, 1 not matched, 3 camera error.",
         {"--no-liveness"}, {"--camera", "--video"}, 0, 0, facesTest},
    };
}

}  // namespace Cli
