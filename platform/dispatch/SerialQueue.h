#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::dispatch {

// Runs its work one closure at a time, in submission order, on its own thread.
//
// Destroying the queue lets the work already queued run, then ends the thread.
// The last owner of an object may well drop it from the object's own queue
// (a closure that locked a weak owner); the thread is then detached rather
// than joined, and finishes the queued work by itself.
class SerialQueue final : public DispatchQueue {
public:
    static std::shared_ptr<SerialQueue> create(std::string label);
    ~SerialQueue() override;

private:
    class Core;
    SerialQueue(std::shared_ptr<Core> core);
    std::shared_ptr<Core> serialCore_;
    std::thread thread_;
};

}  // namespace veltrane::dispatch
