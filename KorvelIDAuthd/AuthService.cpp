#include "AuthService.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "CallerPolicy.h"
#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"
#include "Platform/CameraDevices.h"
#include "Platform/VideoFileSource.h"
#include "Support/Logger.h"

using namespace AuthProtocol;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// The engine's own store only ever holds the one face being looked for; enrolments are written
// to the state folder by the service, so the engine's save goes nowhere.
class DiscardingWriter final : public FileWriter {
public:
    void writeAtomically(const fs::path&, std::span<const std::uint8_t>, mode_t) override {}
};

struct Account {
    uid_t uid = 0;
    std::string login;
    std::string displayName;  // the first field of GECOS, else the login
};

std::optional<Account> lookUp(std::string_view login) {
    if (login.empty() || login.size() > 256) return std::nullopt;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    const std::string name(login);
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    Account a{found->pw_uid, found->pw_name, found->pw_name};
    const std::string gecos = found->pw_gecos ? found->pw_gecos : "";
    const std::string full = gecos.substr(0, gecos.find(','));
    if (!full.empty()) a.displayName = full;
    return a;
}

// The caller's own account: what an empty user field asks about.
std::optional<Account> accountOf(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return lookUp(found->pw_name);
}

constexpr const char* pausedMessage = "Face authentication is paused after too many failed attempts; use your password.";

const char* outcomeName(Outcome o) {
    switch (o) {
    case Outcome::success: return "success";
    case Outcome::failed: return "failed";
    case Outcome::unavailable: return "unavailable";
    case Outcome::refused: return "refused";
    case Outcome::cancelled: return "cancelled";
    }
    return "unknown";
}

}  // namespace

struct AuthService::Job {
    enum class Kind { scan, enroll };
    Kind kind = Kind::scan;
    Account account;
    std::optional<FaceProfile> profile;  // scan: the face looked for
    double timeout = 5;
    std::stop_source stop;
    Clock::time_point queuedAt = Clock::now();
    // Guarded by the service's mutex.
    bool started = false;
    bool done = false;
    std::deque<Message> events;  // for the caller, in order
    Message result = AuthProtocol::result(Outcome::cancelled);
};

AuthService::AuthService(SystemConfig config, SystemEnrollments& enrollments, Options options)
    : config_(std::move(config)), enrollments_(enrollments), options_(std::move(options)) {
    worker_ = std::thread([this] { work(); });
}

AuthService::~AuthService() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        if (current_) current_->stop.request_stop();
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    // Handlers end once their job is marked done; they hold `this` until then, so they are waited
    // for however long their longest bounded call lasts (the password helper's 20 s answer).
    while (!slots_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::optional<std::string> AuthService::cameraMissing() const {
    std::error_code ec;
    if (config_.video) {
        if (!fs::exists(*config_.video, ec)) return "recording missing";
        // Root chose it; a recording its user could replace would let them in by video.
        if (const auto why = TrustedFiles::whyNotRootsAlone(*config_.video)) {
            Log::auth().error("Face service: the recording is not root's alone: " + *why);
            return "recording not root's alone";
        }
        return std::nullopt;
    }
    if (config_.camera) {
        return fs::exists("/dev/video" + std::to_string(*config_.camera), ec) ? std::nullopt
                                                                              : std::optional<std::string>("no camera");
    }
    for (const auto& e : fs::directory_iterator("/dev", ec))
        if (e.path().filename().string().rfind("video", 0) == 0) return std::nullopt;
    return "no camera";
}

bool AuthService::CallerSlots::take(uid_t uid) {
    std::lock_guard lock(mutex_);
    if (all_ >= total) return false;
    if (uid != 0 && (users_ >= total - keptForRoot || held_[uid] >= perUser)) return false;
    ++held_[uid];
    ++all_;
    if (uid != 0) ++users_;
    return true;
}

void AuthService::CallerSlots::release(uid_t uid) {
    std::lock_guard lock(mutex_);
    if (--held_[uid] == 0) held_.erase(uid);
    --all_;
    if (uid != 0) --users_;
}

bool AuthService::CallerSlots::empty() const {
    std::lock_guard lock(mutex_);
    return all_ == 0;
}

void AuthService::serve(int listenFd, int stopFd) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Log::auth().error(strprintf("Face service: poll failed: %s", std::strerror(errno)));
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        Caller caller{Connection(fd), 0, 0};
        ucred cred{};
        socklen_t size = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || !slots_.take(cred.uid)) continue;
        caller.pid = cred.pid;
        caller.uid = cred.uid;
        std::thread([this, c = std::move(caller)]() mutable {
            const uid_t uid = c.uid;
            handle(std::move(c));
            slots_.release(uid);
        }).detach();
    }
}

