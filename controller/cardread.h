// Enrolment at the controller's reader: the code of a card presented there.
#pragma once

#include <functional>
#include <optional>

class IMainWindow;

// How long a presented card is waited for.
inline constexpr int kPresentSeconds = 15;

// Opens the selected port as the controller commands do, waits up to
// kPresentSeconds for a card-code reply and closes the port again. stop is
// asked after every event: true ends the wait at once. secondsLeft hears the
// whole seconds still to wait, at the start and whenever the number changes.
// The card code; nothing when stopped, and nothing after a message when the
// port cannot be used or no card came.
std::optional<int> ReadPresentedCard(IMainWindow& host, const std::function<bool()>& stop,
                                     const std::function<void(int)>& secondsLeft);
