#pragma once
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/discovery/dns_sd_backend.h"

namespace gt::testing {

// Plays scripted result sets on its own thread, like a real browser, and answers resolutions from a
// table. Records what Discovery asked for.
class FakeDnsSdBackend : public DnsSdBackend {
 public:
  using Clock = std::chrono::steady_clock;
  struct Delivery {
    std::chrono::milliseconds at;  // after the browse started
    std::vector<BrowseResult> results;
  };
  struct Answer {
    std::vector<AddressCandidate> candidates;
    std::chrono::milliseconds delay{0};  // how long the lookup takes (cut short by the deadline)
  };
  struct ResolveCall {
    ServiceEndpoint endpoint;
    Clock::time_point start;
    Clock::time_point deadline;
  };

  std::vector<Delivery> script;
  std::string problem;
  // Keyed by instance name and interface index.
  std::map<std::pair<std::string, int>, Answer> answers;

  std::vector<ResolveCall> calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
  }

  std::unique_ptr<DnsSdBrowse> startBrowse(const std::string& type, const std::string& domain,
                                           ResultsHandler handler) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      browsedType_ = type;
      browsedDomain_ = domain;
    }
    return std::make_unique<Browse>(*this, std::move(handler));
  }

  std::vector<AddressCandidate> resolve(const ServiceEndpoint& endpoint, Clock::time_point deadline) override {
    Clock::time_point start = Clock::now();
    Answer answer;
    {
      std::lock_guard<std::mutex> guard(lock_);
      calls_.push_back({endpoint, start, deadline});
      auto it = answers.find({endpoint.name, endpoint.interfaceIndex});
      if (it == answers.end()) return {};
      answer = it->second;
    }
    if (start + answer.delay >= deadline) {
      std::this_thread::sleep_until(deadline);
      return {};
    }
    std::this_thread::sleep_until(start + answer.delay);
    return answer.candidates;
  }

  std::pair<std::string, std::string> browsed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {browsedType_, browsedDomain_};
  }

 private:
  class Browse : public DnsSdBrowse {
   public:
    Browse(FakeDnsSdBackend& owner, ResultsHandler handler) : owner_(owner), handler_(std::move(handler)) {
      thread_ = std::thread([this] { play(); });
    }
    ~Browse() override { stop(); }
    void stop() override {
      {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
      }
      wake_.notify_all();
      if (thread_.joinable()) thread_.join();
    }
    std::string problem() const override { return owner_.problem; }

   private:
    void play() {
      Clock::time_point begin = Clock::now();
      for (const Delivery& d : owner_.script) {
        std::unique_lock<std::mutex> lock(lock_);
        if (wake_.wait_until(lock, begin + d.at, [this] { return stopped_; })) return;
        lock.unlock();
        handler_(d.results);
      }
    }

    FakeDnsSdBackend& owner_;
    ResultsHandler handler_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
  };

  mutable std::mutex lock_;
  std::vector<ResolveCall> calls_;
  std::string browsedType_;
  std::string browsedDomain_;
};

}  // namespace gt::testing
