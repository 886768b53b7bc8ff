// The queue target: posts from other threads arrive in order on the target's thread, a send
// waits for its handling and gets the handler's result.
#include "platform/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace purgix::platform {
namespace {

std::chrono::steady_clock::time_point Deadline() {
    return std::chrono::steady_clock::now() + std::chrono::minutes(1);
}

TEST(QueueTarget, PostsAndSendsAreHandledInOrderOnTheTargetsThread) {
    const std::thread::id owner = std::this_thread::get_id();
    std::vector<TMessage> handled;
    bool allOnOwner = true;
    TQueueTarget target([&](const TMessage& m) {
        allOnOwner = allOnOwner && std::this_thread::get_id() == owner;
        handled.push_back(m);
        return m.lParam * 10;
    });
    std::atomic<std::intptr_t> sendResult{-1};
    std::thread sender([&] {
        target.Post({WM_WIPEJOB, 1, 1});
        target.Post({WM_WIPEJOB, 1, 2});
        sendResult = target.Send({WM_WIPEJOB, 0, 3});
    });
    // The send returns only after its message has been handled here.
    ASSERT_TRUE(target.ProcessMessagesUntil([&] { return handled.size() == 3; }, Deadline()));
    sender.join();
    EXPECT_EQ(sendResult.load(), 30);
    EXPECT_TRUE(allOnOwner);
    EXPECT_EQ(handled,
              (std::vector<TMessage>{{WM_WIPEJOB, 1, 1}, {WM_WIPEJOB, 1, 2}, {WM_WIPEJOB, 0, 3}}));
}

TEST(QueueTarget, SendOnTheTargetsOwnThreadIsHandledAtOnce) {
    int calls = 0;
    TQueueTarget target([&](const TMessage& m) {
        ++calls;
        return static_cast<std::intptr_t>(m.msg);
    });
    EXPECT_EQ(target.Send({WM_STARTJOBS, 0, 0}), static_cast<std::intptr_t>(WM_STARTJOBS));
    EXPECT_EQ(calls, 1);
    target.Post({WM_READCOMMANDLINE, 0, 0});
    EXPECT_EQ(calls, 1); // a post waits for the loop
    EXPECT_EQ(target.ProcessMessages(), 1u);
    EXPECT_EQ(calls, 2);
}

TEST(QueueTarget, WaitingEndsAtTheDeadlineWhenNothingComes) {
    TQueueTarget target;
    EXPECT_FALSE(
        target.ProcessMessagesUntil([] { return false; }, std::chrono::steady_clock::now()));
}

} // namespace
} // namespace purgix::platform
