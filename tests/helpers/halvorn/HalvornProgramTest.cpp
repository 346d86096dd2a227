// The built Halvorn against a private Xorg: a dummy output switched on with
// RandR, pictures put on it, the stream checked with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "platform/process/ChildProcess.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/ScopedEnvironment.h"
#include "tools/xorg/PrivateXorg.h"

using namespace veltrane;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A child that is ended (SIGKILL) and reaped however the test leaves.
class Child {
public:
    explicit Child(const std::vector<std::string>& command) {
        std::string error;
        process_ = process::ChildProcess::spawn(command.front(), {command.begin() + 1, command.end()}, error);
        if (!process_) ADD_FAILURE() << command.front() << ": " << error;
    }
    ~Child() {
        if (!process_) return;
        process_->sendSignal(SIGKILL);
        while (process_->isRunning()) std::this_thread::sleep_for(10ms);
    }
    explicit operator bool() const { return process_ != nullptr; }
    process::ChildProcess& operator*() { return *process_; }
    process::ChildProcess* operator->() { return process_.get(); }

    // Reads until `done` says so or `timeout` passes.
    template <class Done>
    void pumpUntil(std::chrono::milliseconds timeout, Done&& done) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done() && std::chrono::steady_clock::now() < deadline && process_->pipesOpen())
            process_->pump(50ms, [&](process::ChildProcess::Stream s, const char* d, std::size_t n) {
                (s == process::ChildProcess::Stream::out ? out : err).append(d, n);
            });
    }
    // Reads to the end and waits for the status.
    std::optional<int> finish(std::chrono::milliseconds timeout) {
        pumpUntil(timeout, [] { return false; });
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (process_->isRunning() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        return process_->terminationStatus();
    }

    std::string out, err;

private:
    std::unique_ptr<process::ChildProcess> process_;
};

std::string run(const std::vector<std::string>& command, std::optional<int>* status = nullptr) {
    Child child(command);
    if (!child) return "";
    auto result = child.finish(30s);
    if (status) *status = result;
    return child.out;
}

// Whether the root window shows something other than black at (x, y).
bool shown(int x, int y) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    bool lit = false;
    if (XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap)) {
        lit = (XGetPixel(image, 0, 0) & 0xFFFFFF) != 0;
        XDestroyImage(image);
    }
    XCloseDisplay(display);
    return lit;
}

std::uint32_t outputID(const std::string& name) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 0;
    std::uint32_t id = 0;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    for (int i = 0; resources && i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (info && name == info->name) id = static_cast<std::uint32_t>(resources->outputs[i]);
        if (info) XRRFreeOutputInfo(info);
    }
    if (resources) XRRFreeScreenResources(resources);
    XCloseDisplay(display);
    return id;
}

// The Access units of a plain stream: split at each start code followed by a
// delimiter. NAL types per unit.
struct Unit {
    std::size_t offset;
    std::vector<int> types;
};

std::vector<Unit> units(const std::string& stream) {
    std::vector<Unit> result;
    std::size_t at = 0;
    while ((at = stream.find(std::string("\0\0\0\1", 4), at)) != std::string::npos) {
        if (at + 4 >= stream.size()) break;
        int type = stream[at + 4] & 0x1F;
        if (type == 9) result.push_back({at, {}});
        if (!result.empty()) result.back().types.push_back(type);
        at += 4;
    }
    return result;
}

