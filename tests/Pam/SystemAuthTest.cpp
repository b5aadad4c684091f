// Face authentication for PAM, end to end: the real module in a private PAM folder, the real
// service on a private socket, recordings as camera, the real password helper behind pam_pwdfile.
#include <security/pam_appl.h>

#include <crypt.h>
#include <grp.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <thread>

#include "Settings/SystemFaceModel.h"
#include "System/AuthProtocol.h"
#include "TestSupport.h"
#include "../../tools/FaceData.h"

namespace fs = std::filesystem;
using namespace AuthProtocol;

namespace {

void write(const fs::path& file, const std::string& text, mode_t mode = 0644, uid_t owner = 0) {
    fs::remove(file);
    std::ofstream(file) << text;
    ::chmod(file.c_str(), mode);
    if (owner != 0 && ::chown(file.c_str(), owner, owner) != 0) ADD_FAILURE() << "cannot hand " << file << " over";
}

// A still photo of Franck held to the camera, or the same photo tilted in quick dips.
fs::path photoClip(const fs::path& data, const fs::path& dir, bool moved) {
    const fs::path clip = dir / (moved ? "tilted.avi" : "still.avi");
    if (fs::exists(clip)) return clip;
    cv::VideoCapture source((data / "blink" / "franck_talking_face_noblink_4s.mp4").string(), cv::CAP_FFMPEG);
    cv::Mat photo;
    source.read(photo);
    const auto frames = moved ? FaceData::attackClip(photo, FaceData::Motion::tilt, 2, 24) : std::vector<cv::Mat>(48, photo);
    cv::VideoWriter writer(clip.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 24, frames.front().size());
    for (const auto& f : frames) writer.write(f);
    return clip;
}

struct PamRun {
    int status = -1;
    std::vector<std::string> messages;
    bool said(const std::string& text) const { return std::find(messages.begin(), messages.end(), text) != messages.end(); }
};

int collect(int count, const pam_message** messages, pam_response** responses, void* data) {
    auto* run = static_cast<PamRun*>(data);
    for (int i = 0; i < count; ++i) run->messages.emplace_back(messages[i]->msg);
    *responses = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    return PAM_SUCCESS;
}

// The video file the service has open, if any: the camera is on exactly while it is.
bool holdsFile(pid_t pid, const fs::path& file) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (fs::read_symlink(fd.path(), ec) == file) return true;
    return false;
}

class SystemAuthTest : public ::testing::Test {
protected:
    static inline fs::path root, data;
    static inline pid_t service = 0, helper = 0;

    static fs::path socket() { return root / "run" / "authd.sock"; }
    static fs::path state() { return root / "state"; }
    // Copied beside the test's configuration: the service plays only a recording that root alone
    // could have changed, whoever owns the data folder.
    static fs::path blinking() { return root / "blinks.mp4"; }

    static void SetUpTestSuite() {
        const auto found = TestSupport::dataDir();
        if (!found || ::getuid() != 0) return;
        data = fs::canonical(*found);  // as the service's open files show it
        char name[] = "/tmp/korvel-pam-XXXXXX";
        root = ::mkdtemp(name);
        ::chmod(root.c_str(), 0755);  // the socket's folder: every user reaches the service
        fs::create_directories(root / "run");
        fs::create_directories(root / "pam");
        fs::create_directory(state());
        fs::copy_file(data / "blink" / "franck_talking_face_blinks_22s.mp4", blinking());
        ::setenv("KORVEL_AUTHD_SOCKET", socket().c_str(), 1);  // for the command line and the General page's model
        ::chmod(state().c_str(), 0700);
        const std::string module = KORVEL_PAM_MODULE, arg = " socket=" + socket().string() + "\n";
        // Named as login services: this test runs as root, and root's other services are refused.
        write(root / "pam" / "login", "auth required " + module + arg + "account optional " + module + arg);
        const std::string fallBack = "auth sufficient " + module + arg + "auth optional pam_echo.so password module asked\n"
                                     "auth required pam_permit.so\naccount optional " + module + arg;
        write(root / "pam" / "gdm-password", fallBack);
        write(root / "pam" / "sshd", fallBack);  // root's, and no login service
        // The helper's password stack: pam_pwdfile over a private file, as pam_unix over /etc/shadow.
        write(root / "pam" / "korvel-id", "auth required pam_pwdfile.so pwdfile=" + (root / "passwd").string() +
                                              "\naccount required pam_permit.so\n");
        write(root / "passwd", std::string("nobody:") + ::crypt("right horse", "$6$korvelidtestsalt$") + "\n", 0600);
        helper = spawn({KORVEL_VERIFY_HELPER, "--listen", (root / "run" / "verify.sock").string(), "--pam-confdir",
                        (root / "pam").string()});
        ASSERT_TRUE(TestSupport::waitUntil([] { return fs::exists(root / "run" / "verify.sock"); }));
        ASSERT_TRUE(start(owner()));
    }
    // The blinking recording, 8.5 s in: four blinks within 3 s, seven before it ends (slow builds).
    static std::string owner() { return R"({"video":")" + blinking().string() + R"(","videoStart":8.5,"timeout":15})"; }
    // Root enrols anyone, without a password.
    static void enrolRoot() { ASSERT_EQ(cli({"system", "enroll", "--user", "root"}), 0); }
    static void TearDownTestSuite() {
        stop();
        if (helper > 0) ::kill(helper, SIGTERM), ::waitpid(helper, nullptr, 0);
        if (!root.empty()) fs::remove_all(root);
    }
    void SetUp() override {
        if (::getuid() != 0) KORVEL_SKIP() << "needs root: the service trusts only a configuration owned by root";
        if (data.empty()) KORVEL_SKIP() << "face test data not found (set KORVEL_TEST_DATA)";
        if (service == 0) {
            ASSERT_TRUE(start(owner()));  // a test before this one ended with it stopped
        }
    }

