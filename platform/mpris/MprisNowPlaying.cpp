#include "platform/mpris/MprisNowPlaying.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/mpris/ArtworkFile.h"

namespace veltrane::mpris {
namespace {

using Clock = std::chrono::steady_clock;
using VariantMap = std::map<std::string, sdbus::Variant>;

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr int kMaxDepth = 8;

BusValue fromVariant(const sdbus::Variant& variant, int depth);

template <class T>
BusValue integer(const sdbus::Variant& variant) {
    return BusValue{static_cast<std::int64_t>(variant.get<T>())};
}

BusDict fromMap(const VariantMap& map, int depth) {
    BusDict dict;
    dict.reserve(map.size());
    for (const auto& [key, value] : map) dict.emplace_back(key, fromVariant(value, depth + 1));
    return dict;
}

BusValue fromVariant(const sdbus::Variant& variant, int depth) {
    if (depth > kMaxDepth) return {};
    const std::string type = variant.peekValueType();
    if (type == "s") return BusValue{variant.get<std::string>()};
    if (type == "o") return BusValue{std::string(variant.get<sdbus::ObjectPath>())};
    if (type == "g") return BusValue{std::string(variant.get<sdbus::Signature>())};
    if (type == "b") return BusValue{variant.get<bool>()};
    if (type == "d") return BusValue{variant.get<double>()};
    if (type == "y") return integer<std::uint8_t>(variant);
    if (type == "n") return integer<std::int16_t>(variant);
    if (type == "q") return integer<std::uint16_t>(variant);
    if (type == "i") return integer<std::int32_t>(variant);
    if (type == "u") return integer<std::uint32_t>(variant);
    if (type == "x") return integer<std::int64_t>(variant);
    if (type == "t") {
        const auto value = variant.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(INT64_MAX)) return BusValue{static_cast<double>(value)};
        return BusValue{static_cast<std::int64_t>(value)};
    }
    if (type == "v") return fromVariant(variant.get<sdbus::Variant>(), depth + 1);
    if (type == "as" || type == "ao") {
        BusArray array;
        // Built in place: GCC 12 misreads a moved variant temporary here as
        // uninitialised.
        if (type == "as")
            for (auto& text : variant.get<std::vector<std::string>>())
                array.emplace_back().value.emplace<std::string>(std::move(text));
        else
            for (auto& path : variant.get<std::vector<sdbus::ObjectPath>>())
                array.emplace_back().value.emplace<std::string>(std::move(path));
        return BusValue{std::move(array)};
    }
    if (type == "av") {
        BusArray array;
        for (const auto& item : variant.get<std::vector<sdbus::Variant>>())
            array.push_back(fromVariant(item, depth + 1));
        return BusValue{std::move(array)};
    }
    if (type == "a{sv}") return BusValue::of(fromMap(variant.get<VariantMap>(), depth));
    return {};
}

std::uint64_t microseconds(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    // sd-bus reads 0 as its own default (25 s): never pass it.
    return static_cast<std::uint64_t>(std::max<long long>(left, 1000));
}

struct Player {
    std::string owner;  // the unique name its signals come from
    PlaybackStatus status = PlaybackStatus::stopped;
    bool statusKnown = false;
    std::uint64_t becamePlaying = 0;
    std::uint64_t active = 0;
    std::optional<std::int32_t> pid;
    bool rootRead = false;
    std::optional<std::string> identity;
    std::optional<std::string> desktopEntry;
};

// Whether a Unix-socket bus address has a listener. sd-bus would say so too,
// but the bus library loses its connection object when the open fails, and
// "no bus" is an ordinary answer here.
bool reachable(std::string_view address) {
    bool unixOnly = true;
    for (std::size_t start = 0; start <= address.size();) {
        const auto end = std::min(address.find(';', start), address.size());
        const std::string_view entry = address.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        if (entry.substr(0, 5) != "unix:") {
            unixOnly = false;
            continue;
        }
        for (const std::string_view key : {"path=", "abstract="}) {
            const auto at = entry.find(key);
            if (at == std::string_view::npos) continue;
            std::string_view raw = entry.substr(at + key.size());
            raw = raw.substr(0, raw.find(','));
            const std::string name = percentDecoded(raw);
            sockaddr_un socketAddress{};
            socketAddress.sun_family = AF_UNIX;
            const bool abstract = key == "abstract=";
            if (name.size() + (abstract ? 1 : 0) >= sizeof socketAddress.sun_path) continue;
            std::copy(name.begin(), name.end(), socketAddress.sun_path + (abstract ? 1 : 0));
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) continue;
            const auto length =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 1 : 0));
            const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&socketAddress), length) == 0;
            ::close(fd);
            if (connected) return true;
        }
    }
    // Other transports are left to sd-bus.
    return !unixOnly;
}

}  // namespace

