// The Ostrevel program on a private Xorg with the dummy driver: what it
// prints, and what the X server shows while it runs and after it ends.
#include <gtest/gtest.h>
// After gtest: Xlib's macros clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/process/ChildProcess.h"
#include "tests/support/TempDirectory.h"
#include "tools/xorg/PrivateXorg.h"

using namespace veltrane;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 20s;
const std::string kModePrefix = "Veltrane-";

// One Ostrevel child: standard input through a FIFO of the test's (so the
// child is the process we signal), standard output and error on pipes.
class Helper {
public:
    Helper(const veltrane::testing::TempDirectory& folder, const std::string& display, const std::string& args = "") {
        static int count = 0;
        const std::string fifo = (folder.path() / ("in" + std::to_string(++count))).string();
        if (::mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        // Read and write, so opening never waits; close-on-exec, so only we hold the writing end.
        input_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        const std::string environment = display.empty() ? "env -u DISPLAY" : "env DISPLAY=" + display;
        std::string error;
        child_ = process::ChildProcess::spawn(
            "/bin/sh", {"-c", "exec " + environment + " " VELTRANE_OSTREVEL " " + args + " <" + fifo}, error);
        if (!child_) throw std::runtime_error(error);
    }
    ~Helper() {
        closeInput();
        if (child_ && child_->isRunning()) {
            child_->sendSignal(SIGKILL);
            waitExit();
        }
    }

    pid_t pid() const { return child_->pid(); }
    void send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    // The next line of standard output; empty when none came in time.
    std::string line() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (out_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline &&
               child_->pipesOpen())
            pump();
        const auto newline = out_.find('\n');
        if (newline == std::string::npos) return {};
        std::string first = out_.substr(0, newline);
        out_.erase(0, newline + 1);
        return first;
    }
    // Standard error until it holds `count` lines (or the child is gone).
    std::string errorLines(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (static_cast<std::size_t>(std::count(err_.begin(), err_.end(), '\n')) < count &&
               std::chrono::steady_clock::now() < deadline && child_->pipesOpen())
            pump();
        return std::exchange(err_, {});
    }
    // The exit code, or the signal that ended it.
    int waitExit() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (child_->pipesOpen() && std::chrono::steady_clock::now() < deadline) pump();
        while (child_->isRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        return child_->terminationStatus().value_or(-1);
    }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    void signal(int number) { child_->sendSignal(number); }

private:
    void pump() {
        child_->pump(100ms, [&](process::ChildProcess::Stream s, const char* d, std::size_t n) {
            (s == process::ChildProcess::Stream::out ? out_ : err_).append(d, n);
        });
    }
    int input_ = -1;
    std::unique_ptr<process::ChildProcess> child_;
    std::string out_;
    std::string err_;
};

// What the X server shows, read the way xrandr reads it.
class ServerView {
public:
    explicit ServerView(const std::string& display) : d_(XOpenDisplay(display.c_str())) {}
    ~ServerView() {
        if (d_ != nullptr) XCloseDisplay(d_);
    }
    bool open() const { return d_ != nullptr; }