void AuthService::handle(Caller caller) {
    auto request = caller.connection.receive(Clock::now() + std::chrono::seconds(2));
    if (!request) return;
    const auto target = [&]() -> std::optional<Account> {
        const auto user = request->text(Field::user);
        auto account = user && !user->empty() ? lookUp(*user) : std::nullopt;
        if (!user || user->empty()) account = accountOf(caller.uid);
        // Root may ask about anyone; everybody else only about themselves.
        if (account && caller.uid != 0 && account->uid != caller.uid) return std::nullopt;
        return account;
    };
    switch (request->type) {
    case Type::authenticate: authenticate(caller, *request); break;
    case Type::enroll: enroll(caller, *request); break;
    case Type::passwordAccepted: {
        const auto account = target();
        // Only a caller that could have scanned stands for a password typed at the seat: a
        // service that lets people in by other means after a wrong password (sshd) does not.
        const std::string service(request->text(Field::service).value_or("?"));
        if (caller.uid != 0 || !account || CallerPolicy::whyNotLocal(caller.pid, service)) {
            caller.connection.send(result(Outcome::refused));
            break;
        }
        if (enrollments_.failures(account->uid) > 0) {
            enrollments_.setFailures(account->uid, 0);
            Log::auth().info(strprintf("Face authentication: uid %u, password accepted, failed attempts reset",
                                       static_cast<unsigned>(account->uid)));
        }
        caller.connection.send(result(Outcome::success));
        break;
    }
    case Type::status: {
        const auto account = target();
        if (!account) {
            caller.connection.send(result(Outcome::refused, "Not allowed."));
            break;
        }
        const auto profile = enrollments_.load(account->uid);
        Message reply = result(Outcome::success);
        reply.set(Field::enrolled, profile ? 1 : 0).set(Field::count, enrollments_.failures(account->uid));
        if (profile) reply.set(Field::name, profile->name).set(Field::createdAt, static_cast<long long>(profile->createdAt));
        caller.connection.send(reply);
        break;
    }
    case Type::remove: {
        // No password: forgetting a face only ever takes a way in away.
        const auto account = target();
        if (!account) {
            caller.connection.send(result(Outcome::refused, "Not allowed."));
            break;
        }
        // The failure count stays: only a password, root or a recognised face clears it.
        const bool removed = enrollments_.remove(account->uid);
        Log::auth().info(strprintf("System face enrolment of uid %u %s", static_cast<unsigned>(account->uid),
                                   removed ? "removed" : "was not there"));
        caller.connection.send(result(Outcome::success, removed ? "Face removed." : "No face was enrolled."));
        break;
    }
    default: break;
    }
    request->wipe();
}

void AuthService::authenticate(Caller& caller, const Message& request) {
    const std::string service(request.text(Field::service).value_or("?"));
    const auto started = Clock::now();
    const auto account = lookUp(request.text(Field::user).value_or(""));
    const auto log = [&](const std::string& outcome) {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        Log::auth().info(strprintf("Face authentication: uid %ld, service %s, caller pid %d uid %u, outcome %s, %.2f s",
                                   account ? static_cast<long>(account->uid) : -1L, service.c_str(), caller.pid,
                                   static_cast<unsigned>(caller.uid), outcome.c_str(), seconds));
    };
    const auto unavailable = [&](const std::string& why, std::string message = {}) {
        log(std::string("unavailable (") + why + ")");
        caller.connection.send(result(Outcome::unavailable, std::move(message)));
    };
    if (!account) return unavailable("unknown user");
    if (caller.uid != 0 && caller.uid != account->uid) return unavailable("caller may not ask for this user");
    if (!config_.enabled) return unavailable("disabled");
    if (const auto why = CallerPolicy::whyNotLocal(caller.pid, service)) return unavailable(*why);
    if (CallerPolicy::lidClosed()) return unavailable("lid closed");
    if (const auto why = cameraMissing()) return unavailable(*why);
    if (enrollments_.failures(account->uid) >= options_.maxFailures) return unavailable("too many failed attempts", pausedMessage);
    auto profile = enrollments_.load(account->uid);
    if (!profile) return unavailable("not enrolled");

    auto job = std::make_shared<Job>();
    job->account = *account;
    job->profile = std::move(profile);
    job->timeout = config_.timeout;
    // The scanning thread counts the attempt: requests queued side by side were all under the
    // limit when they came, and only the scans in turn can tell which of them still is.
    const Message reply = run(caller, job);
    log(outcomeName(reply.outcome().value_or(Outcome::failed)));
    caller.connection.send(reply);
}