std::map<std::string, std::string> probe(const std::string& file) {
    std::string text = run({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries",
                            "stream=codec_name,profile,width,height,r_frame_rate,color_range,color_space,"
                            "color_primaries,nb_read_frames",
                            "-of", "default=nw=1", file});
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (auto eq = line.find('='); eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    return fields;
}

void expectFields(const std::map<std::string, std::string>& fields,
                  const std::map<std::string, std::string>& expected) {
    for (const auto& [key, value] : expected) {
        auto found = fields.find(key);
        EXPECT_EQ(found == fields.end() ? "(none)" : found->second, value) << key;
    }
}

// What ffprobe reads of a 1280 x 720 stream at 30 fps, full range BT.709,
// with `frames` pictures.
std::map<std::string, std::string> stream720(const std::string& codec, const std::string& profile, std::size_t frames) {
    return {{"codec_name", codec},    {"profile", profile},         {"width", "1280"},
            {"height", "720"},        {"r_frame_rate", "30/1"},     {"color_range", "pc"},
            {"color_space", "bt709"}, {"color_primaries", "bt709"}, {"nb_read_frames", std::to_string(frames)}};
}

// The luma plane of picture `index` of a stream, at its coded size.
Bytes lumaOf(const std::string& file, int index, int width, int height) {
    std::string raw = run({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-vf",
                           "select=eq(n\\," + std::to_string(index) + ")", "-frames:v", "1", "-f", "rawvideo", "-"});
    std::size_t size = static_cast<std::size_t>(width) * height;
    if (raw.size() < size) return {};
    return Bytes(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(size));
}

const std::string kStartLine = "ScreenCaptureKit active at 1280x720@30; encoding 1280x720\n";

// Standard error without the statistics lines, which come on their own clock: a slow run may print one
// before the line a test waits for.
std::string withoutStatistics(const std::string& text) {
    const std::regex statistics(R"(Encoder \d+\.\d fps; capture-to-encode \d+\.\d ms mean, \d+\.\d ms p95)");
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (!std::regex_match(line, statistics)) kept += line + "\n";
    return kept;
}

// A --length-prefix stream cut at its prefixes; nothing when a count does not
// end exactly on the next prefix or the end.
std::optional<std::vector<std::string>> prefixedUnits(const std::string& stream) {
    std::vector<std::string> result;
    std::size_t at = 0;
    auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(stream[i])); };
    while (at + 4 <= stream.size()) {
        std::size_t length = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        if (at + 4 + length > stream.size()) return std::nullopt;
        result.push_back(stream.substr(at + 4, length));
        at += 4 + length;
    }
    if (at != stream.size()) return std::nullopt;
    return result;
}

// The HEVC NAL types of one unit, in order, and whether it starts with a
// start code.
std::vector<int> hevcTypes(const std::string& unit) {
    std::vector<int> types;
    const std::string startCode("\0\0\0\1", 4);
    for (std::size_t at = unit.find(startCode); at != std::string::npos && at + 4 < unit.size();
         at = unit.find(startCode, at + 4))
        types.push_back((static_cast<unsigned char>(unit[at + 4]) >> 1) & 0x3F);
    return types;
}

// The peak resident memory of a running process, in kB.
long peakMemoryKB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

class HalvornProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xorg_.running()) << xorg_.failure();
        environment_.set("DISPLAY", xorg_.display());
        environment_.set("SDL_AUDIODRIVER", "dummy");
        // DUMMY1, off until now, shows 1280 x 720 right of DUMMY0 on a black root.
        std::optional<int> status;
        run({"/usr/bin/xrandr", "--newmode", "veltrane720", "74.25", "1280", "1390", "1430", "1650", "720", "725",
             "730", "750", "+hsync", "+vsync"});
        run({"/usr/bin/xrandr", "--addmode", "DUMMY1", "veltrane720"});
        run({"/usr/bin/xrandr", "--output", "DUMMY1", "--mode", "veltrane720", "--pos", "1920x0"}, &status);
        ASSERT_EQ(status, 0) << "xrandr could not switch DUMMY1 on";
        run({"/usr/bin/xsetroot", "-solid", "black"});
        id_ = outputID("DUMMY1");
        ASSERT_NE(id_, 0u);
    }

    // A picture of ffplay's on DUMMY1's left edge.
    std::unique_ptr<Child> show(const std::string& source) {
        auto player = std::make_unique<Child>(std::vector<std::string>{
            "/usr/bin/ffplay", "-loglevel", "quiet", "-an", "-noborder", "-left", "1920", "-top", "0", "-f", "lavfi",
            "-i", source});
        // Mapped and drawn: its top-left area is no longer the black root.
        // A loaded machine may take seconds.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!shown(1920 + 100, 100) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(shown(1920 + 100, 100)) << "ffplay's picture did not appear";
        std::this_thread::sleep_for(300ms);
        return player;
    }

    std::unique_ptr<Child> halvorn(std::vector<std::string> extra) {
        std::vector<std::string> command = {VELTRANE_HALVORN, "--display-id", std::to_string(id_)};
        command.insert(command.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(command);
    }

    std::string save(const std::string& stream, const std::string& name = "stream.h264") {
        std::string file = folder_.path() / name;
        std::ofstream(file, std::ios::binary) << stream;
        return file;
    }

    veltrane::testing::PrivateXorg xorg_;
    veltrane::testing::ScopedEnvironment environment_;
    sys::TemporaryFolder folder_ = *sys::TemporaryFolder::create("halvorn-test-");
    std::uint32_t id_ = 0;
};

}  // namespace

