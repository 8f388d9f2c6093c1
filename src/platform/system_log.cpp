#include "platform/system_log.h"

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace gt {

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

class JournalLog final : public Log {
 public:
  JournalLog() : journal_(::access(kJournalSocket, W_OK) == 0) {}

  void error(std::string_view subsystem, std::string_view category, std::string_view text) override {
    write(3, "error", subsystem, category, text);
  }
  void info(std::string_view subsystem, std::string_view category, std::string_view text) override {
    write(6, "info", subsystem, category, text);
  }

 private:
  void write(int priority, const char* level, std::string_view subsystem, std::string_view category,
             std::string_view text) {
    if (journal_ && sd_journal_send("MESSAGE=%.*s", static_cast<int>(text.size()), text.data(), "PRIORITY=%i", priority,
                                    "SYSLOG_IDENTIFIER=glowticker", "GLOWTICKER_SUBSYSTEM=%.*s",
                                    static_cast<int>(subsystem.size()), subsystem.data(), "GLOWTICKER_CATEGORY=%.*s",
                                    static_cast<int>(category.size()), category.data(), nullptr) >= 0)
      return;
    // One line per entry, whatever the text holds, so the output stays greppable.
    std::string line = "glowticker ";
    line += level;
    line += " [";
    line.append(subsystem);
    line += '/';
    line.append(category);
    line += "] ";
    for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
    line += '\n';
    std::lock_guard<std::mutex> guard(mutex_);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }

  const bool journal_;
  std::mutex mutex_;
};

}  // namespace

std::shared_ptr<Log> makeSystemLog() { return std::make_shared<JournalLog>(); }

}  // namespace gt