struct MprisNowPlaying::Impl {
    std::string address;
    // Calls go out on one connection and wait for their reply in the calling
    // thread; signals arrive on another, with a thread of its own. A reply
    // then never has to pass through another thread, which on a watcher
    // asking 14 times a second costs more than the call itself.
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IConnection> signals;
    std::unique_ptr<sdbus::IProxy> bus;  // org.freedesktop.DBus

    // Guards the player table and the callback; never held across a bus call.
    std::mutex mutex;
    std::map<std::string, Player> players;                          // by well-known name
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;  // by well-known name, read side only
    bool stale = true;
    // Set by any player's signal: the cached reading no longer stands.
    bool announced = false;
    bool listening = false;
    std::uint64_t tick = 0;
    std::function<void()> changed;
    std::vector<sdbus::Slot> matches;

    // Touched only by the one reader at a time (the emit queue).
    std::mutex readMutex;
    ArtworkFile artwork;
    struct Cached {
        std::string name;
        NowPlayingReading reading;
        Clock::time_point at;
    };
    std::optional<Cached> cached;

    // Commands: their own connection, one at a time.
    std::mutex commandMutex;
    std::unique_ptr<sdbus::IConnection> commands;

    // The now-playing player as a proxy on the command connection; none
    // when nothing plays or pauses.
    std::unique_ptr<sdbus::IProxy> commandTarget(Clock::time_point deadline) {
        scan(deadline);
        const auto name = choose();
        if (!name) return nullptr;
        if (!commands) commands = sdbus::createSessionBusConnectionWithAddress(address);
        return sdbus::createProxy(*commands, *name, kObjectPath);
    }

    sdbus::IProxy& proxy(const std::string& name) {
        std::lock_guard lock(mutex);
        auto& slot = proxies[name];
        if (!slot) slot = sdbus::createProxy(*connection, name, kObjectPath);
        return *slot;
    }

    VariantMap getAll(const std::string& name, const char* interface, Clock::time_point deadline) {
        auto& player = proxy(name);
        auto call = player.createMethodCall(kPropertiesInterface, "GetAll");
        call << interface;
        auto reply = player.callMethod(call, microseconds(deadline));
        VariantMap properties;
        reply >> properties;
        return properties;
    }

    // Re-reads the list of players after a player came or went.
    void scan(Clock::time_point deadline) {
        {
            // Cleared before asking, so a player that comes during the scan
            // marks the list stale again.
            std::lock_guard lock(mutex);
            if (!stale) return;
            stale = false;
        }
        std::vector<std::string> names;
        try {
            auto list = bus->createMethodCall("org.freedesktop.DBus", "ListNames");
            auto reply = bus->callMethod(list, microseconds(deadline));
            reply >> names;
        } catch (const sdbus::Error&) {
            std::lock_guard lock(mutex);
            stale = true;
            throw;
        }
        names.erase(std::remove_if(names.begin(), names.end(), [](const auto& n) { return !isPlayerBusName(n); }),
                    names.end());

        std::map<std::string, Player> found;
        for (const auto& name : names) {
            Player player;
            {
                std::lock_guard lock(mutex);
                if (auto known = players.find(name); known != players.end()) player = known->second;
            }
            try {
                auto owner = bus->createMethodCall("org.freedesktop.DBus", "GetNameOwner");
                owner << name;
                std::string unique;
                auto ownerReply = bus->callMethod(owner, microseconds(deadline));
                ownerReply >> unique;
                if (unique != player.owner) {
                    player = Player{};
                    player.owner = unique;
                }
                if (!player.statusKnown) {
                    const auto properties = fromMap(getAll(name, kPlayerInterface, deadline), 0);
                    player.status = PlayerProperties::status(properties);
                    player.statusKnown = true;
                }
            } catch (const sdbus::Error&) {
                continue;  // gone since the list, or not answering: not a player for now
            }
            found.emplace(name, std::move(player));
        }

        std::lock_guard lock(mutex);
        for (auto& [name, player] : found) {
            if (player.active == 0) player.active = ++tick;
            if (player.status == PlaybackStatus::playing && player.becamePlaying == 0) player.becamePlaying = ++tick;
        }
        for (auto it = proxies.begin(); it != proxies.end();)
            it = found.count(it->first) ? std::next(it) : proxies.erase(it);
        players = std::move(found);
    }