    // "WxH" of the output's current mode; "off" when it shows none.
    std::string mode(RROutput output) {
        std::string shown = "off";
        XRRScreenResources* r = XRRGetScreenResourcesCurrent(d_, DefaultRootWindow(d_));
        if (XRROutputInfo* info = XRRGetOutputInfo(d_, r, output)) {
            if (info->crtc != None) {
                XRRCrtcInfo* crtc = XRRGetCrtcInfo(d_, r, info->crtc);
                for (int i = 0; i < r->nmode; ++i)
                    if (r->modes[i].id == crtc->mode)
                        shown = std::to_string(r->modes[i].width) + "x" + std::to_string(r->modes[i].height);
                XRRFreeCrtcInfo(crtc);
            }
            XRRFreeOutputInfo(info);
        }
        XRRFreeScreenResources(r);
        return shown;
    }
    RROutput output(const std::string& name) {
        RROutput found = None;
        XRRScreenResources* r = XRRGetScreenResourcesCurrent(d_, DefaultRootWindow(d_));
        for (int i = 0; i < r->noutput && found == None; ++i) {
            XRROutputInfo* info = XRRGetOutputInfo(d_, r, r->outputs[i]);
            if (name == std::string(info->name, info->nameLen)) found = r->outputs[i];
            XRRFreeOutputInfo(info);
        }
        XRRFreeScreenResources(r);
        return found;
    }
    // Modes of ours on the server.
    int ourModes() {
        int count = 0;
        XRRScreenResources* r = XRRGetScreenResourcesCurrent(d_, DefaultRootWindow(d_));
        for (int i = 0; i < r->nmode; ++i)
            count += std::string(r->modes[i].name, r->modes[i].nameLength).rfind(kModePrefix, 0) == 0;
        XRRFreeScreenResources(r);
        return count;
    }
    bool hasProperty(RROutput output, const char* name) {
        int count = 0;
        Atom* atoms = XRRListOutputProperties(d_, output, &count);
        const Atom wanted = XInternAtom(d_, name, False);
        bool found = false;
        for (int i = 0; i < count; ++i) found = found || atoms[i] == wanted;
        XFree(atoms);
        return found;
    }
    void switchOff(RROutput output) {
        XRRScreenResources* r = XRRGetScreenResourcesCurrent(d_, DefaultRootWindow(d_));
        XRROutputInfo* info = XRRGetOutputInfo(d_, r, output);
        XRRSetCrtcConfig(d_, r, info->crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
        XRRFreeOutputInfo(info);
        XRRFreeScreenResources(r);
        XSync(d_, False);
    }

private:
    Display* d_;
};

class OstrevelProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xorg_.running()) GTEST_SKIP() << xorg_.failure();
        ASSERT_TRUE(view_.open());
        dummy0_ = view_.output("DUMMY0");
        mainMode_ = view_.mode(dummy0_);
    }
    // Starts a helper and reads its first two lines; the display ID.
    RROutput started(Helper& helper, const char* orientationLine = "landscape", const char* size = "2000 1200") {
        const std::string first = helper.line();
        const std::string ready = helper.line();
        EXPECT_EQ(ready.rfind("READY ", 0), 0u) << first << "\n" << helper.err();
        const std::string id = ready.substr(6);
        EXPECT_EQ(first, std::string("ORIENTATION ") + orientationLine + " " + id + " " + size + " " + size);
        return static_cast<RROutput>(std::stoul(id.empty() ? "0" : id));
    }

    veltrane::testing::TempDirectory folder_;
    veltrane::testing::PrivateXorg xorg_;
    ServerView view_{xorg_.display()};
    RROutput dummy0_ = None;
    std::string mainMode_;
};

}  // namespace

TEST(OstrevelCommandLine, RefusesBadArgumentsAndAMissingServer) {
    veltrane::testing::TempDirectory folder;
    for (const char* args : {"--bogus", "--landscape --portrait", "landscape"}) {
        SCOPED_TRACE(args);
        Helper helper(folder, ":0", args);
        EXPECT_EQ(helper.waitExit(), 2);
        EXPECT_EQ(helper.err(), "Usage: Ostrevel [--landscape|--portrait]\n");
        EXPECT_EQ(helper.out(), "");
    }
    Helper helper(folder, "");
    EXPECT_EQ(helper.waitExit(), 3);
    EXPECT_EQ(helper.err(), "Could not create the virtual display.\n");
    EXPECT_EQ(helper.out(), "");
}