    static pid_t spawn(std::vector<std::string> args, uid_t uid = 0, int input = -1) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (input >= 0) ::dup2(input, 0);
            if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }
    // korvel-id-cli as `uid`, with `input` on standard input; its exit status.
    static int cli(std::vector<std::string> args, uid_t uid = 0, const std::string& input = {}) {
        int pipe[2];
        if (::pipe(pipe) != 0) return -1;
        args.insert(args.begin(), KORVEL_CLI);
        const pid_t pid = spawn(args, uid, pipe[0]);
        ::close(pipe[0]);
        if (::write(pipe[1], input.data(), input.size()) < 0) ADD_FAILURE() << "cannot write the password";
        ::close(pipe[1]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Starts the service with `config`; false when it refused to start.
    static bool start(const std::string& config, mode_t mode = 0644, uid_t owner = 0) {
        stop();
        write(root / "system.json", config, mode, owner);
        service = spawn({KORVEL_AUTHD, "--socket", socket().string(), "--state", state().string(), "--config",
                         (root / "system.json").string(), "--verify-socket", (root / "run" / "verify.sock").string()});
        const bool up = TestSupport::waitUntil([] {
            int status = 0;
            if (::waitpid(service, &status, WNOHANG) == service) return service = 0, true;
            return Connection::open(socket().string()).has_value();
        });
        return up && service > 0;
    }
    static void stop() {
        if (service > 0) ::kill(service, SIGTERM), ::waitpid(service, nullptr, 0);
        service = 0;
        fs::remove(socket());
    }

    static PamRun authenticate(const char* stack, const char* user = "root", const char* rhost = nullptr,
                               bool account = false) {
        PamRun run;
        pam_conv conversation{collect, &run};
        pam_handle_t* handle = nullptr;
        if (pam_start_confdir(stack, user, &conversation, (root / "pam").c_str(), &handle) != PAM_SUCCESS) return run;
        if (rhost) pam_set_item(handle, PAM_RHOST, rhost);
        run.status = pam_authenticate(handle, 0);
        if (account && run.status == PAM_SUCCESS) pam_acct_mgmt(handle, 0);
        pam_end(handle, run.status);
        return run;
    }
};

TEST_F(SystemAuthTest, BlinkingOwnerIsLetInOneCallerAtATime) {
    enrolRoot();
    const PamRun run = authenticate("gdm-password");
    EXPECT_EQ(run.status, PAM_SUCCESS);
    EXPECT_TRUE(run.said("Looking for root \u2014 blink to confirm")) << ::testing::PrintToString(run.messages);
    EXPECT_TRUE(run.said("Face recognized."));
    EXPECT_FALSE(run.said("password module asked"));

    // Two callers at once: the second waits for the camera, then gets its own scan.
    PamRun second;
    std::thread other([&] { second = authenticate("login"); });
    EXPECT_EQ(authenticate("login").status, PAM_SUCCESS);
    other.join();
    EXPECT_EQ(second.status, PAM_SUCCESS);

    // A caller killed mid-scan (Ctrl+C at a console login) takes the camera with it.
    const pid_t caller = ::fork();
    if (caller == 0) {
        auto c = Connection::open(socket().string());
        Message ask = request(Type::authenticate, "root");
        if (c && c->send(ask.set(Field::service, "login")))
            while (c->receive(Connection::Clock::now() + std::chrono::seconds(30))) {
            }
        ::_exit(0);
    }
    ASSERT_TRUE(TestSupport::waitUntil([] { return holdsFile(service, blinking()); }));
    ::kill(caller, SIGKILL);
    ::waitpid(caller, nullptr, 0);
    // Within a second by design (the service looks for hang-ups every 0.1 s); generous for a busy machine.
    EXPECT_TRUE(TestSupport::waitUntil([] { return !holdsFile(service, blinking()); }, 3000));
}

TEST_F(SystemAuthTest, AUserOpeningConnectionsWithoutEndLeavesTheLoginScreenHeard) {
    enrolRoot();
    // Another user opens a connection every 5 ms and never asks anything (each waited for 2 s).
    const pid_t flood = ::fork();
    if (flood == 0) {
        if (::setuid(65534) != 0) ::_exit(2);
        std::deque<Connection> held;
        for (;;) {
            if (auto c = Connection::open(socket().string())) held.push_back(std::move(*c));
            if (held.size() > 64) held.pop_front();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const PamRun run = authenticate("login");
    ::kill(flood, SIGKILL);
    ::waitpid(flood, nullptr, 0);
    EXPECT_EQ(run.status, PAM_SUCCESS) << ::testing::PrintToString(run.messages);
}

TEST_F(SystemAuthTest, UnavailableWithoutTryingWhenFaceCannotApply) {
    enrolRoot();
    EXPECT_EQ(authenticate("login", "nobody").status, PAM_AUTHINFO_UNAVAIL);  // not enrolled
    // Over the network, or root's print server checking a password for whoever asked: no camera.
    fs::copy_file(root / "pam" / "login", root / "pam" / "cups", fs::copy_options::overwrite_existing);
    for (const PamRun& run : {authenticate("login", "root", "203.0.113.7"), authenticate("cups")})
        EXPECT_TRUE(run.status == PAM_AUTHINFO_UNAVAIL && run.messages.empty()) << ::testing::PrintToString(run.messages);

    // An enrolment anyone could have written is never read.
    ::chmod((state() / "0.json").c_str(), 0666);
    EXPECT_EQ(authenticate("login").status, PAM_AUTHINFO_UNAVAIL);
    ::chmod((state() / "0.json").c_str(), 0600);

    // Nor a configuration or state folder: the service refuses to start, and the module finds
    // nobody to ask.
    EXPECT_FALSE(start(owner(), 0666));
    EXPECT_EQ(authenticate("login").status, PAM_AUTHINFO_UNAVAIL);
    EXPECT_FALSE(start(owner(), 0644, 65534));
    ::chmod(state().c_str(), 0755);
    EXPECT_FALSE(start(owner()));
    ::chmod(state().c_str(), 0700);
    ASSERT_TRUE(start(R"({"video":"/nonexistent/camera.mp4"})"));  // no camera
    EXPECT_EQ(authenticate("login").status, PAM_AUTHINFO_UNAVAIL);
    // Nor a recording the user could replace: theirs, in a folder they may write, or reached by "..".
    fs::create_directory(root / "open");
    ::chmod((root / "open").c_str(), 0777);
    for (const fs::path& clip : {root / "open" / "blinks.mp4", root / "theirs.mp4", root / "open" / ".." / "blinks.mp4"}) {
        if (!fs::exists(clip)) fs::copy_file(blinking(), clip);
        ASSERT_EQ(::chown(clip.c_str(), clip.parent_path() == root ? 65534 : 0, 0), 0);
        ASSERT_TRUE(start(R"({"video":")" + clip.string() + R"(","videoStart":8.5})"));
        EXPECT_EQ(authenticate("login").status, PAM_AUTHINFO_UNAVAIL) << clip;
    }
    ASSERT_TRUE(start(owner()));
    EXPECT_EQ(authenticate("login").status, PAM_SUCCESS);
}

TEST_F(SystemAuthTest, PhotosFailAndFallThroughUntilFaceIsPausedThenAPasswordResumesIt) {
    enrolRoot();
    write(state() / "failures.json", R"({"0":2})", 0600);
    ASSERT_TRUE(start(R"({"video":")" + photoClip(data, root, false).string() + R"(","timeout":2})"));
    const PamRun still = authenticate("login");
    EXPECT_EQ(still.status, PAM_AUTH_ERR);
    EXPECT_TRUE(still.said("Face not recognized."));
    ASSERT_TRUE(start(R"({"video":")" + photoClip(data, root, true).string() + R"(","timeout":2})"));
    const PamRun moved = authenticate("gdm-password");
    EXPECT_EQ(moved.status, PAM_SUCCESS);  // by the module standing for the password
    EXPECT_TRUE(moved.said("Face not recognized.") && moved.said("password module asked"))
        << ::testing::PrintToString(moved.messages);
    // Two tries at once with one left: one is scanned, the other finds face paused.
    PamRun second;
    std::thread other([&] { second = authenticate("login"); });
    const PamRun first = authenticate("login");
    other.join();
    EXPECT_EQ(first.said("Face not recognized.") + second.said("Face not recognized."), 1);

    // Five failures: face is paused, whatever the camera sees, until a password lets the user in;
    // not when sshd lets them in (by a key after a wrong password).
    EXPECT_EQ(authenticate("sshd", "root", nullptr, true).status, PAM_SUCCESS);
    EXPECT_EQ(authenticate("login").status, PAM_AUTHINFO_UNAVAIL) << "still paused";
    const PamRun paused = authenticate("gdm-password", "root", nullptr, true);
    EXPECT_TRUE(paused.said("Face authentication is paused after too many failed attempts; use your password."));
    EXPECT_FALSE(paused.said("Looking for root \u2014 blink to confirm"));
    EXPECT_TRUE(paused.said("password module asked"));
    EXPECT_EQ(authenticate("login").status, PAM_AUTH_ERR);  // scanning again after the reset

    // Only root's processes may report a password: a user's claim is refused.
    const pid_t user = ::fork();
    if (user == 0) {
        if (::setuid(65534) != 0) ::_exit(2);
        auto c = Connection::open(socket().string());
        if (!c || !c->send(request(Type::passwordAccepted, "nobody"))) ::_exit(2);
        const auto reply = c->receive(Connection::Clock::now() + std::chrono::seconds(5));
        ::_exit(reply && reply->outcome() == Outcome::refused ? 0 : 1);
    }
    int status = -1;
    ::waitpid(user, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    stop();  // and with nobody to ask, the module steps aside at once
    EXPECT_EQ(authenticate("login").status, PAM_AUTHINFO_UNAVAIL);
    // libpam loads and unloads the module for every pam_start/pam_end (a screen locker's every
    // unlock): nothing of it stays behind in the host.
    const auto inUse = [] { return static_cast<long long>(::mallinfo2().uordblks); };
    const long long before = inUse();
    for (int i = 0; i < 20; ++i) authenticate("login");
    EXPECT_LT(inUse() - before, 64 * 1024);
}

TEST_F(SystemAuthTest, UsersEnrolWithTheirLoginPasswordOnly) {
    EXPECT_EQ(cli({"system", "enroll", "--password-stdin"}, 65534, "wrong horse\n"), 1);
    EXPECT_EQ(cli({"system", "status"}, 65534), 1);                    // nothing enrolled
    EXPECT_EQ(cli({"system", "remove", "--user", "root"}, 65534), 1);  // not theirs to remove
    EXPECT_EQ(cli({"system", "enroll", "--password-stdin"}, 65534, "right horse\n"), 0);
    EXPECT_EQ(cli({"system", "status"}, 65534), 0);
    EXPECT_EQ(cli({"system", "remove"}, 65534), 0);
    EXPECT_EQ(cli({"system", "status"}, 65534), 1);

    // The General page's section does the same through its model (as root: no password).
    using P = SystemFaceModel::Phase;
    SystemFaceModel model;
    const auto settle = [&model] { return TestSupport::waitUntil([&] { return model.phase() != P::working; }, 60000); };
    model.remove();
    ASSERT_TRUE(settle());
    EXPECT_EQ(model.phase(), P::notEnrolled);
    int progressShown = 0;
    QObject::connect(&model, &SystemFaceModel::changed, [&] { progressShown = std::max(progressShown, model.captured()); });
    model.enroll({});
    ASSERT_TRUE(settle());
    EXPECT_EQ(model.phase(), P::enrolled) << model.message().toStdString();
    EXPECT_GT(progressShown, 0);
    stop();
    model.refresh();
    ASSERT_TRUE(settle());
    EXPECT_EQ(model.phase(), P::unavailable);
}

}  // namespace
