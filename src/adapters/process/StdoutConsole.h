#pragma once

#include <mutex>

#include "platform/Console.h"

namespace zandorin::adapters {

class StdoutConsole final : public platform::Console {
public:
    void writeLine(const std::string& line) override;

private:
    std::mutex mutex_;
};

}  // namespace zandorin::adapters