TEST(HalvornCommandLine, OptionErrorsAndAMissingDisplay) {
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
        int status;
    };
    const std::vector<Case> cases = {
        {{}, "Missing or invalid --display-id\n", 2},
        {{"--display-id", "1", "--width", "2", "--height", "2", "--bitrate", "9", "--fps"}, "Missing or invalid --fps\n", 2},
        {{"--display-id", "1", "--width", "2", "--height", "2", "--fps", "0", "--bitrate", "9"}, "Missing or invalid --fps\n", 2},
        {{"--display-id", "4294967296", "--width", "2"}, "Missing or invalid --display-id\n", 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> command = {VELTRANE_HALVORN};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        Child child(command);
        ASSERT_TRUE(child);
        EXPECT_EQ(child.finish(10s), c.status) << c.err;
        EXPECT_EQ(child.err, c.err);
        EXPECT_TRUE(child.out.empty());
    }
}

TEST_F(HalvornProgram, NoSuchDisplay) {
    Child child({VELTRANE_HALVORN, "--display-id", "7", "--width", "64", "--height", "64", "--fps", "30", "--bitrate",
                 "100000"});
    EXPECT_EQ(child.finish(10s), 1);
    EXPECT_EQ(child.err, "Display 7 is not available\n");
}

TEST_F(HalvornProgram, EndsOnASignalWithAStreamAnyDecoderTakes) {
    auto player = show("testsrc2=size=1280x720:rate=30");
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        auto child = halvorn({"--width", "1280", "--height", "720", "--fps", "30", "--bitrate", "4000000"});
        child->pumpUntil(15s, [&] { return units(child->out).size() > 35; });
        ASSERT_EQ(child->err.substr(0, kStartLine.size()), kStartLine);
        (*child)->sendSignal(signal);
        EXPECT_EQ(child->finish(10s), 0);

        const std::string& stream = child->out;
        auto list = units(stream);
        ASSERT_GE(list.size(), 35u);
        EXPECT_EQ(list.front().offset, 0u);
        EXPECT_EQ(stream.substr(0, 6), std::string("\0\0\0\1\x09\xF0", 6));
        ASSERT_GE(list.front().types.size(), 4u);
        EXPECT_EQ(std::vector<int>(list.front().types.begin(), list.front().types.begin() + 4),
                  (std::vector<int>{9, 7, 8, 5}));
        std::size_t lastKey = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const auto& types = list[i].types;
            bool key = std::find(types.begin(), types.end(), 5) != types.end();
            for (std::size_t t = 1; t < types.size(); ++t) {
                if (types[t] == 7 || types[t] == 8) {
                    EXPECT_TRUE(key) << "parameter sets only in key units, unit " << i;
                    EXPECT_TRUE(t <= 2) << "parameter sets right after the delimiter, unit " << i;
                } else {
                    EXPECT_EQ(types[t], key ? 5 : 1) << "unit " << i;
                }
            }
            if (key) {
                EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + 3), (std::vector<int>{9, 7, 8}));
                EXPECT_LE(i - lastKey, 15u) << "key units at most 15 frames apart";
                lastKey = i;
            }
        }
        // One picture per unit, the last whole.
        expectFields(probe(save(stream)), stream720("h264", "Constrained Baseline", list.size()));
    }
}

