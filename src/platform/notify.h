// Messages for the user from code that has no window of its own. The window shows them as
// message boxes, the command line prints them, and tests install a notifier that answers them.
#pragma once

#include <functional>
#include <string>

namespace purgix::platform {

enum class TNoticeKind { Information, Warning, Error, Confirmation };
enum class TNoticeButtons { Ok, YesNo };
enum class TNoticeAnswer { Ok, Yes, No };

struct TNotice {
    TNoticeKind kind = TNoticeKind::Information;
    std::string text;
    TNoticeButtons buttons = TNoticeButtons::Ok;
};

using TNotifier = std::function<TNoticeAnswer(const TNotice& notice)>;

// Shows `notice` through the installed notifier and returns its answer; it is called without
// any lock held, so it may block (a modal box). Without a notifier the text goes to stderr and
// the answer is Ok, or No for a yes/no question.
TNoticeAnswer Notify(const TNotice& notice);

// Installs `notifier` while the object lives (the front ends install theirs; tests answer).
// Installations nest: the innermost one receives the notices.
class ScopedNotifier {
public:
    explicit ScopedNotifier(TNotifier notifier);
    ScopedNotifier(const ScopedNotifier&) = delete;
    ScopedNotifier& operator=(const ScopedNotifier&) = delete;
    ~ScopedNotifier();

private:
    TNotifier previous_;
};

} // namespace purgix::platform
