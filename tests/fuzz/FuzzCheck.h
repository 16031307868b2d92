#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/SystemLog.h"

// A property that does not hold is a finding, as a crash is.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// The target's body, given the input as text: FUZZ_TARGET(input) { ... }
#define FUZZ_TARGET(input)                                                              \
    static void fuzzOne(std::string_view input);                                        \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        fuzzOne({reinterpret_cast<const char*>(data), size});                           \
        return 0;                                                                       \
    }                                                                                   \
    static void fuzzOne(std::string_view input)

namespace zandorin::fuzz {

struct NoLog final : platform::SystemLog {
    void write(const std::string&, const std::string&, const std::string&) override {}
};

}  // namespace zandorin::fuzz
