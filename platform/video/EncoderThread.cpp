#include "platform/video/EncoderThread.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace veltrane::video {

namespace {

struct Pending {
    std::shared_ptr<const PixelBuffer> picture;
    std::int64_t presentationTimeNs = 0;
};

}  // namespace

// Shared with the encoder thread, which may outlive the session object when
// the session is ended from inside its own output.
struct EncoderThread::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Pending> queue;              // under mutex
    bool busy = false;                      // under mutex: a picture is being encoded
    bool closed = false;                    // under mutex
    std::thread::id threadID;               // under mutex
    std::unique_ptr<EncoderEngine> engine;  // on the encoder thread once it runs
    VideoEncoder::Output output;

    void run() {
        for (;;) {
            Pending next;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return closed || !queue.empty(); });
                if (closed) return;
                next = std::move(queue.front());
                queue.pop_front();
                busy = true;
            }
            engine->encode(*next.picture, next.presentationTimeNs, output);
            next.picture.reset();  // back to its pool before the next one is waited for
            {
                std::lock_guard lock(mutex);
                busy = false;
            }
            changed.notify_all();
        }
    }
};

EncoderThread::EncoderThread(VideoEncoder::Output output) : state_(std::make_shared<State>()) {
    state_->output = std::move(output);
}

EncoderThread::~EncoderThread() { invalidate(); }

void EncoderThread::start(std::unique_ptr<EncoderEngine> engine, const char* name) {
    state_->engine = std::move(engine);
    auto state = state_;
    std::string threadName = name;
    thread_ = std::thread([state, threadName] {
        pthread_setname_np(pthread_self(), threadName.c_str());
        {
            std::lock_guard lock(state->mutex);
            state->threadID = std::this_thread::get_id();
        }
        state->changed.notify_all();
        state->run();
    });
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->threadID != std::thread::id(); });
    threadID_ = state_->threadID;
}

int EncoderThread::enqueue(std::shared_ptr<const PixelBuffer> picture, std::int64_t presentationTimeNs) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closed || !thread_.joinable()) return -1;
        state_->queue.push_back({std::move(picture), presentationTimeNs});
    }
    state_->changed.notify_all();
    return 0;
}

void EncoderThread::completeFrames() {
    if (std::this_thread::get_id() == threadID_) return;
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->closed || (state_->queue.empty() && !state_->busy); });
}

void EncoderThread::invalidate() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        state_->queue.clear();
    }
    state_->changed.notify_all();
    if (!thread_.joinable()) return;
    // The encoder thread holds the state; ending it from its own output lets
    // it finish by itself.
    if (std::this_thread::get_id() == threadID_)
        thread_.detach();
    else
        thread_.join();
}

}  // namespace veltrane::video