TEST_F(OstrevelProgram, FollowsItsCommandsOnASpareOutput) {
    Helper helper(folder_, xorg_.display());
    const RROutput id = started(helper);
    ASSERT_NE(id, None);
    EXPECT_NE(id, dummy0_);
    EXPECT_EQ(view_.mode(id), "2000x1200");
    EXPECT_EQ(view_.mode(dummy0_), mainMode_);
    EXPECT_TRUE(view_.hasProperty(id, "EDID"));

    const std::string n = std::to_string(id);
    struct Step {
        const char* command;
        std::string line;
        const char* pixels;
    };
    const Step steps[] = {
        {"portrait", "ORIENTATION portrait " + n + " 1200 2000 1200 2000", "1200x2000"},
        {"mode 2560 1600 2", "ORIENTATION landscape " + n + " 1280 800 2560 1600", "2560x1600"},
        {"portrait", "ORIENTATION portrait " + n + " 800 1280 1600 2560", "1600x2560"},
        {"mode 640 640 1", "ORIENTATION landscape " + n + " 640 640 640 640", "640x640"},
        {"mode 3840 3840 1", "ORIENTATION landscape " + n + " 3840 3840 3840 3840", "3840x3840"},
        {"landscape please", "ORIENTATION landscape " + n + " 3840 3840 3840 3840", "3840x3840"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        helper.send(step.command);
        EXPECT_EQ(helper.line(), step.line);
        EXPECT_EQ(view_.mode(id), step.pixels);
        EXPECT_EQ(view_.mode(dummy0_), mainMode_);
    }

    for (const char* refused : {"mode 3841 1600 1", "mode 2560 639 1", "mode 2561 1600 2", "mode 2560 1600 3",
                                "mode 2560 1600"})
        helper.send(refused);
    helper.send("Mode 2560 1600 1");
    std::string expected;
    for (int i = 0; i < 5; ++i) expected += "Mode must contain dimensions from 640 to 3840 and scale 1 or 2.\n";
    expected += "Expected mode WIDTH HEIGHT SCALE, portrait, landscape, or quit.\n";
    EXPECT_EQ(helper.errorLines(6), expected);
    EXPECT_EQ(view_.mode(id), "3840x3840");

    helper.send("quitting");
    EXPECT_EQ(helper.waitExit(), 0);
    EXPECT_EQ(helper.out(), "") << "nothing more after the last change";
    EXPECT_EQ(view_.mode(id), "off");
    EXPECT_EQ(view_.ourModes(), 0);
}

TEST_F(OstrevelProgram, ThirtyChangesLeaveOnlyTheModeInUse) {
    Helper helper(folder_, xorg_.display());
    const RROutput id = started(helper);
    for (int i = 0; i < 30; ++i) {
        const std::string w = std::to_string(1000 + 8 * i);
        helper.send("mode " + w + " 700 1");
        ASSERT_EQ(helper.line(), "ORIENTATION landscape " + std::to_string(id) + " " + w + " 700 " + w + " 700");
    }
    EXPECT_EQ(view_.ourModes(), 1);
    EXPECT_EQ(view_.mode(id), "1232x700");
    helper.send("quit");
    EXPECT_EQ(helper.waitExit(), 0);
    EXPECT_EQ(helper.err(), "");
}

TEST_F(OstrevelProgram, EveryEndReleasesTheOutput) {
    struct Case {
        const char* name;
        void (*end)(Helper&);
        int status;
    };
    const Case cases[] = {
        {"quit", [](Helper& h) { h.send("quit"); }, 0},
        {"end of input after READY", [](Helper& h) { h.closeInput(); }, 0},
        {"SIGTERM", [](Helper& h) { h.signal(SIGTERM); }, SIGTERM},
        {"SIGINT", [](Helper& h) { h.signal(SIGINT); }, SIGINT},
        {"SIGHUP", [](Helper& h) { h.signal(SIGHUP); }, SIGHUP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Helper helper(folder_, xorg_.display(), "--portrait");
        const RROutput id = started(helper, "portrait", "1200 2000");
        EXPECT_EQ(view_.mode(id), "1200x2000");
        c.end(helper);
        EXPECT_EQ(helper.waitExit(), c.status);
        EXPECT_EQ(helper.err(), "");
        EXPECT_EQ(view_.mode(id), "off");
        EXPECT_EQ(view_.ourModes(), 0);
        EXPECT_FALSE(view_.hasProperty(id, "VELTRANE_OWNER_PID"));
        EXPECT_FALSE(view_.hasProperty(id, "EDID"));
        EXPECT_EQ(view_.mode(dummy0_), mainMode_);
    }
}

TEST_F(OstrevelProgram, TwoHelpersTakeTwoOutputsAndTheNextReleasesAKilledOne) {
    Helper first(folder_, xorg_.display());
    const RROutput firstID = started(first);
    Helper second(folder_, xorg_.display());
    const RROutput secondID = started(second);
    EXPECT_NE(firstID, secondID);
    EXPECT_EQ(view_.mode(secondID), "2000x1200");

    first.signal(SIGKILL);
    EXPECT_EQ(first.waitExit(), SIGKILL);
    EXPECT_EQ(view_.mode(firstID), "2000x1200") << "nothing on X removes it by itself";
    EXPECT_EQ(view_.ourModes(), 2);

    // The next start releases the stale output before it chooses one.
    Helper third(folder_, xorg_.display());
    const RROutput thirdID = started(third);
    EXPECT_EQ(view_.ourModes(), 2) << "the killed helper's mode is gone";
    EXPECT_NE(thirdID, secondID);
    if (thirdID != firstID) {
        EXPECT_EQ(view_.mode(firstID), "off");
    }
    EXPECT_EQ(view_.mode(secondID), "2000x1200");

    for (Helper* h : {&second, &third}) {
        h->send("quit");
        EXPECT_EQ(h->waitExit(), 0);
    }
    EXPECT_EQ(view_.ourModes(), 0);
}

TEST_F(OstrevelProgram, ReportsAnOutputSwitchedOffByAnotherClientAndGoesOn) {
    Helper helper(folder_, xorg_.display());
    const RROutput id = started(helper);
    view_.switchOff(id);
    EXPECT_EQ(helper.errorLines(1), "Virtual display " + std::to_string(id) + " terminated.\n");
    helper.send("portrait");
    EXPECT_EQ(helper.line(), "ORIENTATION portrait " + std::to_string(id) + " 1200 2000 1200 2000");
    EXPECT_EQ(view_.mode(id), "1200x2000");
    helper.send("quit");
    EXPECT_EQ(helper.waitExit(), 0);
    EXPECT_EQ(view_.ourModes(), 0);
}
