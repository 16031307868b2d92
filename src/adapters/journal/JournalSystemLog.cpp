#include "adapters/journal/JournalSystemLog.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <filesystem>

#include "adapters/process/WriteAll.h"

#include "platform/AppIdentity.h"

namespace zandorin::adapters {

JournalSystemLog::JournalSystemLog() {
    std::error_code error;
    journal_ = std::filesystem::exists("/run/systemd/journal/socket", error);
}

void JournalSystemLog::write(const std::string& subsystem, const std::string& category,
                             const std::string& message) {
    if (journal_) {
        const int sent =
            sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", LOG_NOTICE,
                            "SYSLOG_IDENTIFIER=%s", kExecutableName, "ZANDORIN_SUBSYSTEM=%s",
                            subsystem.c_str(), "ZANDORIN_CATEGORY=%s", category.c_str(), nullptr);
        if (sent >= 0) {
            return;
        }
    }
    std::lock_guard lock(mutex_);
    writeAll(STDERR_FILENO, subsystem + " " + category + ": " + message + "\n");
}

}  // namespace zandorin::adapters
