// Messages between threads: the stand-in for window handles and the window message queue.
//
// A message target is what a window handle is to a worker: something to post a message to
// (returns at once, from any thread) or to send one to (the sender blocks until the target's
// own thread has handled it). The main window is one kind of target; TQueueTarget is the plain
// one that the command line and the tests use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace purgix::platform {

// Message numbers of the main window.
inline constexpr std::uint32_t WM_USER = 0x0400;
// The status page was entered: build and start the jobs.
inline constexpr std::uint32_t WM_STARTJOBS = WM_USER + 1;
// Start parameters from a second start are waiting.
inline constexpr std::uint32_t WM_CHECKSTARTPARAMS = WM_USER + 2;
// From workers: wParam 1 with a job ID (posted) = that job changed; wParam 0 (sent) = a worker
// ended.
inline constexpr std::uint32_t WM_WIPEJOB = WM_USER + 100;
// Posted by the window to itself after its first show: read the command line.
inline constexpr std::uint32_t WM_READCOMMANDLINE = 2024;
// A second start hands over its command line.
inline constexpr std::uint32_t WM_COPYDATA = 0x004A;

struct TMessage {
    std::uint32_t msg = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;

    friend bool operator==(const TMessage&, const TMessage&) = default;
};

// Where messages are delivered.
class TMessageTarget {
public:
    virtual ~TMessageTarget() = default;
    // Queues the message for the target's thread and returns at once. Safe from any thread.
    virtual void Post(const TMessage& message) = 0;
    // Has the target's thread handle the message and returns the handler's result once it has
    // been handled. Called on the target's own thread, the message is handled at once.
    virtual std::intptr_t Send(const TMessage& message) = 0;
};

// A target with a thread-safe queue. Its thread is the one that created it; that thread handles
// the messages, posted and sent alike in the order they arrived, whenever it calls
// ProcessMessages or ProcessMessagesUntil. A sender waits until its message has been handled.
class TQueueTarget : public TMessageTarget {
public:
    using THandler = std::function<std::intptr_t(const TMessage&)>;

    // `handler` handles every message on the target's thread (none: messages are dropped).
    explicit TQueueTarget(THandler handler = {});
    TQueueTarget(const TQueueTarget&) = delete;
    TQueueTarget& operator=(const TQueueTarget&) = delete;
    // Senders still waiting are released with the result 0.
    ~TQueueTarget() override;

    void Post(const TMessage& message) override;
    std::intptr_t Send(const TMessage& message) override;

    // Handles every message queued now; returns how many there were. Target's thread only.
    std::size_t ProcessMessages();
    // Handles messages as they arrive until `done` answers true (asked before waiting and after
    // every message), waiting for new ones in between. False when `deadline` passed first.
    // Target's thread only.
    bool ProcessMessagesUntil(const std::function<bool()>& done,
                              std::chrono::steady_clock::time_point deadline);

private:
    // Where a sender waits for the result of its message.
    struct SendSlot {
        bool handled = false;
        std::intptr_t result = 0;
    };
    struct Entry {
        TMessage message;
        SendSlot* slot = nullptr; // set for a sent message; lives on the sender's stack
    };

    // Takes the first queued entry (the lock is held) and handles it without the lock.
    void HandleFront(std::unique_lock<std::mutex>& lock);
    std::intptr_t Handle(const TMessage& message);

    THandler FHandler;
    std::thread::id FOwner;
    std::mutex FMutex;
    std::condition_variable FArrived; // a message was queued
    std::condition_variable FHandled; // a sent message was handled
    std::deque<Entry> FQueue;
};

} // namespace purgix::platform