void AuthService::enroll(Caller& caller, Message& request) {
    auto account = lookUp(request.text(Field::user).value_or(""));
    if (request.text(Field::user).value_or("").empty()) account = accountOf(caller.uid);
    const auto refuse = [&](Outcome o, const std::string& message) {
        request.wipe();
        Log::auth().info(strprintf("System face enrolment: caller uid %u, outcome %s (%s)", static_cast<unsigned>(caller.uid),
                                   outcomeName(o), message.c_str()));
        caller.connection.send(result(o, message));
    };
    if (!account || (caller.uid != 0 && caller.uid != account->uid)) return refuse(Outcome::refused, "Not allowed.");
    // Proof that the caller is the person: root, or the account's own login password.
    if (caller.uid != 0 && !checkPassword(account->login, request)) return refuse(Outcome::refused, AuthProtocol::incorrectPassword);
    request.wipe();
    if (!config_.enabled) return refuse(Outcome::unavailable, "Face authentication is turned off for this computer.");
    if (const auto why = cameraMissing()) return refuse(Outcome::unavailable, "No camera was found.");
    auto job = std::make_shared<Job>();
    job->kind = Job::Kind::enroll;
    job->account = *account;
    const Message reply = run(caller, job);
    Log::auth().info(strprintf("System face enrolment: uid %u, caller uid %u, outcome %s", static_cast<unsigned>(account->uid),
                               static_cast<unsigned>(caller.uid), outcomeName(reply.outcome().value_or(Outcome::failed))));
    caller.connection.send(reply);
}

bool AuthService::checkPassword(const std::string& user, Message& request) {
    const auto password = request.text(Field::password);
    if (!password || password->empty()) return false;
    auto helper = Connection::open(options_.verifySocket);
    if (!helper) {
        Log::auth().error(strprintf("Password helper not reachable at %s", options_.verifySocket.c_str()));
        return false;
    }
    Message ask = AuthProtocol::request(Type::verifyPassword, user);
    ask.set(Field::password, std::string(*password));
    const bool sent = helper->send(ask);
    ask.wipe();
    if (!sent) return false;
    const auto answer = helper->receive(Clock::now() + std::chrono::seconds(20));
    return answer && answer->outcome() == Outcome::success;
}

Message AuthService::run(Caller& caller, const std::shared_ptr<Job>& job) {
    std::unique_lock lock(mutex_);
    if (ending_) return result(Outcome::unavailable);
    // Told at once, so the caller knows its request is taken even while an earlier scan or the
    // first load of the models holds it up.
    Message started;
    started.type = Type::started;
    started.set(Field::name, job->account.displayName);
    job->events.push_back(std::move(started));
    queue_.push_back(job);
    changed_.notify_all();
    // Never shorter than one whole scan ahead: with a long configured time-out the second of two
    // callers would otherwise be turned away while the first is still being looked for.
    const std::chrono::duration<double> patience(std::max(options_.queueWait, config_.timeout + 2.0));
    for (;;) {
        while (!job->events.empty()) {
            Message event = std::move(job->events.front());
            job->events.pop_front();
            lock.unlock();
            caller.connection.send(event);
            lock.lock();
        }
        if (job->done) return job->result;
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        if (job->done) continue;
        const bool waitedTooLong = !job->started && Clock::now() - job->queuedAt > patience;
        lock.unlock();
        const bool gone = caller.connection.peerClosed();
        lock.lock();
        if (!gone && !waitedTooLong) continue;
        // Ctrl+C at sudo: the scan stops at its next frame and the camera goes off.
        job->stop.request_stop();
        if (!job->started) {
            std::erase(queue_, job);
            job->done = true;
            job->result = waitedTooLong ? result(Outcome::unavailable, "The camera is busy.") : result(Outcome::cancelled);
        }
    }
}

void AuthService::work() {
    // Loaded once, here, so callers are answered while the models load.
    static DiscardingWriter discard;
    store_ = std::make_unique<FaceStore>(enrollments_.dir() / ".engine.json", discard);
    FrameSourceFactory source;
    if (config_.video)
        source = VideoFileSource::factory(*config_.video, {.loop = true, .startOffset = config_.videoStart});
    else  // left to choose, never a node a program feeds: the user at the seat could play a recording into it
        source = V4L2FrameSource::factory("/dev", config_.camera, true);
    engine_ = std::make_unique<AuthEngine>(*store_, std::make_unique<FaceDetector>(), std::make_unique<DescriptorRecognizer>(),
                                           Settings{}, std::move(source));
    if (auto problem = engine_->detector().loadError()) Log::face().error("Face detector: " + *problem);
    if (auto problem = engine_->recognizer().loadError()) Log::face().error("Face recogniser: " + *problem);
    Log::auth().info("Face service ready");

    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || !queue_.empty(); });
        if (ending_) {
            for (auto& job : queue_) job->done = true;
            queue_.clear();
            changed_.notify_all();
            break;
        }
        auto job = queue_.front();
        queue_.pop_front();
        job->started = true;
        current_ = job;
        lock.unlock();
        if (job->kind == Job::Kind::scan) scan(*job);
        else capture(*job);
        store_->clear();
        lock.lock();
        current_.reset();
        job->done = true;
        changed_.notify_all();
    }
    lock.unlock();
    engine_.reset();
}