TEST_F(HalvornProgram, LengthPrefixesCountTheirUnitsAndStatisticsFollow) {
    auto child = halvorn({"--width", "1280", "--height", "720", "--fps", "30", "--bitrate", "4000000",
                          "--length-prefix"});
    // A statistics line, and (on a slow machine perhaps later) 30 whole units.
    child->pumpUntil(20s, [&] {
        std::size_t whole = 0;
        for (std::size_t at = 0; at + 4 <= child->out.size(); ++whole) {
            auto byte = [&](std::size_t i) { return std::size_t{static_cast<unsigned char>(child->out[i])}; };
            at += 4 + (byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3));
            if (at > child->out.size()) break;
        }
        const auto statistics = child->err.find("Encoder ");
        return statistics != std::string::npos && child->err.find("p95\n", statistics) != std::string::npos &&
               whole >= 30;
    });
    (*child)->sendSignal(SIGTERM);
    EXPECT_EQ(child->finish(10s), 0);

    const std::string& stream = child->out;
    std::size_t at = 0, count = 0;
    while (at + 4 <= stream.size()) {
        auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(stream[i])); };
        std::size_t length = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        ASSERT_LE(at + 4 + length, stream.size()) << "unit " << count;
        EXPECT_EQ(stream.substr(at + 4, 6), std::string("\0\0\0\1\x09\xF0", 6)) << "unit " << count;
        // The next prefix sits exactly where this unit ends.
        at += 4 + length;
        ++count;
    }
    EXPECT_EQ(at, stream.size());
    EXPECT_GE(count, 30u);

    ASSERT_EQ(child->err.substr(0, kStartLine.size()), kStartLine);
    std::istringstream lines(child->err.substr(kStartLine.size()));
    const std::regex statistics(R"(Encoder \d+\.\d fps; capture-to-encode \d+\.\d ms mean, \d+\.\d ms p95)");
    int seen = 0;
    for (std::string line; std::getline(lines, line); ++seen) EXPECT_TRUE(std::regex_match(line, statistics)) << line;
    EXPECT_GE(seen, 1);
}

TEST_F(HalvornProgram, AReaderThatGoesAwayEndsItQuietly) {
    // head takes a little and leaves; Halvorn's next write fails.
    Child child({"/bin/bash", "-c",
                 "\"$0\" \"$@\" | head -c 1000 >/dev/null; s=${PIPESTATUS[0]}; echo \"status $s\" >&2", VELTRANE_HALVORN,
                 "--display-id", std::to_string(id_), "--width", "1280", "--height", "720", "--fps", "30", "--bitrate",
                 "4000000"});
    // It ends by itself (without the failed write it would capture for ever), with no message.
    EXPECT_EQ(child.finish(30s), 0);
    EXPECT_EQ(withoutStatistics(child.err), kStartLine + "status 0\n");
}

TEST_F(HalvornProgram, AnOutputSwitchedOffStopsTheCapture) {
    auto child = halvorn({"--width", "1280", "--height", "720", "--fps", "30", "--bitrate", "4000000"});
    child->pumpUntil(10s, [&] { return !child->out.empty(); });
    run({"/usr/bin/xrandr", "--output", "DUMMY1", "--off"});
    EXPECT_EQ(child->finish(10s), 1);
    EXPECT_EQ(withoutStatistics(child->err), kStartLine + "Capture stopped: display " + std::to_string(id_) + " was switched off\n");
}

TEST_F(HalvornProgram, ALostServerStopsTheCapture) {
    auto child = halvorn({"--width", "640", "--height", "360", "--fps", "30", "--bitrate", "1000000"});
    child->pumpUntil(10s, [&] { return !child->out.empty(); });
    xorg_.stop();
    EXPECT_EQ(child->finish(10s), 1);
    EXPECT_EQ(withoutStatistics(child->err), "ScreenCaptureKit active at 640x360@30; encoding 640x360\n"
                                             "Capture stopped: the connection to the X server was lost\n");
}

