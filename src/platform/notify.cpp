#include "platform/notify.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace purgix::platform {
namespace {

std::mutex& NotifierMutex() {
    static std::mutex m;
    return m;
}

TNotifier& Installed() {
    static TNotifier notifier;
    return notifier;
}

} // namespace

TNoticeAnswer Notify(const TNotice& notice) {
    TNotifier notifier;
    {
        std::lock_guard lock(NotifierMutex());
        notifier = Installed();
    }
    if (notifier)
        return notifier(notice);
    const std::string line = notice.text + "\n";
    std::fputs(line.c_str(), stderr);
    return notice.buttons == TNoticeButtons::YesNo ? TNoticeAnswer::No : TNoticeAnswer::Ok;
}

ScopedNotifier::ScopedNotifier(TNotifier notifier) {
    std::lock_guard lock(NotifierMutex());
    previous_ = std::exchange(Installed(), std::move(notifier));
}

ScopedNotifier::~ScopedNotifier() {
    std::lock_guard lock(NotifierMutex());
    Installed() = std::move(previous_);
}

} // namespace purgix::platform