void AuthService::scan(Job& job) {
    const uid_t uid = job.account.uid;
    if (enrollments_.failures(uid) >= options_.maxFailures) {
        std::lock_guard lock(mutex_);
        job.result = result(Outcome::unavailable, pausedMessage);
        return;
    }
    Settings settings;
    settings.requireLiveness = true;  // always, for system use
    settings.scanTimeout = job.timeout;
    engine_->setSettings(settings);
    store_->clear();
    store_->add(*job.profile);
    // The engine's own run of failures is one count for everybody it scans; the service keeps the
    // count per account itself, so the engine's starts afresh with each scan.
    engine_->attempts().passwordAccepted();
    // When each step happened, on the system-wide monotonic clock, so a caller (the benchmark) can
    // line them up with its own: when the first and the blinking frame began to be examined.
    const auto began = Clock::now();
    std::optional<Clock::time_point> firstFrame, blinkFrame;
    engine_->setOnFrameTrace([&](const FrameTrace& t) {
        const double work = t.detectSeconds.value_or(0) + t.landmarkSeconds.value_or(0) + t.descriptorSeconds.value_or(0);
        const auto examined = Clock::now() - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(work));
        if (!firstFrame) firstFrame = examined;
        if (t.blinks > 0 && !blinkFrame) blinkFrame = examined;
    });
    const AuthResult r = engine_->authenticate({}, job.stop.get_token());
    const auto decided = Clock::now();
    engine_->setOnFrameTrace({});
    const auto ns = [](std::optional<Clock::time_point> t) {
        return t ? static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(t->time_since_epoch()).count()) : -1LL;
    };
    Log::face().debug(strprintf("Scan timing (monotonic ns): began %lld, first frame %lld, blink frame %lld, decided %lld",
                                ns(began), ns(firstFrame), ns(blinkFrame), ns(decided)));
    Message reply;
    switch (r.kind) {
    case AuthResult::Kind::matched: reply = result(Outcome::success, "Face recognized."); break;
    case AuthResult::Kind::cameraError: reply = result(Outcome::unavailable, "The camera could not be used."); break;
    case AuthResult::Kind::cancelled: reply = result(Outcome::cancelled); break;
    case AuthResult::Kind::lockedOut: reply = result(Outcome::unavailable); break;  // cleared above; never here
    case AuthResult::Kind::noMatch:
    case AuthResult::Kind::noFace: reply = result(Outcome::failed, "Face not recognized."); break;
    }
    if (r.kind == AuthResult::Kind::cameraError) Log::camera().error("Face service camera: " + r.description);
    if (r.kind == AuthResult::Kind::matched) {
        enrollments_.setFailures(uid, 0);
    } else if (reply.outcome() == Outcome::failed || reply.outcome() == Outcome::cancelled) {
        // A scan cut short counts too: breaking off each try would otherwise give endless ones.
        enrollments_.addFailure(uid);
    }
    std::lock_guard lock(mutex_);
    job.result = std::move(reply);
}

void AuthService::capture(Job& job) {
    engine_->setSettings(Settings{});
    store_->clear();
    std::optional<FaceProfile> profile;
    std::string failure = "Enrolment was cancelled.";
    engine_->enroll(job.account.login, [&](const EnrollmentEvent& e) {
        if (e.kind == EnrollmentEvent::Kind::progress) {
            Message progress;
            progress.type = Type::progress;
            progress.set(Field::count, e.captured).set(Field::total, e.total);
            std::lock_guard lock(mutex_);
            job.events.push_back(std::move(progress));
            changed_.notify_all();
        } else if (e.kind == EnrollmentEvent::Kind::finished) {
            profile = e.profile;
        } else if (e.kind == EnrollmentEvent::Kind::failed) {
            failure = e.message;
        }
    }, job.stop.get_token());
    Message reply = result(Outcome::failed, failure);
    if (profile) {
        try {
            enrollments_.save(job.account.uid, *profile);
            enrollments_.setFailures(job.account.uid, 0);
            reply = result(Outcome::success, "Face enrolled for system use.");
        } catch (const std::exception& e) {
            Log::store().error(strprintf("System enrolment not saved: %s", e.what()));
            reply = result(Outcome::failed, "The enrolment could not be saved.");
        }
    }
    std::lock_guard lock(mutex_);
    job.result = std::move(reply);
}
