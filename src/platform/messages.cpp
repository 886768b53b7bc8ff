#include "platform/messages.h"

#include <utility>

namespace purgix::platform {

TQueueTarget::TQueueTarget(THandler handler)
    : FHandler(std::move(handler)), FOwner(std::this_thread::get_id()) {}

TQueueTarget::~TQueueTarget() {
    std::lock_guard lock(FMutex);
    for (Entry& e : FQueue)
        if (e.slot != nullptr)
            e.slot->handled = true;
    FQueue.clear();
    FHandled.notify_all();
}

void TQueueTarget::Post(const TMessage& message) {
    {
        std::lock_guard lock(FMutex);
        FQueue.push_back({message, nullptr});
    }
    FArrived.notify_all();
}

std::intptr_t TQueueTarget::Send(const TMessage& message) {
    if (std::this_thread::get_id() == FOwner)
        return Handle(message);
    SendSlot slot;
    std::unique_lock lock(FMutex);
    FQueue.push_back({message, &slot});
    FArrived.notify_all();
    FHandled.wait(lock, [&slot] { return slot.handled; });
    return slot.result;
}

std::intptr_t TQueueTarget::Handle(const TMessage& message) {
    return FHandler ? FHandler(message) : 0;
}

void TQueueTarget::HandleFront(std::unique_lock<std::mutex>& lock) {
    const Entry entry = FQueue.front();
    FQueue.pop_front();
    lock.unlock();
    const std::intptr_t result = Handle(entry.message);
    lock.lock();
    if (entry.slot != nullptr) {
        entry.slot->result = result;
        entry.slot->handled = true;
        FHandled.notify_all();
    }
}

std::size_t TQueueTarget::ProcessMessages() {
    std::unique_lock lock(FMutex);
    // Only what is queued now: messages posted by the handlers wait for the next call.
    const std::size_t count = FQueue.size();
    for (std::size_t i = 0; i < count; ++i)
        HandleFront(lock);
    return count;
}

bool TQueueTarget::ProcessMessagesUntil(const std::function<bool()>& done,
                                        std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(FMutex);
    for (;;) {
        lock.unlock();
        const bool finished = done();
        lock.lock();
        if (finished)
            return true;
        if (!FArrived.wait_until(lock, deadline, [this] { return !FQueue.empty(); }))
            return false;
        HandleFront(lock);
    }
}

} // namespace purgix::platform
