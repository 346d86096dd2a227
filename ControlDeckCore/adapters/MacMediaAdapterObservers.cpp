// Player notifications: players' change announcements refresh the adapter,
// and players' desktop-wide notifications go through the reading merge.
#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/media/DistributedNowPlaying.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::deck {
namespace {

// The players that name their notifications; any other name passes the
// player filter first.
constexpr const char* kPlayerNotifications[] = {
    "com.apple.iTunes.playerInfo",
    "com.apple.Music.playerInfo",
    "com.spotify.client.PlaybackStateChanged",
    "com.tencent.QQMusicMac.playerInfo",
};

}  // namespace

void MacMediaAdapter::startObserving() {
    if (observing_) return;
    observing_ = true;
    // Runs on the announcer's thread, which must never end up owning the
    // adapter or the last hold on its queue (their ends wait for that very
    // thread), so it keeps the queue, which lives as long as this function,
    // and only the queue's task takes hold of the adapter. While a refresh
    // waits to run, it will read after every announcement so far: later
    // ones add nothing.
    auto announce = [queue = queue_, weak = weak_from_this(), queued = refreshQueued_] {
        if (queued->exchange(true)) return;
        queue->async([weak, queued] {
            queued->store(false);
            if (auto self = weak.lock()) self->refresh();
        });
    };
    if (environment_.observePlayers)
        environment_.observePlayers(std::move(announce));
    else
        *playersChanged_ = std::move(announce);
}

void MacMediaAdapter::startDistributedObservers() {
    if (!environment_.distributedCenter)
        environment_.distributedCenter = std::make_shared<notifications::NoNotificationCenter>();
    auto apply = [weak = weak_from_this()](const notifications::Notification& notification) {
        if (auto self = weak.lock()) self->applyDistributed(notification);
    };
    auto& center = *environment_.distributedCenter;
    for (const char* name : kPlayerNotifications) center.addObserver(std::string(name), apply);
    // A notification of a named kind that passes the filter too is applied
    // twice; the second merge of the same reading changes nothing.
    center.addObserver(std::nullopt, [apply](const notifications::Notification& notification) {
        if (media::DistributedNowPlaying::isPlayerNotification(notification.name, notification.userInfo))
            apply(notification);
    });
}

void MacMediaAdapter::applyDistributed(const notifications::Notification& notification) {
    if (!notification.userInfo || notification.userInfo->empty()) return;
    auto snapshot = media::DistributedNowPlaying::parse(notification.name, *notification.userInfo, now());
    if (!snapshot) return;
    apply(std::move(snapshot), std::nullopt, false, true);
}

}  // namespace veltrane::deck