TEST_F(HalvornProgram, AnotherShapeIsFittedBetweenBlackBars) {
    // The left half of the 1280 x 720 output white, the rest black.
    auto player = show("color=c=white:size=640x720:rate=30");
    auto child = halvorn({"--width", "640", "--height", "720", "--fps", "30", "--bitrate", "2000000"});
    child->pumpUntil(10s, [&] { return units(child->out).size() > 10; });
    (*child)->sendSignal(SIGTERM);
    ASSERT_EQ(child->finish(10s), 0);
    ASSERT_EQ(child->err.substr(0, 48), "ScreenCaptureKit active at 640x720@30; encoding ");
    auto luma = lumaOf(save(child->out), 5, 640, 720);
    ASSERT_EQ(luma.size(), 640u * 720u);
    auto at = [&](int x, int y) { return static_cast<int>(luma[static_cast<std::size_t>(y) * 640 + x]); };
    // The display lands at 640 x 360 from row 180.
    for (int x : {20, 300, 620}) {
        EXPECT_LE(at(x, 100), 10) << "bar above, x " << x;
        EXPECT_LE(at(x, 620), 10) << "bar below, x " << x;
    }
    EXPECT_GE(at(100, 360), 240) << "left half white";
    EXPECT_GE(at(300, 200), 240);
    EXPECT_LE(at(340, 360), 10) << "right half black";
    EXPECT_LE(at(600, 500), 10);
}

TEST_F(HalvornProgram, ThePointerIsDrawnIn) {
    run({"/usr/bin/xdotool", "mousemove", "2560", "360"});  // the middle of DUMMY1
    auto child = halvorn({"--width", "1280", "--height", "720", "--fps", "30", "--bitrate", "4000000"});
    child->pumpUntil(10s, [&] { return units(child->out).size() > 10; });
    (*child)->sendSignal(SIGTERM);
    ASSERT_EQ(child->finish(10s), 0);
    auto luma = lumaOf(save(child->out), 5, 1280, 720);
    ASSERT_EQ(luma.size(), 1280u * 720u);
    int near = 0, far = 0;
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) {
            int v = luma[static_cast<std::size_t>(y) * 1280 + x];
            bool close = std::abs(x - 640) < 40 && std::abs(y - 360) < 40;
            (close ? near : far) = std::max(close ? near : far, v);
        }
    EXPECT_GE(near, 200) << "the pointer's light outline";
    EXPECT_LE(far, 20) << "the rest of the black root";
}

TEST_F(HalvornProgram, HEVCUnitsCarryParameterSetsOnlyOnKeyPictures) {
    auto player = show("testsrc2=size=1280x720:rate=30");
    auto child = halvorn(
        {"--hevc", "--length-prefix", "--width", "1280", "--height", "720", "--fps", "30", "--bitrate", "4000000"});
    child->pumpUntil(60s, [&] {
        auto list = prefixedUnits(child->out);
        return list && list->size() > 35;
    });
    ASSERT_EQ(child->err.substr(0, kStartLine.size()), kStartLine);
    (*child)->sendSignal(SIGTERM);
    EXPECT_EQ(child->finish(10s), 0);

    auto list = prefixedUnits(child->out);
    ASSERT_TRUE(list) << "every count exact to the end";
    ASSERT_GE(list->size(), 35u);
    std::string stripped;
    std::size_t lastKey = 0;
    for (std::size_t i = 0; i < list->size(); ++i) {
        SCOPED_TRACE("unit " + std::to_string(i));
        const std::string& unit = (*list)[i];
        stripped += unit;
        ASSERT_EQ(unit.substr(0, 4), std::string("\0\0\0\1", 4));
        EXPECT_NE(unit.substr(0, 6), std::string("\0\0\0\1\x09\xF0", 6)) << "no delimiter";
        auto types = hevcTypes(unit);
        ASSERT_FALSE(types.empty());
        EXPECT_EQ(std::count(types.begin(), types.end(), 35), 0) << "no delimiter";
        bool key = std::any_of(types.begin(), types.end(), [](int t) { return t >= 16 && t <= 23; });
        if (i == 0) {
            EXPECT_TRUE(key) << "the first unit is a key unit";
        }
        if (key) {
            ASSERT_GT(types.size(), 3u);
            EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + 3), (std::vector<int>{32, 33, 34}));
            for (std::size_t t = 3; t < types.size(); ++t) EXPECT_TRUE(types[t] >= 16 && types[t] <= 21) << types[t];
            EXPECT_LE(i - lastKey, 15u) << "key units at most 15 frames apart";
            lastKey = i;
        } else {
            for (int type : types) EXPECT_TRUE(type < 16) << "a non-key unit holds only slices, not " << type;
        }
    }
    // One picture per unit.
    expectFields(probe(save(stripped, "stream.hevc")), stream720("hevc", "Main", list->size()));
}

