#pragma once

#include <mutex>

#include "platform/SystemLog.h"

namespace zandorin::adapters {

// The systemd journal when it runs, standard error otherwise.
class JournalSystemLog final : public platform::SystemLog {
public:
    JournalSystemLog();
    void write(const std::string& subsystem, const std::string& category,
               const std::string& message) override;

    bool usesJournal() const { return journal_; }

private:
    bool journal_;
    std::mutex mutex_;
};

}  // namespace zandorin::adapters
