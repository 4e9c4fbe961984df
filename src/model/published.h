#pragma once

// A value that tells its observers about every assignment, synchronously and
// on the thread that assigns (the main thread for the pad model). Views
// subscribe and redraw from the value; the subscription ends when its token
// is dropped, and a token that outlives the value is harmless.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace quimbel {

class Subscription {
 public:
  Subscription() = default;
  Subscription(std::weak_ptr<void> list, std::function<void()> drop)
      : list_(std::move(list)), drop_(std::move(drop)) {}
  Subscription(Subscription&& other) noexcept = default;
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      cancel();
      list_ = std::move(other.list_);
      drop_ = std::move(other.drop_);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() { cancel(); }

  void cancel() {
    if (drop_ && !list_.expired()) drop_();
    drop_ = nullptr;
    list_.reset();
  }

 private:
  std::weak_ptr<void> list_;
  std::function<void()> drop_;
};

template <class T>
class Published {
 public:
  using Observer = std::function<void(const T&)>;

  Published() = default;
  explicit Published(T initial) : value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  const T& get() const { return value_; }
  const T& operator()() const { return value_; }
  operator const T&() const { return value_; }

  // Every assignment notifies, also when the value does not change: observers
  // that count assignments see each one.
  Published& operator=(T value) {
    value_ = std::move(value);
    notify();
    return *this;
  }

  // Changes the value in place (a set or map) and then notifies once.
  template <class Fn>
  void update(Fn&& change) {
    change(value_);
    notify();
  }

  // Subscribing does not call the observer; it reads get() for the current value.
  [[nodiscard]] Subscription subscribe(Observer observer) const {
    const std::uint64_t id = ++observers_->lastId;
    auto slot = std::make_shared<Slot>(Slot{std::move(observer), true});
    observers_->entries.push_back({id, slot});
    std::weak_ptr<Observers> weak = observers_;
    return Subscription(weak, [weak, id, slot] {
      slot->active = false;
      if (auto list = weak.lock()) {
        std::erase_if(list->entries, [id](const Entry& e) { return e.id == id; });
      }
    });
  }

  std::size_t observerCount() const { return observers_->entries.size(); }

 private:
  struct Slot {
    Observer fn;
    bool active;
  };
  struct Entry {
    std::uint64_t id;
    std::shared_ptr<Slot> slot;
  };
  struct Observers {
    std::uint64_t lastId = 0;
    std::vector<Entry> entries;
  };

  void notify() {
    if (observers_->entries.empty()) return;
    // Observers may subscribe or cancel while being told: walk a copy, which
    // also keeps each function alive while it runs, and skip the ones that an
    // earlier observer cancelled.
    const std::vector<Entry> entries = observers_->entries;
    for (const Entry& entry : entries) {
      if (entry.slot->active) entry.slot->fn(value_);
    }
  }

  T value_{};
  std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace quimbel