    // The now-playing player's name; none when nothing plays or pauses.
    std::optional<std::string> choose() {
        std::lock_guard lock(mutex);
        const std::pair<const std::string, Player>* best = nullptr;
        for (const auto& entry : players) {
            const Player& p = entry.second;
            if (p.status == PlaybackStatus::stopped) continue;
            if (!best) {
                best = &entry;
                continue;
            }
            const Player& b = best->second;
            const bool playing = p.status == PlaybackStatus::playing, bestPlaying = b.status == PlaybackStatus::playing;
            if (playing != bestPlaying) {
                if (playing) best = &entry;
            } else if (playing ? p.becamePlaying > b.becamePlaying : p.active > b.active) {
                best = &entry;
            }
        }
        if (!best) return std::nullopt;
        return best->first;
    }

    // A status seen by a read or a signal.
    void observe(Player& player, PlaybackStatus status) {
        if (status == player.status && player.statusKnown) return;
        if (status == PlaybackStatus::playing) player.becamePlaying = ++tick;
        player.active = ++tick;
        player.status = status;
        player.statusKnown = true;
    }

    void observe(const std::string& name, PlaybackStatus status) {
        std::lock_guard lock(mutex);
        if (auto it = players.find(name); it != players.end()) observe(it->second, status);
    }

    // A player's identity and desktop entry, read once (they do not change
    // while it runs).
    RunningApplication describe(const std::string& name, std::int32_t pid) {
        std::optional<std::string> identity, desktopEntry;
        try {
            const auto root = fromMap(getAll(name, kRootInterface, Clock::now() + std::chrono::milliseconds(350)), 0);
            if (const BusValue* value = find(root, "Identity"); value && value->text()) identity = *value->text();
            if (const BusValue* value = find(root, "DesktopEntry"); value && value->text())
                desktopEntry = *value->text();
        } catch (const sdbus::Error&) {
        }
        std::lock_guard lock(mutex);
        if (auto it = players.find(name); it != players.end()) {
            it->second.rootRead = true;
            it->second.identity = identity;
            it->second.desktopEntry = desktopEntry;
        }
        return RunningApplication{playerBundleId(name, desktopEntry), identity, pid};
    }

    void onPropertiesChanged(sdbus::Message& message) {
        std::string interface;
        VariantMap changes;
        message >> interface >> changes;
        const std::string sender = message.getSender();
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex);
            if (interface == kPlayerInterface) {
                auto it = std::find_if(players.begin(), players.end(),
                                       [&](const auto& entry) { return entry.second.owner == sender; });
                if (it == players.end()) {
                    stale = true;
                } else if (auto status = changes.find("PlaybackStatus"); status != changes.end()) {
                    observe(it->second,
                            PlayerProperties::status(BusDict{{"PlaybackStatus", fromVariant(status->second, 0)}}));
                }
            }
            announced = true;
            notify = changed;
        }
        if (notify) notify();
    }

    void onOtherSignal(bool playersChanged) {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex);
            if (playersChanged) stale = true;
            announced = true;
            notify = changed;
        }
        if (notify) notify();
    }
};

MprisNowPlaying::MprisNowPlaying(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MprisNowPlaying::~MprisNowPlaying() {
    if (impl_->signals) impl_->signals->leaveEventLoop();
}

std::optional<std::string> MprisNowPlaying::sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return std::nullopt;
    const std::string socket = std::string(runtime) + "/bus";
    struct stat info {};
    if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
    return "unix:path=" + socket;
}