TEST_F(HalvornProgram, APlainHEVCStreamDecodesAsWritten) {
    auto child = halvorn({"--hevc", "--width", "640", "--height", "360", "--fps", "30", "--bitrate", "1000000"});
    child->pumpUntil(10s, [&] { return child->out.size() > 2000; });
    (*child)->sendSignal(SIGTERM);
    EXPECT_EQ(child->finish(10s), 0);
    auto fields = probe(save(child->out, "plain.hevc"));
    EXPECT_EQ(fields["codec_name"], "hevc");
    EXPECT_EQ(fields["width"], "640");
    EXPECT_GE(std::atoi(fields["nb_read_frames"].c_str()), 1);
    EXPECT_EQ(child->out.substr(0, 5), std::string("\0\0\0\1\x40", 5)) << "a VPS first";
}

TEST_F(HalvornProgram, TurnedClockwiseTheLeftSideIsOnTop) {
    auto player = show("color=c=white:size=640x720:rate=30");
    for (bool hevc : {false, true}) {
        SCOPED_TRACE(hevc ? "HEVC" : "H.264");
        std::vector<std::string> arguments = {"--rotate-clockwise", "--width", "1280", "--height", "720", "--fps", "30",
                                              "--bitrate",          "4000000"};
        if (hevc) arguments.push_back("--hevc");
        auto child = halvorn(arguments);
        child->pumpUntil(60s, [&] { return child->out.size() > 20000; });
        std::this_thread::sleep_for(500ms);
        (*child)->sendSignal(SIGTERM);
        // The encoder drains its look-ahead first: slow under TSan on a busy machine.
        ASSERT_EQ(child->finish(30s), 0);
        const std::string startLine = "ScreenCaptureKit active at 1280x720@30; encoding 720x1280\n";
        EXPECT_EQ(child->err.substr(0, startLine.size()), startLine);
        std::string file = save(child->out, hevc ? "turned.hevc" : "turned.h264");
        auto fields = probe(file);
        EXPECT_EQ(fields["width"], "720");
        EXPECT_EQ(fields["height"], "1280");
        auto luma = lumaOf(file, 3, 720, 1280);
        ASSERT_EQ(luma.size(), 720u * 1280u);
        auto at = [&](int x, int y) { return static_cast<int>(luma[static_cast<std::size_t>(y) * 720 + x]); };
        for (int x : {10, 360, 710}) {
            EXPECT_GE(at(x, 40), 235) << "top half white, x " << x;
            EXPECT_GE(at(x, 600), 235) << "top half white, x " << x;
            EXPECT_LE(at(x, 680), 20) << "bottom half black, x " << x;
            EXPECT_LE(at(x, 1240), 20) << "bottom half black, x " << x;
        }
    }
}

