// Fixture homes for the junk scan: an environment a test fills in, and each
// platform's layout of a home inside a scratch folder.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "modules/junk_scan/environment.h"
#include "platform/observed_listing.h"
#include "platform/scratch_dir.h"

namespace corvane::junk_scan {

class FakeEnvironment final : public Environment {
 public:
  std::map<std::string, std::string, std::less<>> variables;
  std::optional<std::string> temp;
  std::map<std::string, std::string, std::less<>> fixed;  // system path -> fixture path
  // Files whose name starts with this are listed at `faked_size` bytes.
  std::string faked_prefix;
  std::uint64_t faked_size = 0;
  bool observed = false;  // list through testing::ObservedListing

  std::optional<std::string> variable(std::string_view name) const override {
    auto it = variables.find(name);
    if (it == variables.end() || it->second.empty()) return std::nullopt;
    return it->second;
  }
  Result<std::string> temp_folder() const override {
    if (!temp) return make_error("no temporary folder");
    return *temp;
  }
  std::optional<std::string> fixed_folder(std::string_view path) const override {
    auto it = fixed.find(path);
    if (it == fixed.end()) return std::nullopt;
    return it->second;
  }
  std::unique_ptr<platform::ListingSource> listing() const override;
};

// The system's listing, but sizes no test file system can hold for the
// files a FakeEnvironment names.
class FakedSizeListing final : public platform::ListingSource {
 public:
  FakedSizeListing(std::string prefix, std::uint64_t size)
      : inner_(platform::native_listing()), prefix_(std::move(prefix)), size_(size) {}
  Opened open_root(std::string_view root) override { return inner_->open_root(root); }
  Opened open_child(platform::Listing& parent, const Entry& entry) override {
    return inner_->open_child(parent, entry);
  }
  Read read(platform::Listing& listing, Entry& out) override { return inner_->read(listing, out); }
  Result<platform::EntryStat> stat(platform::Listing& listing, const Entry& entry) override {
    Result<platform::EntryStat> stat = inner_->stat(listing, entry);
    if (stat.ok() && entry.kind == platform::EntryKind::file && entry.name.starts_with(prefix_)) stat->size = size_;
    return stat;
  }
  void release(platform::Listing& listing) override { inner_->release(listing); }
  bool resume(platform::Listing& listing, platform::Listing& child) override { return inner_->resume(listing, child); }

 private:
  std::unique_ptr<platform::ListingSource> inner_;
  std::string prefix_;
  std::uint64_t size_;
};

inline std::unique_ptr<platform::ListingSource> FakeEnvironment::listing() const {
  if (observed) return testing::ObservedListing::make();
  if (faked_prefix.empty()) return platform::native_listing();
  return std::make_unique<FakedSizeListing>(faked_prefix, faked_size);
}

// Where a test puts each category's junk in the fixture home: the relative
// path ('/'-separated) of one of the category's base folders.
enum class Where { temp, package_cache, desktop, browser_cache, app_cache, thumbnails, user_logs, system_logs, projects };
std::string where(Where place);

// USERPROFILE / HOME.
extern const char* const kProfileVariable;

// Every variable set, the temporary folder and the system's fixed folders
// inside `scratch`; no folder is created.
FakeEnvironment home_environment(const testing::ScratchDir& scratch);

}  // namespace corvane::junk_scan