std::unique_ptr<MprisNowPlaying> MprisNowPlaying::connect() {
    const auto address = sessionBusAddress();
    if (!address || !reachable(*address)) return nullptr;
    try {
        auto impl = std::make_unique<Impl>();
        impl->address = *address;
        impl->connection = sdbus::createSessionBusConnectionWithAddress(*address);
        impl->bus = sdbus::createProxy(*impl->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        return std::unique_ptr<MprisNowPlaying>(new MprisNowPlaying(std::move(impl)));
    } catch (const sdbus::Error&) {
        return nullptr;
    }
}

NowPlayingReading MprisNowPlaying::read(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    std::lock_guard reading(impl_->readMutex);
    try {
        impl_->scan(deadline);
        const auto name = impl_->choose();
        if (!name) return {};
        {
            // While signals are heard, a reading stands until a player
            // announces a change or it grows old: like the dictionary of a
            // now-playing service, it holds the position at its timestamp.
            std::lock_guard lock(impl_->mutex);
            const auto& cached = impl_->cached;
            if (impl_->listening && !impl_->announced && cached && cached->name == *name &&
                Clock::now() - cached->at < kReadingLifetime)
                return cached->reading;
            impl_->announced = false;
        }
        BusDict properties;
        try {
            properties = fromMap(impl_->getAll(*name, kPlayerInterface, deadline), 0);
        } catch (const sdbus::Error&) {
            // Gone or hung: look again at the next read.
            std::lock_guard lock(impl_->mutex);
            impl_->stale = true;
            impl_->cached.reset();
            return {};
        }
        const auto readAt = std::chrono::system_clock::now();
        const auto status = PlayerProperties::status(properties);
        impl_->observe(*name, status);
        NowPlayingReading result;
        if (!PlayerProperties::playsNothing(properties)) {
            std::shared_ptr<const std::string> artwork;
            if (auto path = PlayerProperties::artworkPath(properties)) artwork = impl_->artwork.read(*path);
            result = {PlayerProperties::info(properties, readAt, artwork), status == PlaybackStatus::playing};
        }
        std::lock_guard lock(impl_->mutex);
        impl_->cached = Impl::Cached{*name, result, Clock::now()};
        return result;
    } catch (const sdbus::Error&) {
        return {};
    }
}

std::optional<std::int32_t> MprisNowPlaying::nowPlayingPID(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    try {
        impl_->scan(deadline);
        const auto name = impl_->choose();
        if (!name) return 0;
        auto call = impl_->bus->createMethodCall("org.freedesktop.DBus", "GetConnectionUnixProcessID");
        call << *name;
        std::uint32_t pid = 0;
        auto reply = impl_->bus->callMethod(call, microseconds(deadline));
        reply >> pid;
        if (pid > static_cast<std::uint32_t>(INT32_MAX)) return std::nullopt;
        std::lock_guard lock(impl_->mutex);
        if (auto it = impl_->players.find(*name); it != impl_->players.end())
            it->second.pid = static_cast<std::int32_t>(pid);
        return static_cast<std::int32_t>(pid);
    } catch (const sdbus::Error&) {
        return std::nullopt;
    }
}

std::optional<RunningApplication> MprisNowPlaying::runningApplication(std::int32_t pid) {
    std::string name;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& [busName, player] : impl_->players) {
            if (player.pid != pid) continue;
            if (player.rootRead)
                return RunningApplication{playerBundleId(busName, player.desktopEntry), player.identity, pid};
            name = busName;
            break;
        }
    }
    if (name.empty()) return std::nullopt;
    return impl_->describe(name, pid);
}

