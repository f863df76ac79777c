// SPDX-License-Identifier: Apache-2.0
// zkflow::Mailbox<T>: messages from any thread to one reader, each delivered
// once, with the name of its sender.
//
//   zkflow::Mailbox<Level> levels(16, zkflow::WhenFull::DropOldest);
//   auto meter = levels.sender("meter");       // copy it to any thread
//   meter.post(Level{...});                     // on the meter's thread
//   if (auto m = levels.wait(0.1)) show(m->from, m->message);   // main thread
//
// A mailbox holds at most `capacity` messages (0: no limit). What a post does
// when it is full is the mailbox's policy, fixed at construction:
//   Block       the poster waits for room (or for the mailbox to go away);
//   DropOldest  the oldest waiting message is dropped to make room;
//   Refuse      the new message is refused: post() returns false.
// counters() tells how many messages were posted, delivered, dropped and
// refused, and how many posts had to wait for room.
//
// Thread safety: post() from any number of threads at once, through any
// number of Senders. poll() and wait() from one thread at a time (the
// reader). Whatever a thread did before post() is visible to the reader that
// gets the message.
//
// Ownership: the Mailbox is the reader's end and owns the messages waiting
// in it. Senders share the mailbox's state, not the mailbox: a Sender may
// outlive its Mailbox, and then post() returns false. Destroying the Mailbox
// drops the waiting messages and frees every poster blocked on it (their
// post() returns false). The kernel's messaging (ZtMsgSender) is another
// thing: direct calls and buffered delivery within one thread's control.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace zkflow {

enum class WhenFull { Block, DropOldest, Refuse };

// A message as the reader gets it.
template <class T>
struct Letter {
  T message;
  std::string from;  // the name of the Sender that posted it
};

struct MailboxCounters {
  uint64_t posted = 0;     // accepted into the mailbox
  uint64_t delivered = 0;  // handed to the reader
  uint64_t dropped = 0;    // pushed out by newer ones (DropOldest)
  uint64_t refused = 0;    // not accepted (Refuse when full, or the mailbox gone)
  uint64_t waited = 0;     // posts that waited for room (Block)
};

template <class T>
class Mailbox {
  struct State {
    std::mutex mutex;
    std::condition_variable notEmpty, notFull;
    std::deque<Letter<T>> letters;
    std::size_t capacity;
    WhenFull whenFull;
    bool closed = false;
    MailboxCounters counters;
  };

 public:
  // The posting end. Cheap to copy; a default-made Sender posts nowhere.
  class Sender {
   public:
    Sender() = default;
    const std::string& name() const { return name_; }
    // True when the message was accepted. False when it was refused (full
    // under Refuse) or the mailbox is gone. Under Block, waits for room.
    bool post(T message) const {
      if (!state_) return false;
      State& s = *state_;
      std::unique_lock<std::mutex> hold(s.mutex);
      if (!s.closed && s.capacity != 0 && s.letters.size() >= s.capacity) {
        if (s.whenFull == WhenFull::DropOldest) {
          s.letters.pop_front();
          ++s.counters.dropped;
        } else if (s.whenFull == WhenFull::Block) {
          ++s.counters.waited;
          s.notFull.wait(hold, [&s] { return s.closed || s.letters.size() < s.capacity; });
        }
      }
      if (s.closed || (s.capacity != 0 && s.letters.size() >= s.capacity)) {
        ++s.counters.refused;
        return false;
      }
      s.letters.push_back({std::move(message), name_});
      ++s.counters.posted;
      s.notEmpty.notify_one();
      return true;
    }

   private:
    friend class Mailbox;
    Sender(std::shared_ptr<State> s, std::string name) : state_(std::move(s)), name_(std::move(name)) {}
    std::shared_ptr<State> state_;
    std::string name_;
  };

  explicit Mailbox(std::size_t capacity = 64, WhenFull whenFull = WhenFull::Block)
      : state_(std::make_shared<State>()) {
    state_->capacity = capacity;
    state_->whenFull = whenFull;
  }
  ~Mailbox() {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->closed = true;
    state_->letters.clear();
    state_->notFull.notify_all();
  }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // A sender whose messages carry `name`.
  Sender sender(std::string name) const { return Sender(state_, std::move(name)); }

  // The oldest message, or nothing when none waits.
  std::optional<Letter<T>> poll() { return take(std::chrono::steady_clock::duration::zero()); }
  // The oldest message, waiting at most `seconds` for one.
  std::optional<Letter<T>> wait(double seconds) {
    const double s = seconds > 0 ? (seconds < 3.2e7 ? seconds : 3.2e7) : 0;
    return take(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s)));
  }

  std::size_t size() const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->letters.size();
  }
  MailboxCounters counters() const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->counters;
  }

 private:
  std::optional<Letter<T>> take(std::chrono::steady_clock::duration patience) {
    State& s = *state_;
    std::unique_lock<std::mutex> hold(s.mutex);
    if (!s.notEmpty.wait_for(hold, patience, [&s] { return !s.letters.empty(); })) return std::nullopt;
    std::optional<Letter<T>> l(std::move(s.letters.front()));
    s.letters.pop_front();
    ++s.counters.delivered;
    s.notFull.notify_one();
    return l;
  }

  std::shared_ptr<State> state_;
};

}  // namespace zkflow
