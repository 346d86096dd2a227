#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioSystem.h"

namespace veltrane::testing {

// An audio system whose every reading is set by the test: a property left
// empty fails to read, a device that refuses writes fails every write.
class ScriptedAudioSystem : public audio::AudioSystem {
public:
    struct Device {
        std::string uid;
        std::string name;
        std::uint32_t channels = 2;
        std::optional<float> main;
        std::optional<float> channel1;
        std::optional<float> channel2;
        std::optional<bool> muted = false;
        bool refusesWrites = false;
    };
    struct Registration {
        audio::Property property;
        audio::DeviceID device;
        bool operator==(const Registration&) const = default;
    };

    void setDevice(audio::DeviceID id, Device device) {
        std::lock_guard lock(mutex_);
        devices_[id] = std::move(device);
    }
    template <class Edit>
    void editDevice(audio::DeviceID id, Edit edit) {
        std::lock_guard lock(mutex_);
        edit(devices_.at(id));
    }
    void setDefault(std::optional<audio::DeviceID> device) {
        std::lock_guard lock(mutex_);
        default_ = device;
    }
    void refuseDefaultChange(bool refuse) {
        std::lock_guard lock(mutex_);
        refuseDefaultChange_ = refuse;
    }
    void setServer(std::optional<std::string> server) {
        std::lock_guard lock(mutex_);
        server_ = std::move(server);
    }
    std::vector<Registration> registrations() const {
        std::lock_guard lock(mutex_);
        std::vector<Registration> out;
        for (const auto& r : listeners_) out.push_back({r.property, r.device});
        return out;
    }
    // Tells the listeners of `property` on `device`, as the audio server would.
    void announce(audio::Property property, audio::DeviceID device) {
        std::vector<Listening> due;
        {
            std::lock_guard lock(mutex_);
            for (const auto& r : listeners_)
                if (r.property == property && r.device == device) due.push_back(r);
        }
        for (auto& r : due)
            if (auto queue = r.queue.lock()) queue->async([listener = r.listener] { (*listener)(); });
    }

    std::optional<audio::DeviceID> defaultOutput() override {
        std::lock_guard lock(mutex_);
        return default_;
    }
    bool setDefaultOutput(audio::DeviceID device) override {
        std::lock_guard lock(mutex_);
        if (refuseDefaultChange_ || !devices_.count(device)) return false;
        default_ = device;
        return true;
    }
    std::optional<std::vector<audio::DeviceID>> devices() override {
        std::lock_guard lock(mutex_);
        std::vector<audio::DeviceID> ids;
        for (const auto& [id, device] : devices_) ids.push_back(id);
        return ids;
    }
    std::optional<std::uint32_t> outputChannelCount(audio::DeviceID device) override {
        return read<std::uint32_t>(device, [](const Device& d) { return d.channels; });
    }
    std::optional<std::string> uid(audio::DeviceID device) override {
        return read<std::string>(device, [](const Device& d) { return d.uid; });
    }
    std::optional<std::string> name(audio::DeviceID device) override {
        return read<std::string>(device, [](const Device& d) { return d.name; });
    }
    std::optional<float> mainVolume(audio::DeviceID device) override {
        return read<float>(device, [](const Device& d) { return d.main; });
    }
    std::optional<float> channelVolume(audio::DeviceID device, unsigned element) override {
        return read<float>(device, [element](const Device& d) {
            return element == 1 ? d.channel1 : element == 2 ? d.channel2 : std::nullopt;
        });
    }
    std::optional<bool> mute(audio::DeviceID device) override {
        auto muted = read<bool>(device, [](const Device& d) { return d.muted; });
        if (afterMuteRead) afterMuteRead(device);
        return muted;
    }
    // Runs after each mute reading (a device's last), outside the lock; set
    // it before the reader can run.
    std::function<void(audio::DeviceID)> afterMuteRead;
    bool setMainVolume(audio::DeviceID device, float level) override {
        return write(device, [level](Device& d) { d.main = d.channel1 = d.channel2 = level; });
    }
    bool setChannelVolume(audio::DeviceID device, unsigned element, float level) override {
        if (element != 1 && element != 2) return false;
        return write(device, [&](Device& d) { (element == 1 ? d.channel1 : d.channel2) = level; });
    }
    bool setMute(audio::DeviceID device, bool muted) override {
        return write(device, [muted](Device& d) { d.muted = muted; });
    }
    void addListener(audio::Property property, audio::DeviceID device, std::shared_ptr<dispatch::DispatchQueue> queue,
                     std::shared_ptr<const audio::Listener> listener) override {
        std::lock_guard lock(mutex_);
        listeners_.push_back({property, device, queue, std::move(listener)});
    }
    void removeListener(audio::Property property, audio::DeviceID device,
                        const std::shared_ptr<const audio::Listener>& listener) override {
        std::lock_guard lock(mutex_);
        std::erase_if(listeners_, [&](const Listening& r) {
            return r.property == property && r.device == device && r.listener == listener;
        });
    }
    std::optional<std::string> serverAddress() const override {
        std::lock_guard lock(mutex_);
        return server_;
    }

private:
    struct Listening {
        audio::Property property;
        audio::DeviceID device;
        std::weak_ptr<dispatch::DispatchQueue> queue;
        std::shared_ptr<const audio::Listener> listener;
    };

    // `get` answers a value or an empty optional (a failed read).
    template <class T, class Get>
    std::optional<T> read(audio::DeviceID device, Get get) const {
        std::lock_guard lock(mutex_);
        auto found = devices_.find(device);
        if (found == devices_.end()) return std::nullopt;
        return get(found->second);
    }
    template <class Change>
    bool write(audio::DeviceID device, Change change) {
        std::lock_guard lock(mutex_);
        auto found = devices_.find(device);
        if (found == devices_.end() || found->second.refusesWrites) return false;
        change(found->second);
        return true;
    }

    mutable std::mutex mutex_;
    std::map<audio::DeviceID, Device> devices_;
    std::optional<audio::DeviceID> default_;
    bool refuseDefaultChange_ = false;
    std::optional<std::string> server_;
    std::vector<Listening> listeners_;
};

}  // namespace veltrane::testing