std::vector<RunningApplication> MprisNowPlaying::runningApplications() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(350);
    std::vector<std::pair<std::string, Player>> players;
    try {
        impl_->scan(deadline);
    } catch (const sdbus::Error&) {
        return {};
    }
    {
        std::lock_guard lock(impl_->mutex);
        players.assign(impl_->players.begin(), impl_->players.end());
    }
    std::vector<RunningApplication> apps;
    for (auto& [name, player] : players) {
        std::int32_t pid = player.pid.value_or(0);
        if (!player.pid) {
            try {
                auto call = impl_->bus->createMethodCall("org.freedesktop.DBus", "GetConnectionUnixProcessID");
                call << name;
                std::uint32_t answer = 0;
                auto reply = impl_->bus->callMethod(call, microseconds(deadline));
                reply >> answer;
                if (answer <= static_cast<std::uint32_t>(INT32_MAX)) pid = static_cast<std::int32_t>(answer);
                std::lock_guard lock(impl_->mutex);
                if (auto it = impl_->players.find(name); it != impl_->players.end()) it->second.pid = pid;
            } catch (const sdbus::Error&) {
            }
        }
        if (player.rootRead)
            apps.push_back({playerBundleId(name, player.desktopEntry), player.identity, pid});
        else
            apps.push_back(impl_->describe(name, pid));
    }
    return apps;
}

bool MprisNowPlaying::send(PlayerCommand command, Timeout timeout) {
    static constexpr const char* kMethods[] = {"Play", "Pause", "PlayPause", "Stop", "Next", "Previous"};
    const auto deadline = Clock::now() + timeout;
    std::lock_guard lock(impl_->commandMutex);
    try {
        auto player = impl_->commandTarget(deadline);
        if (!player) return false;
        auto call = player->createMethodCall(kPlayerInterface, kMethods[static_cast<int>(command)]);
        player->callMethod(call, microseconds(deadline));
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

bool MprisNowPlaying::setPosition(double seconds, Timeout timeout) {
    if (!std::isfinite(seconds)) return false;
    const auto deadline = Clock::now() + timeout;
    std::lock_guard lock(impl_->commandMutex);
    try {
        auto player = impl_->commandTarget(deadline);
        if (!player) return false;
        auto get = player->createMethodCall(kPropertiesInterface, "GetAll");
        get << kPlayerInterface;
        VariantMap properties;
        auto reply = player->callMethod(get, microseconds(deadline));
        reply >> properties;
        const auto target = static_cast<std::int64_t>(std::llround(std::max(seconds, 0.0) * 1e6));
        std::optional<sdbus::ObjectPath> trackId;
        if (auto metadata = properties.find("Metadata"); metadata != properties.end()) {
            const auto fields = fromMap(metadata->second.get<VariantMap>(), 0);
            if (const BusValue* id = find(fields, "mpris:trackid"); id && id->text() && !id->text()->empty())
                trackId = sdbus::ObjectPath(*id->text());
        }
        if (trackId) {
            auto call = player->createMethodCall(kPlayerInterface, "SetPosition");
            call << *trackId << target;
            player->callMethod(call, microseconds(deadline));
            return true;
        }
        std::int64_t position = 0;
        if (auto known = properties.find("Position"); known != properties.end()) {
            const auto value = fromVariant(known->second, 0);
            if (const auto* micros = std::get_if<std::int64_t>(&value.value)) position = *micros;
        }
        auto call = player->createMethodCall(kPlayerInterface, "Seek");
        call << static_cast<std::int64_t>(target - position);
        player->callMethod(call, microseconds(deadline));
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

void MprisNowPlaying::registerForNotifications(std::function<void()> changed) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->changed = std::move(changed);
    }
    Impl* impl = impl_.get();
    try {
        impl->signals = sdbus::createSessionBusConnectionWithAddress(impl->address);
    } catch (const sdbus::Error&) {
        return;  // the bus went away since we connected: reads will say so
    }
    auto& connection = *impl->signals;
    const std::string path = std::string("path='") + kObjectPath + "'";
    impl->matches.push_back(connection.addMatch(
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'," + path,
        [impl](sdbus::Message& message) {
            try {
                impl->onPropertiesChanged(message);
            } catch (const sdbus::Error&) {
                impl->onOtherSignal(false);
            }
        }));
    impl->matches.push_back(
        connection.addMatch("type='signal',interface='org.mpris.MediaPlayer2.Player',member='Seeked'," + path,
                            [impl](sdbus::Message&) { impl->onOtherSignal(false); }));
    impl->matches.push_back(connection.addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
        "arg0namespace='org.mpris.MediaPlayer2'",
        [impl](sdbus::Message&) { impl->onOtherSignal(true); }));
    connection.enterEventLoopAsync();
    std::lock_guard lock(impl->mutex);
    impl->listening = true;
}

}  // namespace veltrane::mpris
