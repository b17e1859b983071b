// The native listing, watched: how many handles its listings hold at once,
// and which folders the walks opened and which their warmers did. Code
// under test makes its listings through a plain factory, so what is seen
// is the process's: a test calls reset() first and reads seen() after.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/dir_walk.h"
#include "platform/path.h"

namespace corvane::testing {

class ObservedListing final : public platform::ListingSource {
 public:
  struct Seen {
    std::size_t held = 0;
    std::size_t most_held = 0;
    std::set<std::string> walked;  // paths: the root as given, then raw names
    std::set<std::string> warmed;
  };

  static std::unique_ptr<platform::ListingSource> make() { return std::make_unique<ObservedListing>(); }
  static Seen seen() {
    std::lock_guard lock(mutex());
    return state();
  }
  static void reset() {
    std::lock_guard lock(mutex());
    state() = Seen{};
  }

  Opened open_root(std::string_view root) override {
    return watched(inner_->open_root(root), std::string(root), &Seen::walked);
  }
  Opened open_child(platform::Listing& parent, const Entry& entry) override {
    return watched(inner_->open_child(inner(parent), entry), platform::join_path(path(parent), entry.raw_name),
                   &Seen::walked);
  }
  Opened open_below(platform::Listing& base, std::string_view relative, const Entry& entry) override {
    std::string at = relative.empty() ? path(base) : platform::join_path(path(base), relative);
    return watched(inner_->open_below(inner(base), relative, entry), std::move(at), &Seen::warmed);
  }
  bool opens_below() const override { return inner_->opens_below(); }
  Read read(platform::Listing& listing, Entry& out) override { return inner_->read(inner(listing), out); }
  Result<platform::EntryStat> stat(platform::Listing& listing, const Entry& entry) override {
    return inner_->stat(inner(listing), entry);
  }
  void release(platform::Listing& listing) override {
    inner_->release(inner(listing));
    static_cast<Watched&>(listing).holds = false;
    std::lock_guard lock(mutex());
    --state().held;
  }
  bool resume(platform::Listing& listing, platform::Listing& child) override {
    if (!inner_->resume(inner(listing), inner(child))) return false;
    static_cast<Watched&>(listing).holds = true;
    std::lock_guard lock(mutex());
    Seen& s = state();
    s.most_held = std::max(s.most_held, ++s.held);
    return true;
  }

 private:
  struct Watched final : platform::Listing {
    std::unique_ptr<platform::Listing> inner;
    std::string path;
    bool holds = true;
    ~Watched() override {
      inner.reset();
      std::lock_guard lock(mutex());
      if (holds) --state().held;
    }
  };
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static Seen& state() {
    static Seen s;
    return s;
  }
  static platform::Listing& inner(platform::Listing& listing) { return *static_cast<Watched&>(listing).inner; }
  static const std::string& path(platform::Listing& listing) { return static_cast<Watched&>(listing).path; }

  Opened watched(Opened opened, std::string at, std::set<std::string> Seen::*opened_by) {
    if (!opened.ok()) return opened;
    auto w = std::make_unique<Watched>();
    w->inner = std::move(opened).value();
    w->path = std::move(at);
    std::lock_guard lock(mutex());
    Seen& s = state();
    s.most_held = std::max(s.most_held, ++s.held);
    (s.*opened_by).insert(w->path);
    return std::unique_ptr<platform::Listing>(std::move(w));
  }

  std::unique_ptr<platform::ListingSource> inner_ = platform::native_listing();
};

}  // namespace corvane::testing