TEST_F(HalvornProgram, TheSourceRectangleIsFittedLikeTheWholeDisplay) {
    // The left half of the 1280 x 720 output white, the rest black.
    auto player = show("color=c=white:size=640x720:rate=30");
    struct Probe {
        int x, y;
        bool white;
    };
    struct Case {
        const char* name;
        std::vector<std::string> source;
        std::vector<Probe> probes;
    };
    const std::vector<Probe> wholeDisplay = {{100, 360, true}, {600, 100, true}, {700, 360, false}, {1200, 600, false}};
    const std::vector<Case> cases = {
        {"the top-left quarter, white all over",
         {"--source-x", "0", "--source-y", "0", "--source-width", "640", "--source-height", "360"},
         {{4, 4, true}, {640, 360, true}, {1275, 715, true}, {1275, 4, true}}},
        {"three of four: the whole display",
         {"--source-x", "0", "--source-y", "0", "--source-width", "640"},
         wholeDisplay},
        {"zero width: the whole display",
         {"--source-x", "0", "--source-y", "0", "--source-width", "0", "--source-height", "360"},
         wholeDisplay},
        // 800 x 600 fitted at 960 x 720 from x 160; the 10 pixels left of the
        // display are a black strip 12 wide, then 640 white pixels at 1.2.
        {"reaching past the left edge",
         {"--source-x", "-10", "--source-y", "0", "--source-width", "800", "--source-height", "600"},
         {{100, 360, false},
          {166, 360, false},
          {180, 360, true},
          {900, 600, true},
          {960, 360, false},
          {1200, 360, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"--width", "1280", "--height",  "720",
                                              "--fps",   "30",   "--bitrate", "4000000"};
        arguments.insert(arguments.end(), c.source.begin(), c.source.end());
        auto child = halvorn(arguments);
        child->pumpUntil(10s, [&] { return units(child->out).size() > 8; });
        (*child)->sendSignal(SIGTERM);
        ASSERT_EQ(child->finish(10s), 0);
        EXPECT_EQ(child->err.substr(0, kStartLine.size()), kStartLine);
        std::istringstream lines(child->err.substr(std::min(kStartLine.size(), child->err.size())));
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(line.rfind("Encoder ", 0), 0u) << "no message but statistics: " << line;
        auto luma = lumaOf(save(child->out), 5, 1280, 720);
        ASSERT_EQ(luma.size(), 1280u * 720u);
        for (const auto& p : c.probes) {
            int value = luma[static_cast<std::size_t>(p.y) * 1280 + p.x];
            if (p.white) {
                EXPECT_GE(value, 235) << "white at " << p.x << "," << p.y;
            } else {
                EXPECT_LE(value, 20) << "black at " << p.x << "," << p.y;
            }
        }
    }
}

TEST_F(HalvornProgram, AHugeSourceRectangleTakesTheUsualMemory) {
    auto peak = [&](std::vector<std::string> source) {
        std::vector<std::string> arguments = {"--width", "1280", "--height",  "720",
                                              "--fps",   "30",   "--bitrate", "4000000"};
        arguments.insert(arguments.end(), source.begin(), source.end());
        auto child = halvorn(arguments);
        child->pumpUntil(10s, [&] { return units(child->out).size() > 20; });
        long kb = peakMemoryKB((*child)->pid());
        (*child)->sendSignal(SIGTERM);
        EXPECT_EQ(child->finish(10s), 0);
        EXPECT_GE(units(child->out).size(), 20u) << "it streams";
        return kb;
    };
    const long usual = peak({});
    ASSERT_GT(usual, 0);
    const std::string huge = "1099511627776";  // 2^40
    for (auto source : {std::vector<std::string>{"--source-width", huge, "--source-height", huge},
                        std::vector<std::string>{"--source-x", "0", "--source-y", "0", "--source-width", huge,
                                                 "--source-height", huge},
                        std::vector<std::string>{"--source-x", "-" + huge, "--source-y", "0", "--source-width", huge,
                                                 "--source-height", "720"}}) {
        SCOPED_TRACE(source.back());
        EXPECT_LT(peak(source), usual * 3 / 2) << "usual peak " << usual << " kB";
    }
}
